#!/usr/bin/env python3
"""Mutant testing of the module: does the test suite notice small faults?

Each mutant below replaces one exact snippet of the C++ sources by another.
The script copies the sources into a work directory (build/mutants by
default), applies one mutant at a time there, rebuilds the module
incrementally with CMake and Ninja (the build directory is kept between
mutants and between runs), and runs the tests named for that mutant against
the rebuilt module with `pytest -x` (the tests too are run from the copy, so
that the worktree may change while mutants run).  A mutant is "killed" when a test fails,
"survived" when all pass.  The sources of the worktree are never touched.

Mutants are found by their snippet, not by line numbers.  Most name the
function that holds it as well ("host/pke.cpp:body_Enc"): the snippet must
occur exactly once in that function's definition, in the named file, or else
in the one definition of that name in all the sources that holds it (the
function may have moved to another file).  So a snippet that a refactor moves
out of its function, or a function that is gone, makes the mutant stale
rather than letting it land on other code.  A mutant without a function must
find its snippet exactly once in the named file, or else exactly once in all
the sources.  A stale mutant is reported as such and skipped; re-anchor it by
editing its function or snippet.  Mutants marked `equivalent` change nothing observable (the reason is
given); they are listed but not run unless asked.  Mutants of code compiled
only for some Pythons (the guard's dictionary watch from 3.12 on, its version
tags before) run only under those.  Before the mutants, each test selection is
run once on the unmutated sources: a selection that fails there would kill
every mutant for nothing.

Usage, from the repository root, in a virtual environment that has the test
requirements, cmake and ninja (e.g. `pip install scikit-build-core cmake ninja`):

    python tools/mutants.py                 # every non-equivalent mutant
    python tools/mutants.py --list          # the list, with stale ones marked
    python tools/mutants.py guard-attr-inplace portable-decompress-tie  # by name
    python tools/mutants.py --area guard    # by area (prefix of the name)
    python tools/mutants.py --equivalent    # also run the equivalent ones
    python tools/mutants.py --selftest      # survivors in a core: try the C++ self-test too

Areas: host (function bodies), frame (binding, traceback entries), guard (the
check that lets a native path answer), portable (portable core), avx2 (vector
core), wipe (a wipe of a secret removed).  Mutants of the portable core run
their tests with LATKEM_PORTABLE=1.  The C++ self-test (--selftest) is built
with CMake in work/selftest, with LATKEM_BUILD_MODULE=OFF and
LATKEM_BUILD_SELFTEST=ON, and run with ctest; it is the test of the core's
wipe mutants (run whether or not --selftest is given).  The module's wipe
mutants are tested against a build with its probe (LATKEM_WIPE_PROBE=ON, in
work/build-probe), which tests/test_wipes.py needs.
"""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = "latkem_alg"

# Test selections by marker (pyproject.toml), narrowest first.  A mutant's
# tests are such selections ("-m EXPR") and test files or node ids; it is
# killed when any of them fails.
BLOCKS = ["-m paths and emulated"]   # the native paths against the host statements
NKEM = ["-m paths and emulated"]
PATHS = ["-m paths"]
FRAME = ["-m frame"]
GUARD = ["-m paths and emulated or frame or guard"]
GUARD_ONLY = ["-m guard"]
HOSTILE = ["-m paths"]
EXIT = ["-m threads and slow"]       # an interpreter that exits while threads are inside calls
WIPES = ["-m wipes"]
REASKS = ["-m threads"]
PORTABLE = {"LATKEM_PORTABLE": "1"}
# Wipes the operation's stack wipe covers: the buffer lies in a frame below
# the operation's, within kStackWipe bytes of it.
COVERED = "in a frame below the operation's, within the stack wipe it ends with"


@dataclass
class Mutant:
    name: str          # area-what; the area is the part before the first '-'
    file: str          # where the snippet is expected (relative to latkem_alg/),
                       # as "file:function" where a function definition holds it
    old: str           # exact original text, unique in the file
    new: str           # its replacement
    note: str          # the fault it stands for
    tests: List[str]   # test files (or node ids) to run
    env: Dict[str, str] = field(default_factory=dict)
    equivalent: Optional[str] = None  # why no test can tell it apart
    hosts: str = ""    # "<3.12" or ">=3.12": code compiled only for those Pythons
    probe: bool = False     # the tests need the module built with its probe
    selftest: bool = False  # the C++ self-test is (one of) its tests

    def applies(self):
        if not self.hosts:
            return True
        op = self.hosts.rstrip("0123456789.")
        version = tuple(int(x) for x in self.hosts[len(op):].split("."))
        return sys.version_info[:2] < version if op == "<" else sys.version_info[:2] >= version

    @property
    def area(self):
        return self.name.split("-", 1)[0]


M = Mutant
MUTANTS = [
    # --- host bodies -------------------------------------------------------------
    M("host-compress-floor", "host/encoding.cpp:body_compress",
      "Obj new_x = host_round(scale / GLOBAL(q) * x);",
      "Obj new_x = to_int(scale / GLOBAL(q) * x);",
      "compress truncates instead of rounding", ["tests/test_encoding.py"]),
    M("host-decompress-order", "host/encoding.cpp:body_decompress",
      "Obj new_x = host_round(modulus / num(2).pow(d_u) * x);",
      "Obj new_x = host_round(modulus * x / num(2).pow(d_u));",
      "decompress multiplies before dividing (other float rounding)", ["tests/test_encoding.py"],
      equivalent="q * x < 2^53 and 2^d divides exactly, so both orders give the same double"),
    M("host-encode-unreversed", "host/encoding.cpp:body_encode",
      "fff_bytes = fff_bytes + reversed(host_format(value, spec));",
      "fff_bytes = fff_bytes + host_format(value, spec);",
      "encode puts the most significant bit first", ["tests/test_encoding.py"]),
    M("host-decode-line", "host/encoding.cpp:body_decode",
      "      f.line = line::decode::add_bit;\n        Obj key = tuple_of({hh, ii});",
      "      f.line = line::decode::bit_loop;\n        Obj key = tuple_of({hh, ii});",
      "a failing decode digit reports the loop's line", ["tests/test_encoding.py"]),
    M("host-hex-to-bits-step", "host/encoding.cpp:body_hex_to_bits",
      "for (Py_ssize_t ic = 0; ic < total; ic += 2) {",
      "for (Py_ssize_t ic = 0; ic + 1 < total; ic += 2) {",
      "hex_to_bits drops an odd trailing digit", ["tests/test_encoding.py"] + BLOCKS),
    M("host-bits-to-bytes-line", "host/encoding.cpp:body_bits_to_bytes",
      "    f.line = line::bits_to_bytes::append;\n    byte32 = byte32 + byte_of(tem);",
      "    f.line = line::bits_to_bytes::parse_group;\n    byte32 = byte32 + byte_of(tem);",
      "a failing byte conversion reports the slicing line", ["tests/test_encoding.py"]),
    M("host-ntt3-kd", "host/arith.cpp:body_ntt3",
      "      kd = kd + 1;",
      "      kd = kd + (kd < 127);",
      "ntt3 reuses the last table entry", ["tests/test_arith.py"],
      equivalent="kd never exceeds 127 on its own: the loop makes 127 steps from 1"),
    M("host-intt3-line", "host/arith.cpp:body_intt3",
      "        f.line = line::intt3::butterfly_add;\n"
      "        new_v.set(j, mod_q(t + new_v[j + l]));",
      "        f.line = line::intt3::butterfly_t;\n        new_v.set(j, mod_q(t + new_v[j + l]));",
      "a failing intt3 addition reports the line before", ["tests/test_arith.py"]),
    M("host-mul0-no-negate", "host/arith.cpp:call_mul0",
      "  if (negate) ze = -ze;",
      "  if (false && negate) ze = -ze;",
      "ntt3_mul passes +zeta for the second pair", ["tests/test_arith.py"]),
    M("host-kem-print-line", "bridge/kem.cpp:native_CCA_Dec",
      "    f.line = line::CCA_Dec::print_reject;\n"
      "    Obj::borrow(builtins.print)(text(\"错了\"));\n    // The print ran",
      "    f.line = line::CCA_Dec::reject_key;\n"
      "    Obj::borrow(builtins.print)(text(\"错了\"));\n    // The print ran",
      "a failing rejection print on the native path reports the next line",
      ["tests/test_kem.py", "tests/test_bad_inputs.py"]),
    M("host-kem-print-line-host", "host/kem.cpp:body_CCA_Dec",
      "  f.line = line::CCA_Dec::print_reject;\n"
      "  Obj::borrow(builtins.print)(text(\"错了\"));\n  return rejection_key",
      "  f.line = line::CCA_Dec::reject_key;\n"
      "  Obj::borrow(builtins.print)(text(\"错了\"));\n  return rejection_key",
      "a failing rejection print on the host path reports the next line",
      ["tests/test_kem.py", "tests/test_bad_inputs.py"]),
    M("host-kem-decode-line", "host/kem.cpp:body_CCA_Dec",
      "    f.line = line::CCA_Dec::decode_text;\n"
      "    c_text = c_text.method(NAME(decode), text(\"utf-8\"));",
      "    f.line = line::CCA_Dec::test_text;\n"
      "    c_text = c_text.method(NAME(decode), text(\"utf-8\"));",
      "an undecodable ciphertext reports the `if` line", ["tests/test_kem.py", "tests/test_bad_inputs.py"]),
    M("host-kem-compare-subclass", "host/kem.cpp:texts_equal",
      "if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return a.eq(b);",
      "if (!PyUnicode_Check(x) || !PyUnicode_Check(y)) return a.eq(b);",
      "a str subclass ciphertext compared by its characters, not by its own __eq__",
      ["tests/test_kem.py::test_ciphertext_comparison_of_str_subclasses"]),
    M("host-kem-accept-upper", "native/kpke.cpp:kem_dec",
      "  same = be.ct_equal(reinterpret_cast<const uint8_t*>(again_text),\n"
      "                     reinterpret_cast<const uint8_t*>(ct_text), 2 * ct_len);",
      "  same = be.ct_equal(again, ct, ct_len);",
      "native CCA_Dec compares bytes, accepting an upper-case ciphertext",
      ["tests/test_kem.py", "tests/test_bad_inputs.py"]),
    M("host-encode-list-bound", "bridge/encoding.cpp:encode_lists",
      "uint32_t((static_cast<unsigned long long>(value) >> l) != 0);",
      "uint32_t((static_cast<unsigned long long>(value) >> (l + 1)) != 0);",
      "native encode of lists lets values in [2^l, 2^(l+1)) through, truncated", BLOCKS),
    M("host-encode-array-bound", "bridge/encoding.cpp:encode_array",
      "const double limit = double(1 << l);",
      "const double limit = double(2 << l);",
      "native encode of arrays lets values in [2^l, 2^(l+1)) through, truncated", BLOCKS),
    M("host-decode-lines-float", "bridge/encoding.cpp:native_decode",
      "    out[i] = double(value);",
      "    out[i] = double(value & 0x7FF);",
      "native decode loses the twelfth bit", BLOCKS + ["tests/test_encoding.py"]),
    M("host-hashing-h-odd", "bridge/hashing.cpp:native_H",
      "if (!text_of(data, text, size) || size % 2) return false;",
      "if (!text_of(data, text, size)) return false;",
      "native H decodes an odd-length text (drops the last digit)", NKEM + ["tests/test_hashing.py"],
      equivalent="hex_decode of both cores refuses an odd length itself"),
    M("host-xof-order", "host/hashing.cpp:body_XOF",
      "Obj input_bytes = bytes32 + int_a + int_b;",
      "Obj input_bytes = bytes32 + int_b + int_a;",
      "host XOF appends its indices in the other order", NKEM + ["tests/test_hashing.py"]),
    M("host-mat-a-transpose", "host/sampling.cpp:body_generate_mat_a",
      "Obj tem = GLOBAL(XOF)(rho, ic, j);",
      "Obj tem = GLOBAL(XOF)(rho, j, ic);",
      "host matrix expansion builds the transpose", ["tests/test_sampling.py"] + NKEM),
    M("host-parse-last", "host/sampling.cpp:body_Parse",
      "if (d2 < GLOBAL(q) && num(jj) < GLOBAL(n)) {",
      "if (d2 < GLOBAL(q) && num(jj) <= GLOBAL(n)) {",
      "host Parse tries to store a second value after the last slot", ["tests/test_sampling.py"] + BLOCKS),
    M("host-dec-line", "host/pke.cpp:body_Dec",
      "  f.line = line::Dec::unhex_text;\n  uv_code = unhexlify(uv_code);",
      "  f.line = line::Dec::hexlify_text;\n  uv_code = unhexlify(uv_code);",
      "a ciphertext that is not hex reports the next line", PATHS),
    M("host-getrandbits-width", "frame/host.cpp:randbytes",
      "Obj bits = Obj(bits_fn)(count * num(8));",
      "Obj bits = Obj(bits_fn)(count * num(4));",
      "without randbytes, the draw asks getrandbits for half the bits", GUARD_ONLY),
    M("host-randbytes-error", "frame/host.cpp:randbytes",
      "    PyErr_Clear();\n    pending.restore();\n    raise();",
      "    pending.drop();\n    raise();",
      "an object with neither draw method fails with the error about getrandbits", GUARD_ONLY),
    M("host-hostile-dec-u-rows", "bridge/pke.cpp:native_Dec",
      "missing_row(text.size() / (32 * p.du), num(0));",
      "missing_row(text.size() / (32 * p.dv), num(0));",
      "a ciphertext short of u names the wrong number of rows", HOSTILE),
    M("host-hostile-dec-line", "bridge/pke.cpp:native_Dec",
      "return f.fail_at(line::Dec::decompress_u,",
      "return f.fail_at(line::Dec::u_coeffs,",
      "a ciphertext short of u fails at the loop's line", HOSTILE),
    M("host-hostile-dec-order", "bridge/pke.cpp:native_Dec",
      "  if (!key.ok()) return fail_unhexlify(f, line::Dec::unhex_key, key_in, sk_cpa);\n"
      "  if (!text.ok()) return fail_unhexlify(f, line::Dec::unhex_text, text_in, uv_code);",
      "  if (!text.ok()) return fail_unhexlify(f, line::Dec::unhex_text, text_in, uv_code);\n"
      "  if (!key.ok()) return fail_unhexlify(f, line::Dec::unhex_key, key_in, sk_cpa);",
      "Dec reports a bad ciphertext before a bad key", HOSTILE),
    M("host-hostile-enc-seed", "bridge/pke.cpp:native_Enc",
      "std::memcpy(pk + row_bytes, key.data() + key.size() - 32, 32);",
      "std::memcpy(pk + row_bytes, key.data() + row_bytes, 32);",
      "a long public key's seed is taken after the rows, not from the end", HOSTILE),
    M("host-hostile-enc-t-rows", "bridge/pke.cpp:native_Enc",
      "missing_row((key.size() - 32) / native::kPolyBytes, whole());",
      "missing_row(key.size() / native::kPolyBytes, whole());",
      "the rows of t counted with the seed", HOSTILE),
    M("host-hostile-enc-message", "bridge/pke.cpp:native_Enc",
      "message_in.size() >= 32;",
      "message_in.size() > 32;",
      "a message of exactly 32 bytes leaves the native path", HOSTILE),
    M("host-hostile-unreadable", "bridge/bridge.h",
      "ok_ = buf_ && in_.readable() && native::hex_decode",
      "ok_ = buf_ && native::hex_decode",
      "an argument Input cannot read passes for empty hex text", HOSTILE),
    M("host-hostile-error-count", "frame/function.cpp:function_vectorcall",
      "  // A result, or an error the native path raised at the host path's statement.\n"
      "  if (f.went_native) ++const_cast<Function*>(fo)->native_calls;\n",
      "  if (result && f.went_native) ++const_cast<Function*>(fo)->native_calls;\n",
      "errors of the native path are not counted as its answers", HOSTILE),
    # --- frame: binding and traceback entries -------------------------------------
    M("frame-count-message", "frame/function.cpp:wrong_count",
      "s.name, \"exactly\", n, n == 1 ? \"\" : \"s\", given);",
      "s.name, \"exactly\", n, n == 0 ? \"\" : \"s\", given);",
      "wrong plural in the argument-count error", FRAME),
    M("frame-bind-missing-count", "frame/function.cpp:bind",
      "    if (found < 0) {\n      wrong_count(s, n, i);",
      "    if (found < 0) {\n      wrong_count(s, n, npos);",
      "a missing keyword argument reports the positional count only", FRAME),
    M("frame-multiple-values", "frame/function.cpp:bind",
      "      if (pos >= npos) {\n        out[pos] = kwvalues[j];",
      "      if (pos >= 0) {\n        out[pos] = kwvalues[j];",
      "a keyword repeating a positional argument silently replaces it", FRAME),
    M("frame-kw-not-string", "frame/function.cpp:bind",
      "      if (!PyUnicode_Check(kw)) {\n        PyErr_Format(PyExc_TypeError, \"%.200s() keywords must be strings\", s.name);\n        return false;\n      }",
      "",
      "keyword names that are not strings are reported as unexpected", FRAME),
    M("frame-bind-error-line", "frame/function.cpp:function_vectorcall",
      "  if (!bind(s, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {\n    add_entry(s.first_line);",
      "  if (!bind(s, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {\n    add_entry(s.first_line + 1);",
      "a binding error's entry is one line below the function's first line", FRAME),
    M("frame-entry-cache-by-name", "frame/host.cpp:entry_code",
      "const long long key = (static_cast<long long>(entry) << 32) | static_cast<unsigned>(line);",
      "const long long key = (static_cast<long long>(entry) << 32);",
      "entries cached by name only: a second failure line reuses the first", FRAME + ["tests/test_arith.py"]),
    M("frame-failure-line", "frame/function.cpp:function_vectorcall",
      "      PyErr_SetString(PyExc_SystemError, \"Latkem function failed without an exception\");\n    add_entry(f.line);",
      "      PyErr_SetString(PyExc_SystemError, \"Latkem function failed without an exception\");\n    add_entry(s.first_line);",
      "every failure reported at the function's first line", FRAME),
    M("frame-entry-swallows-thread-end", "frame/function.cpp:function_vectorcall",
      "} LATKEM_LET_THREAD_END catch (...) {\n      if (!PyErr_Occurred())",
      "} catch (...) {\n      if (!PyErr_Occurred())",
      "the entry stops the unwinding of a thread ended at finalization", EXIT),
    M("frame-relock-in-destructor", "bridge/bridge.h:unlocked",
      "  PyThreadState* const state = PyEval_SaveThread();\n"
      "  enum { kDone, kOutOfMemory, kFailed } outcome = kDone;\n"
      "  try {\n    work();\n  } LATKEM_LET_THREAD_END catch (const std::bad_alloc&) {\n"
      "    outcome = kOutOfMemory;\n  } catch (...) {\n    outcome = kFailed;\n  }\n"
      "  PyEval_RestoreThread(state);\n  if (outcome == kOutOfMemory) throw std::bad_alloc();\n"
      "  if (outcome == kFailed) throw WorkFailed();",
      "  struct Relock {\n    PyThreadState* state = PyEval_SaveThread();\n"
      "    ~Relock() { PyEval_RestoreThread(state); }\n  } relock;\n  work();",
      "the lock taken back in a destructor, which a thread ended there cannot leave", EXIT),
    M("frame-drop-without-lock", "frame/obj.h",
      "if (p_ && interp::holds_lock()) Py_DECREF(p_);",
      "if (p_) Py_DECREF(p_);",
      "a thread ended at finalization drops its references without the lock", EXIT),
    M("frame-entry-unmarked", "frame/function.cpp:function_vectorcall",
      "  const interp::Entered entered;\n  const Call call;",
      "  const Call call;",
      "before 3.12: the entry does not mark the thread's state, so the lock is taken as held",
      EXIT, hosts="<3.12"),
    M("frame-native-count", "frame/function.cpp:function_vectorcall",
      "if (f.went_native) ++const_cast<Function*>(fo)->native_calls;",
      "++const_cast<Function*>(fo)->native_calls;",
      "host-path calls counted as native ones", GUARD),
    # --- guard: when a native path may answer --------------------------------------
    M("guard-attr-inplace", "guard/guard.cpp:compute",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i]) attrs |= bit(i);",
      "attrs |= bit(i);",
      "an attribute of a host module rebound in place (np.zeros, binascii.hexlify) goes unnoticed",
      GUARD),
    M("guard-attr-no-zeros", "guard/guard.cpp:compute",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i]) attrs |= bit(i);",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i] || i == a_np_zeros)"
      " attrs |= bit(i);",
      "np.zeros is not among the watched attributes", GUARD),
    M("guard-attr-no-hexlify", "guard/guard.cpp:compute",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i]) attrs |= bit(i);",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i] ||"
      " i == a_binascii_hexlify) attrs |= bit(i);",
      "binascii.hexlify is not among the watched attributes", GUARD),
    M("guard-attr-no-sha3-256", "guard/guard.cpp:compute",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i]) attrs |= bit(i);",
      "if (attr_of(initial[kAttrs[i].owner], kAttrs[i].name) == attr_initial[i] ||"
      " i == a_hashlib_sha3_256) attrs |= bit(i);",
      "hashlib.sha3_256 is not among the watched attributes", GUARD),
    M("guard-zetas-last", "frame/interp.h:same_items",
      "std::memcmp(now, then, sizeof(PyObject*) * size_t(count)) == 0;",
      "std::memcmp(now, then, sizeof(PyObject*) * size_t(count - 1)) == 0;",
      "an in-place edit of the last table entry goes unnoticed", GUARD),
    M("guard-zetas-high", "frame/interp.h:same_items",
      "std::memcmp(now, then, sizeof(PyObject*) * size_t(count)) == 0;",
      "std::memcmp(now, then, sizeof(PyObject*) * size_t(count / 2)) == 0;",
      "in-place edits of the base-multiplication half of the table go unnoticed", GUARD),
    M("guard-zetas-first", "frame/interp.h:same_items",
      "std::memcmp(now, then, sizeof(PyObject*) * size_t(count)) == 0;",
      "std::memcmp(now + 1, then + 1, sizeof(PyObject*) * size_t(count - 1)) == 0;",
      "an in-place edit of entry 0 goes unnoticed", GUARD,
      equivalent="no body reads zetas[0]: the transforms start at 1, the product at 64"),
    M("guard-int-value", "guard/guard.cpp:compute",
      "ok = exact_int(v, a) && exact_int(initial[i], b) && a == b;",
      "ok = exact_int(v, a) && exact_int(initial[i], b);",
      "q, n or k rebound to another int keeps the native path", GUARD),
    M("guard-reads-kdf", "frame/table.h",
      "(binascii), (binascii_unhexlify, binascii_hexlify), (H, G, Enc, kdf))",
      "(binascii), (binascii_unhexlify, binascii_hexlify), (H, G, Enc))",
      "CCA_Enc stays native when kdf is rebound", GUARD),
    M("guard-reads-xof-shake", "frame/table.h",
      "(\"input_bytes\"), (shake_128, n), (), ())",
      "(\"input_bytes\"), (n), (), ())",
      "XOF stays native when shake_128 is rebound", GUARD),
    M("guard-reads-dec-decompress", "frame/table.h",
      "(hex_to_bits, decode, decompress, ntt3, ntt3_mul, intt3, compress))",
      "(hex_to_bits, decode, ntt3, ntt3_mul, intt3, compress))",
      "Dec stays native when decompress is rebound", GUARD),
    M("guard-reads-genkey-np", "frame/table.h",
      "(n, q, k, math, np, kk, eta1, binascii), (math_sqrt",
      "(n, q, k, math, kk, eta1, binascii), (math_sqrt",
      "Genkey stays native when np is rebound", GUARD,
      equivalent="Genkey calls generate_mat_a, which reads np: the closure keeps it"),
    M("guard-reads-genkey-math", "frame/table.h",
      "(n, q, k, math, np, kk, eta1, binascii), (math_sqrt",
      "(n, q, k, np, kk, eta1, binascii), (math_sqrt",
      "Genkey stays native when math is rebound", GUARD),
    M("guard-version-check", "guard/guard.cpp:refresh",
      "for (int i = 0; same && i < kWatched; ++i) same = version_of(watched[i]) == versions[i];",
      "for (int i = 0; same && i < 1; ++i) same = version_of(watched[i]) == versions[i];",
      "before 3.12: changes in the host modules' dictionaries are not noticed", GUARD,
      hosts="<3.12"),
    M("guard-watch-count", "guard/guard.cpp:on_dict_change",
      "  ++changes;\n  return 0;",
      "  return 0;",
      "from 3.12: changes in the watched dictionaries are not noticed", GUARD, hosts=">=3.12"),
    M("guard-own-dict", "guard/guard.cpp:allows",
      "if (!ready || !genuine_builtins || module_dict() != tracked_dict) return false;",
      "if (!ready || !genuine_builtins) return false;",
      "functions of another module object take the native path", FRAME),
    M("guard-print-builtin", "guard/guard.cpp:snapshot",
      "is_builtin(builtins.format, \"format\") && is_builtin(builtins.print, \"print\");",
      "is_builtin(builtins.format, \"format\");",
      "a replaced print fixed at initialisation keeps the native path", GUARD + ["tests/test_kem.py"],
      equivalent="the native path prints through the same object fixed at initialisation, and "
                 "the fresh check after the print follows what code in print rebinds"),
    M("guard-module-class", "guard/guard.cpp:plain_modules",
      "if (Py_TYPE(m) != &PyModule_Type) return false;",
      "if (!PyModule_Check(m)) return false;",
      "a host module whose __class__ is switched to a ModuleType subclass keeps the native path",
      GUARD_ONLY),
    M("guard-recheck-loop", "guard/guard.cpp:revalidate",
      "for (int i = 0; i < kWatched; ++i) same = same && version_of(watched[i]) == before[i];",
      "",
      "before 3.12: what user code changes during the check is taken as seen", GUARD_ONLY,
      hosts="<3.12"),
    M("guard-recheck-count", "guard/guard.cpp:revalidate",
      "    if (changes == at) {",
      "    if (true) {",
      "from 3.12: what user code changes during the check is taken as seen", GUARD_ONLY,
      hosts=">=3.12"),
    M("guard-keygen-after-draw", "bridge/kem.cpp:native_keygen_tail",
      "const bool shortcut = guard::allows(Fn::CCA_KeyGen);",
      "const bool shortcut = true;",
      "CCA_KeyGen keeps its shortcut when the second draw rebinds binascii", GUARD_ONLY),
    M("guard-dec-after-print", "bridge/kem.cpp:native_CCA_Dec",
      "if (!guard::allows(Fn::CCA_Dec)) {",
      "if (false) {",
      "a rejection print that rebinds kdf, H or binascii leaves the native key", GUARD_ONLY),
    M("guard-depth-chain", "guard/guard.cpp:allows",
      "interp::recursion_room(need.chain * kPerModuleCall + kHostCallDepth,",
      "interp::recursion_room(kHostCallDepth,",
      "before 3.9: the depth check ignores how deep the host path nests module calls",
      GUARD_ONLY, hosts="<3.9"),
    # From 3.9 on the mutant above is not observable: the deepest host path (a chain of
    # three module calls under CCA_KeyGen, CCA_Enc or CCA_Dec, then a host call of one or
    # two checks) stays within kHostCallDepth alone; measured on 3.11 with the budgets of
    # test_near_the_recursion_limit, the host path returns from budget 45 and the native
    # path answers from 49.  Before 3.9 each module call counts twice.
    M("guard-depth-margin", "guard/guard.cpp",
      "constexpr int kHostCallDepth = 6;",
      "constexpr int kHostCallDepth = 1;",
      "the depth check leaves no room for the host calls a body makes", GUARD_ONLY),
    # --- portable core --------------------------------------------------------------
    M("portable-decompress-tie", "native/portable/pack.cpp:decompress",
      "return int16_t(k + above + (tie & k & 1));",
      "return int16_t(k + above + (tie & ~k & 1));",
      "decompress rounds ties to odd", PATHS, PORTABLE),
    M("portable-compress-round", "native/portable/pack.cpp:compress",
      "const uint32_t n = (uint32_t(uint16_t(x)) << d) + 1664;",
      "const uint32_t n = (uint32_t(uint16_t(x)) << d) + 1665;",
      "compress rounds one residue the wrong way", PATHS, PORTABLE),
    M("portable-squeeze-block", "native/keccak.cpp:Sponge::squeeze",
      "    if (pos_ == rate_) {\n      keccak_f1600(s_);\n      pos_ = 0;\n    }\n    if (pos_ % 8 == 0 && len >= 8 && pos_ + 8 <= rate_) {\n      unsigned w = pos_ / 8;\n      const unsigned end = rate_ / 8;\n      while (w < end && len >= 8) {\n        store64",
      "    if (pos_ == rate_) {\n      pos_ = 0;\n    }\n    if (pos_ % 8 == 0 && len >= 8 && pos_ + 8 <= rate_) {\n      unsigned w = pos_ / 8;\n      const unsigned end = rate_ / 8;\n      while (w < end && len >= 8) {\n        store64",
      "long output repeats its first block (no permutation between squeezed blocks)",
      NKEM + ["tests/test_hashing.py"]),
    M("portable-absorb-boundary", "native/keccak.cpp:Sponge::absorb",
      "      s_[pos_ / 8] ^= uint64_t(*in++) << (8 * (pos_ % 8));\n      --len;\n      ++pos_;\n    }\n    if (pos_ == rate_) {",
      "      s_[pos_ / 8] ^= uint64_t(*in++) << (8 * (pos_ % 8));\n      --len;\n      ++pos_;\n    }\n    if (pos_ == rate_ && len > 0) {",
      "an input that fills a block exactly is padded inside the next one", NKEM + ["tests/test_hashing.py"]),
    M("portable-encode-mask", "native/portable/pack.cpp:encode_fixed",
      "  constexpr uint32_t kMask = (1u << D) - 1;",
      "  constexpr uint32_t kMask = (2u << D) - 1;",
      "12-bit packing of a value above 4095 spills into the next field", PATHS, PORTABLE,
      equivalent="every caller packs values in [0, q) at 12 bits; the C++ self-test, which "
                 "packs larger ones, kills it (--selftest)"),
    M("portable-cbd3", "native/portable/sample.cpp:cbd",
      "const int16_t b = int16_t((d >> (6 * j + 3)) & 7);",
      "const int16_t b = int16_t((d >> (6 * j + 3)) & 3);",
      "eta = 3 noise loses the top bit of its negative part", PATHS, PORTABLE,
      equivalent="each 3-bit field holds a sum of three bits, at most 3"),
    M("portable-cbd2-top", "native/portable/sample.cpp:cbd",
      "const uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);",
      "const uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x15555555u);",
      "eta = 2 noise drops the top bit of every fourth byte", PATHS, PORTABLE),
    M("portable-rej-last", "native/portable/sample.cpp:rej_uniform_matrix",
      "    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);\n  }\n  return ctr;",
      "    if (d2 < kQ && ctr < kN - 1) p[ctr++] = int16_t(d2);\n  }\n  return ctr;",
      "the matrix sampler skips a last coefficient that comes second in its group", PATHS, PORTABLE),
    M("portable-basemul-zeta", "native/portable/poly.cpp",
      "z[4 * i + 2] = int16_t(-kZetas[64 + i]);",
      "z[4 * i + 2] = int16_t(kZetas[64 + i]);",
      "the second pair of the product uses +zeta", PATHS, PORTABLE),
    M("portable-hex-upper", "native/core.h:hex_digit",
      "const int32_t lower = c | 0x20;",
      "const int32_t lower = c;",
      "upper-case hex digits are refused by the core", PATHS, PORTABLE),
    M("portable-ct-equal", "native/portable/bytes.cpp:ct_equal",
      "for (size_t i = 0; i < len; ++i) acc |= uint32_t(a[i] ^ b[i]);",
      "for (size_t i = 0; i + 1 < len; ++i) acc |= uint32_t(a[i] ^ b[i]);",
      "the ciphertext check ignores the last character", PATHS, PORTABLE),
    M("portable-dec-reduce", "native/kpke.cpp:decode_reduce12",
      "  be.byte_decode(p.c, in, 12);\n  be.poly_freeze(p);",
      "  be.byte_decode(p.c, in, 12);",
      "stored 12-bit values of q and above are not reduced", PATHS, PORTABLE,
      equivalent="the product takes operands up to 4095 within its Montgomery bound (rank 4: "
                 "under 2^26 against q * 2^15) and reduces: the results are the same"),
    # --- vector core ------------------------------------------------------------------
    M("avx2-decompress-tie", "native/avx2/pack.cpp:poly_decompress",
      "_mm256_cmpeq_epi16(_mm256_and_si256(k, one), one));",
      "_mm256_cmpeq_epi16(_mm256_and_si256(k, one), _mm256_setzero_si256()));",
      "decompress rounds ties to odd", PATHS),
    M("avx2-long-coins-inblock", "native/avx2/sample.cpp:sample_matrix_and_noise",
      "if (seedlen + 1 < kRate256) {",
      "if (seedlen + 1 <= kRate256) {",
      "coins of 135 bytes take the one-block path, padding past the block", PATHS),
    M("avx2-long-coins-nonce", "native/avx2/sample.cpp:sample_noise_long",
      "nonces[j] = uint8_t(nonce0 + first + (j < n ? j : 0));",
      "nonces[j] = uint8_t(nonce0 + (j < n ? j : 0));",
      "coins of 135 bytes or more: the fifth noise stream reuses the first one's nonce", PATHS),
    M("avx2-absorb-prefix-block", "native/avx2/keccak.cpp:keccakx4_absorb",
      "    for (unsigned w = 0; w < rate / 8; ++w) {\n      const uint64_t x = load64(prefix + 8 * w);",
      "    for (unsigned w = 0; w + 1 < rate / 8; ++w) {\n      const uint64_t x = load64(prefix + 8 * w);",
      "coins of 136 bytes or more: the last word of each whole block is not absorbed", PATHS),
    M("avx2-squeeze-lane", "native/avx2/keccak.cpp:keccakx4_squeeze",
      "for (unsigned w = 0; w < rate / 8; ++w) std::memcpy(o + 8 * w, &s[4 * w + j], 8);",
      "for (unsigned w = 0; w < rate / 8; ++w) std::memcpy(o + 8 * w, &s[4 * w + (b ? 3 - j : j)], 8);",
      "the second squeezed block of long coins comes from the wrong lane", PATHS),
    M("avx2-compress-correct", "native/avx2/pack.cpp:poly_compress",
      "y = _mm256_sub_epi16(y, _mm256_cmpgt_epi16(r, qm1));",
      "y = _mm256_sub_epi16(y, _mm256_cmpgt_epi16(r, q));",
      "compress estimate not corrected when the remainder is exactly q", PATHS,
      equivalent="over every x in [0, q) and every d the estimate is never low: r < q always"),
    M("avx2-compress-low", "native/avx2/pack.cpp:poly_compress",
      "y = _mm256_add_epi16(y, _mm256_cmpgt_epi16(_mm256_setzero_si256(), r));",
      "y = _mm256_add_epi16(y, _mm256_setzero_si256());",
      "compress estimate not corrected when it is one too high (12 values of x at d = 10)", PATHS),
    M("avx2-encode-mask", "native/avx2/pack.cpp:byte_encode",
      "const __m256i mask = set16(int16_t((1 << d) - 1));\n",
      "const __m256i mask = set16(int16_t((2 << d) - 1));\n",
      "vector packing does not cut values to d bits", PATHS,
      equivalent="callers pass values already below 2^d (compressed, or in [0, q) at 12 "
                 "bits); the C++ self-test, which packs larger ones, kills it (--selftest)"),
    M("avx2-cbd-eta3-words", "native/avx2/sample.cpp:run_streams",
      "        const size_t need = size_t(8) * x.eta;",
      "        const size_t need = size_t(8) * 2;",
      "eta = 3 noise read from one block only", PATHS),
    M("avx2-noise-order", "native/avx2/sample.cpp:noise_streams",
      "      t.suffix[0] = uint8_t(nonce0 + k);",
      "      t.suffix[0] = uint8_t(nonce0 + n - 1);",
      "noise streams numbered by their order of running, not by their index", PATHS),
    M("avx2-matrix-transpose", "native/avx2/sample.cpp:matrix_streams",
      "      t.suffix[0] = uint8_t(transpose ? x : y);  // column",
      "      t.suffix[0] = uint8_t(y);  // column",
      "encryption uses A instead of its transpose", PATHS),
    # --- guard: asking again after the lock was released, and nested calls -----------------------------
    M("guard-never-settled", "guard/guard.cpp:revalidate",
      "  // Never settled: no native path, and the next call looks again.\n"
      "  intact_bits = 0;\n  intact_attrs = 0;\n",
      "  // Never settled: no native path, and the next call looks again.\n",
      "a check that never settles keeps the answer of its last round", GUARD_ONLY),
    M("guard-failure-reask", "frame/latkem.h",
      "    if (!guard_holds()) return false;\n    const int before = line;",
      "    const int before = line;",
      "a failing statement runs under globals rebound while the core worked", REASKS),
    M("guard-keygen-reask", "bridge/kem.cpp:native_CCA_KeyGen",
      "  if (!made || !f.guard_holds()) return false;\n  result = native_keygen_tail",
      "  if (!made) return false;\n  result = native_keygen_tail",
      "the second draw of CCA_KeyGen runs under globals rebound while the core worked",
      REASKS),
    M("guard-print-reask", "bridge/kem.cpp:native_CCA_Dec",
      "    if (!f.guard_holds()) return false;\n    f.line = line::CCA_Dec::print_reject;",
      "    f.line = line::CCA_Dec::print_reject;",
      "the rejection prints under globals rebound while the core worked", REASKS),
    M("guard-reask-params", "guard/guard.cpp:still_allows",
      "  return current.kk == p.kk && current.eta1", "  return true || current.kk == p.kk && current.eta1",
      "the re-ask misses parameters rebound while the core worked", REASKS,
      equivalent="a failing statement reads the parameters either as the native path decided "
      "(its outcome is then the one before the change) or through a callee that reads them "
      "itself after statements that do not (the one after it)"),
    M("guard-live-argument", "bridge/bridge.h",
      "    if (kind_ != kBuffer) return Obj::borrow(o);", "    return Obj::borrow(o);",
      "a failing statement hands the callee the live bytearray, changed meanwhile", REASKS),
    M("guard-nested-release", "bridge/bridge.h:unlocked",
      "  if (calls_running > 1) {\n    work();", "  if (false) {\n    work();",
      "a call inside a host path releases the lock where the host path has no switch point",
      REASKS),
    # --- wipes: the module's, seen by the probe of tests/test_wipes.py ----------------
    M("wipe-input-copy", "bridge/bridge.h",
      "  ~Input() { native::secure_wipe(copy_.data(), copy_.size()); }",
      "  ~Input() {}",
      "a copied bytearray or memoryview argument is freed as it is", WIPES, probe=True),
    M("wipe-unhexed-heap-only", "bridge/bridge.h",
      "    if (buf_) native::secure_wipe(buf_, size_);",
      "    if (heap_) native::secure_wipe(buf_, size_);",
      "texts decoded in the object itself are not wiped", WIPES, probe=True),
    M("wipe-unhexed", "bridge/bridge.h",
      "    if (buf_) native::secure_wipe(buf_, size_);", "",
      "decoded texts are not wiped, in the object or on the heap", WIPES, probe=True),
    M("wipe-genkey-sk", "bridge/pke.cpp:native_Genkey",
      "  native::Wiped wipe_sk(sk, sizeof sk);", "",
      "Genkey leaves the secret key", WIPES, probe=True),
    M("wipe-enc-message", "bridge/pke.cpp:native_Enc",
      "  native::Wiped wipe_message(message, sizeof message);\n  uint8_t pk[", "  uint8_t pk[",
      "Enc leaves the message", WIPES, probe=True),
    M("wipe-dec-message", "bridge/pke.cpp:native_Dec",
      "  native::Wiped wipe_message(message, sizeof message);\n  bool done = false;\n",
      "  bool done = false;\n",
      "Dec leaves the message", WIPES, probe=True),
    M("wipe-kem-enc-seed", "bridge/kem.cpp:native_CCA_Enc", "wipe_m_hash(m_hash, sizeof m_hash)",
      "wipe_m_hash(m_hash, 0)", "CCA_Enc of a longer key leaves H(m)", WIPES, probe=True),
    M("wipe-kem-enc-split", "bridge/kem.cpp:native_CCA_Enc", "wipe_coins(coins, sizeof coins)", "wipe_coins(coins, 0)",
      "CCA_Enc of a longer key leaves the coins", WIPES, probe=True),
    M("wipe-kem-enc-key", "bridge/kem.cpp:native_CCA_Enc", "wipe_key(key, sizeof key);\n  bool long_enough",
      "wipe_key(key, 0);\n  bool long_enough", "CCA_Enc leaves the shared key", WIPES,
      probe=True),
    M("wipe-kem-enc-other-state", "native/kpke.cpp:kem_enc_other",
      "  Wiped wipe_st(&st, sizeof st);\n  run_below(other_enc, &st);",
      "  run_below(other_enc, &st);",
      "the encapsulation to a longer key leaves its hashes, pre-key and coins", WIPES,
      probe=True),
    M("wipe-kem-enc-other-stack", "native/kpke.cpp:kem_enc_other",
      "  const StackWipe wipe_stack_on_exit;\n  OtherEnc st", "  OtherEnc st",
      "the encapsulation to a longer key does not wipe the stack below it", [],
      selftest=True,
      equivalent="with GCC 12 at -O2 the copies of the secret stay in registers that its "
      "callees do not save, and the hashes wipe their own stack; the wipe is there for a "
      "build whose callees save them (as the bridge's lambda once did)"),
    M("wipe-kem-dec-key", "bridge/kem.cpp:native_CCA_Dec",
      "  native::Wiped wipe_key(key, static_cast<size_t>(key_size) / 2);", "",
      "CCA_Dec leaves the decoded secret key and z", WIPES, probe=True),
    M("wipe-kem-dec-pre", "native/kpke.cpp:kem_reject",
      "  Wiped wipe_st(&st, sizeof st);\n  run_below(reject, &st);", "  run_below(reject, &st);",
      "the rejection of a longer ciphertext leaves z || H(c)", WIPES, probe=True),
    M("wipe-kem-dec-reject-stack", "native/kpke.cpp:kem_reject",
      "  const StackWipe wipe_stack_on_exit;\n  Reject st", "  Reject st",
      "the rejection of a longer ciphertext does not wipe the stack below it", [],
      selftest=True,
      equivalent="with GCC 12 at -O2 the copies of the secret stay in registers that its "
      "callees do not save, and the hashes wipe their own stack; the wipe is there for a "
      "build whose callees save them (as the bridge's lambda once did)"),
    M("wipe-kem-dec-out", "bridge/kem.cpp:native_CCA_Dec", "  native::Wiped wipe_out(out, sizeof out);\n", "",
      "CCA_Dec leaves the shared or rejection key", WIPES, probe=True),
    M("wipe-keygen-sk", "bridge/kem.cpp:native_CCA_KeyGen",
      "  native::Wiped wipe_sk(sk, sizeof sk);", "",
      "CCA_KeyGen leaves the secret key", WIPES, probe=True),
    M("wipe-ntt3", "bridge/arith.cpp:native_ntt3",
      "bool native_ntt3(PyObject* vvv, Obj& result) {\n  int16_t in[native::kN], out[native::kN];\n"
      "  native::Wiped wipe_in(in, sizeof in), wipe_out(out, sizeof out);",
      "bool native_ntt3(PyObject* vvv, Obj& result) {\n  int16_t in[native::kN], out[native::kN];\n"
      "  native::Wiped wipe_in(in, 0), wipe_out(out, 0);",
      "ntt3 leaves the polynomial and its transform", WIPES, probe=True),
    M("wipe-intt3", "bridge/arith.cpp:native_intt3",
      "bool native_intt3(PyObject* vvv, Obj& result) {\n  int16_t in[native::kN], out[native::kN];\n"
      "  native::Wiped wipe_in(in, sizeof in), wipe_out(out, sizeof out);",
      "bool native_intt3(PyObject* vvv, Obj& result) {\n  int16_t in[native::kN], out[native::kN];\n"
      "  native::Wiped wipe_in(in, 0), wipe_out(out, 0);",
      "intt3 leaves the transform and the polynomial", WIPES, probe=True),
    M("wipe-ntt3-mul", "bridge/arith.cpp:native_ntt3_mul",
      "native::Wiped wipe_a(a, sizeof a), wipe_b(b, sizeof b), wipe_out(out, sizeof out);",
      "native::Wiped wipe_a(a, 0), wipe_b(b, 0), wipe_out(out, 0);",
      "ntt3_mul leaves its factors and their product", WIPES, probe=True),
    M("wipe-cbd-stream", "bridge/sampling.cpp:native_CBD", "  native::Wiped wipe_buf(buf, sizeof buf);\n", "",
      "CBD leaves the noise stream", WIPES, probe=True),
    M("wipe-cbd-noise", "bridge/sampling.cpp:native_CBD", "  native::Wiped wipe_p(&p, sizeof p);\n", "",
      "CBD leaves the noise polynomial", WIPES, probe=True),
    M("wipe-h-input", "bridge/hashing.cpp:native_H",
      "native::Wiped wipe_raw(raw.data(), raw.size()), wipe_digest(digest, sizeof digest);",
      "native::Wiped wipe_digest(digest, sizeof digest);",
      "H frees the bytes of the text (a message's) as they are", WIPES, probe=True),
    M("wipe-h-digest", "bridge/hashing.cpp:native_H",
      "native::Wiped wipe_raw(raw.data(), raw.size()), wipe_digest(digest, sizeof digest);",
      "native::Wiped wipe_raw(raw.data(), raw.size());",
      "H leaves the digest (of a message)", WIPES, probe=True),
    M("wipe-g-digest", "bridge/hashing.cpp:native_G",
      "  native::Wiped wipe_digest(digest, sizeof digest);\n  const size_t size", "  const size_t size",
      "G leaves the pre-key and the coins", WIPES, probe=True),
    M("wipe-prf-stream", "bridge/hashing.cpp:native_PRF", "  native::Wiped wipe_out(out.data(), out.size());\n", "",
      "PRF frees the noise stream as it is", WIPES, probe=True),
    M("wipe-prf-stack", "bridge/hashing.cpp:native_PRF", "    native::wipe_stack(native::kPermutationStack);\n", "",
      "PRF leaves the lanes its permutation spilled", WIPES, probe=True),
    M("wipe-core-ntt", "native/core.cpp:ntt_reduced",
      "  Wiped wipe_p(&p, sizeof p);\n  std::memcpy(p.c, in, sizeof p.c);\n  be.poly_ntt(p);",
      "  std::memcpy(p.c, in, sizeof p.c);\n  be.poly_ntt(p);",
      "the core's transform leaves its copy", WIPES, probe=True),
    M("wipe-core-invntt", "native/core.cpp:invntt_reduced",
      "  Wiped wipe_p(&p, sizeof p);\n  std::memcpy(p.c, in, sizeof p.c);\n  backend()",
      "  std::memcpy(p.c, in, sizeof p.c);\n  backend()",
      "the core's inverse transform leaves its copy", WIPES, probe=True),
    M("wipe-core-basemul-a", "native/core.cpp:basemul_reduced", "wipe_a(&pa, sizeof pa)", "wipe_a(&pa, 0)",
      "the core's product leaves its copy of the first factor", WIPES, probe=True),
    M("wipe-core-basemul-b", "native/core.cpp:basemul_reduced", "wipe_b(&pb, sizeof pb)", "wipe_b(&pb, 0)",
      "the core's product leaves its copy of the second factor", WIPES, probe=True),
    M("wipe-core-basemul-r", "native/core.cpp:basemul_reduced", "wipe_r(&r, sizeof r)", "wipe_r(&r, 0)",
      "the core's product leaves the product", WIPES, probe=True),
    # --- wipes: the core's, seen by the self-test's stack check ------------------------
    M("wipe-sponge", "native/keccak.cpp:Sponge",
      "Sponge::~Sponge() { secure_wipe(s_, sizeof s_); }", "Sponge::~Sponge() {}",
      "a sponge's state is left", [], selftest=True),
    M("wipe-sha3-256-stack", "native/keccak.cpp:sha3_256",
      "    s.squeeze(out, 32);\n  }\n  wipe_stack(kPermutationStack);", "    s.squeeze(out, 32);\n  }",
      "SHA3-256 leaves its permutation's lanes", [], selftest=True),
    M("wipe-sha3-512-stack", "native/keccak.cpp:sha3_512",
      "    s.squeeze(out, 64);\n  }\n  wipe_stack(kPermutationStack);", "    s.squeeze(out, 64);\n  }",
      "SHA3-512 leaves its permutation's lanes", [], selftest=True),
    M("wipe-shake128-stack", "native/keccak.cpp:shake128",
      "    Shake128 s;\n    s.absorb(in, inlen);\n    s.squeeze(out, outlen);\n  }\n"
      "  wipe_stack(kPermutationStack);",
      "    Shake128 s;\n    s.absorb(in, inlen);\n    s.squeeze(out, outlen);\n  }",
      "SHAKE-128 leaves its permutation's lanes", [], selftest=True),
    M("wipe-shake256-stack", "native/keccak.cpp:shake256",
      "    Shake256 s;\n    s.absorb(in, inlen);\n    s.squeeze(out, outlen);\n  }\n"
      "  wipe_stack(kPermutationStack);",
      "    Shake256 s;\n    s.absorb(in, inlen);\n    s.squeeze(out, outlen);\n  }",
      "SHAKE-256 leaves its permutation's lanes", [], selftest=True),
    M("wipe-op-stack", "native/kpke.cpp",
      "  ~StackWipe() { wipe_stack(kStackWipe); }", "  ~StackWipe() {}",
      "no operation wipes the stack below it", [], selftest=True),
    M("wipe-keygen-stack", "native/kpke.cpp:kpke_keygen",
      "  if (!params_valid(p)) return false;\n  const StackWipe wipe_stack_on_exit;\n"
      "  const Backend& be = backend();\n  const int kk = p.kk;\n  uint8_t rho_sigma",
      "  if (!params_valid(p)) return false;\n"
      "  const Backend& be = backend();\n  const int kk = p.kk;\n  uint8_t rho_sigma",
      "key generation does not wipe the stack below it", [], selftest=True,
      equivalent="its callees wipe what they held themselves, the samplers their lanes"),
    M("wipe-enc-stack", "native/kpke.cpp:kpke_enc",
      "  const StackWipe wipe_stack_on_exit;\n  const Backend& be = backend();\n"
      "  const int kk = p.kk;\n  const uint8_t* rho",
      "  const Backend& be = backend();\n  const int kk = p.kk;\n  const uint8_t* rho",
      "encryption does not wipe the stack below it (seen on the portable core)", [],
      selftest=True),
    M("wipe-dec-stack", "native/kpke.cpp:kpke_dec",
      "  const StackWipe wipe_stack_on_exit;\n  dec_unwiped(backend()", "  dec_unwiped(backend()",
      "decryption does not wipe the stack below it", [], selftest=True,
      equivalent="the decryption's callees wipe what they held themselves (the decoded key "
                 "among it: without both wipes the check sees it)"),
    M("wipe-kem-enc-stack", "native/kpke.cpp:kem_enc",
      "  const StackWipe wipe_stack_on_exit;\n  const Backend& be = backend();\n"
      "  const int kk = p.kk;\n  EncState st;",
      "  const Backend& be = backend();\n  const int kk = p.kk;\n  EncState st;",
      "the fused encapsulation does not wipe the stack below it", [], selftest=True),
    M("wipe-kem-dec-stack", "native/kpke.cpp:kem_dec",
      "  const StackWipe wipe_stack_on_exit;\n  const Backend& be = backend();\n"
      "  const int kk = p.kk;\n  const size_t ct_len",
      "  const Backend& be = backend();\n  const int kk = p.kk;\n  const size_t ct_len",
      "the fused decapsulation does not wipe the stack below it (seen on the portable core)",
      [], selftest=True),
    M("wipe-rho-sigma", "native/kpke.cpp:kpke_keygen",
      "Wiped wipe_rho_sigma(rho_sigma, sizeof rho_sigma);", "Wiped wipe_rho_sigma(rho_sigma, 0);",
      "key generation leaves sigma", [], selftest=True),
    M("wipe-keygen-se", "native/kpke.cpp:kpke_keygen",
      "Wiped wipe_se(se, sizeof(Poly) * 2 * kk)", "Wiped wipe_se(se, 0 * kk)",
      "key generation leaves the secret vector and its noise", [], selftest=True),
    M("wipe-keygen-t", "native/kpke.cpp:kpke_keygen", "wipe_t(&t, sizeof t);", "wipe_t(&t, 0);",
      "key generation leaves its last row of t", [], selftest=True,
      equivalent="the row holds the public key's last row when the loop ends"),
    M("wipe-enc-u", "native/kpke.cpp:enc_sampled", "Wiped wipe_u(&u, sizeof u)", "Wiped wipe_u(&u, 0)",
      "the encryption leaves u (a forged ciphertext's re-encryption)", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-enc-v", "native/kpke.cpp:enc_sampled", "wipe_v(&v, sizeof v)", "wipe_v(&v, 0)",
      "the encryption leaves v (a forged ciphertext's re-encryption)", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-enc-m", "native/kpke.cpp:enc_sampled", "wipe_m(&m, sizeof m);", "wipe_m(&m, 0);",
      "the encryption leaves the message polynomial", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-enc-noise", "native/kpke.cpp:kpke_enc",
      "  Wiped wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));\n  int eta[2 * kMaxRank + 1] = {};\n"
      "  enc_etas(p, eta);\n  if (!be.sample",
      "  Wiped wipe_noise(noise, 0 * kk);\n  int eta[2 * kMaxRank + 1] = {};\n"
      "  enc_etas(p, eta);\n  if (!be.sample",
      "the encryption leaves its noise", [], selftest=True),
    M("wipe-dec-s-hat", "native/kpke.cpp:dec_unwiped",
      "Wiped wipe_s_hat(s_hat, sizeof(Poly) * kk)", "Wiped wipe_s_hat(s_hat, 0 * kk)",
      "the decryption leaves the decoded secret key", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-dec-w", "native/kpke.cpp:dec_unwiped", "wipe_w(&w, sizeof w);", "wipe_w(&w, 0);",
      "the decryption leaves the noisy message polynomial", [], selftest=True,
      equivalent=COVERED + "; no check knows its value"),
    M("wipe-kem-enc-state", "native/kpke.cpp:kem_enc",
      "  Wiped wipe_st(&st, sizeof st), wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));",
      "  Wiped wipe_st(&st, 0), wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));",
      "the fused encapsulation leaves its hashes, pre-key and coins", [], selftest=True),
    M("wipe-kem-enc-noise", "native/kpke.cpp:kem_enc",
      "  Wiped wipe_st(&st, sizeof st), wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));",
      "  Wiped wipe_st(&st, sizeof st), wipe_noise(noise, 0 * kk);",
      "the fused encapsulation leaves its noise", [], selftest=True),
    M("wipe-kem-dec-g-in", "native/kpke.cpp:kem_dec", "Wiped wipe_g_in(g_in, sizeof g_in)",
      "Wiped wipe_g_in(g_in, 0)", "the fused decapsulation leaves the decrypted message",
      [], selftest=True),
    M("wipe-kem-dec-again", "native/kpke.cpp:kem_dec", "wipe_again(again, ct_len)", "wipe_again(again, 0)",
      "the fused decapsulation leaves a forged ciphertext's re-encryption", [], selftest=True),
    M("wipe-kem-dec-again-text", "native/kpke.cpp:kem_dec",
      "wipe_again_text(again_text, 2 * ct_len)", "wipe_again_text(again_text, 0)",
      "the fused decapsulation leaves the re-encryption's text", [], selftest=True),
    M("wipe-kem-dec-accept", "native/kpke.cpp:kem_dec",
      "wipe_accept(accept, sizeof accept)", "wipe_accept(accept, 0)",
      "the fused decapsulation leaves the shared key", [], selftest=True),
    M("wipe-kem-dec-reject", "native/kpke.cpp:kem_dec",
      "wipe_reject(reject, sizeof reject)", "wipe_reject(reject, 0)",
      "the fused decapsulation leaves the rejection key", [], selftest=True),
    M("wipe-kem-dec-state", "native/kpke.cpp:kem_dec",
      "wipe_reject(reject, sizeof reject), wipe_st(&st, sizeof st),",
      "wipe_reject(reject, sizeof reject), wipe_st(&st, 0),",
      "the fused decapsulation leaves its pre-key, coins and z", [], selftest=True),
    M("wipe-kem-dec-noise", "native/kpke.cpp:kem_dec",
      "      wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));\n  dec_unwiped",
      "      wipe_noise(noise, 0 * kk);\n  dec_unwiped",
      "the fused decapsulation leaves its noise", [], selftest=True),
    M("wipe-core-noise", "native/core.cpp:sample_noise",
      "Wiped wipe_buf(buf, size_t(64) * eta);", "Wiped wipe_buf(buf, 0);",
      "the portable sampler leaves a noise stream", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-avx2-encode", "native/avx2/pack.cpp:byte_encode",
      "  secure_wipe(buf, size_t(32) * d + 16);  // a secret key, when encoding one\n", "",
      "vector packing leaves what it packed (a forged ciphertext's re-encryption)", [],
      selftest=True),
    M("wipe-avx2-decode", "native/avx2/pack.cpp:byte_decode",
      "  secure_wipe(buf, size_t(32) * d + 16);  // a secret key, when decoding one\n", "",
      "vector unpacking leaves the secret key", [], selftest=True),
    M("wipe-avx2-lanes", "native/avx2/sample.cpp:run_streams",
      "  secure_wipe(s, sizeof s);\n  secure_wipe(buf, sizeof buf);\n  // And",
      "  secure_wipe(buf, sizeof buf);\n  // And",
      "the four-way sampler leaves its Keccak states, interleaved", [], selftest=True),
    M("wipe-avx2-lane-blocks", "native/avx2/sample.cpp:run_streams",
      "  secure_wipe(s, sizeof s);\n  secure_wipe(buf, sizeof buf);\n  // And",
      "  secure_wipe(s, sizeof s);\n  // And",
      "the four-way sampler leaves the first blocks of eta = 3 noise", [], selftest=True),
    M("wipe-avx2-lane-stack", "native/avx2/sample.cpp:run_streams",
      "  wipe_stack(kLaneStack);\n  return ok;", "  return ok;",
      "the four-way sampler leaves the lanes its permutation spilled", [], selftest=True),
    M("wipe-avx2-long-lanes", "native/avx2/sample.cpp:sample_noise_long",
      "    secure_wipe(s, sizeof s);\n    secure_wipe(buf, sizeof buf);\n  }",
      "    secure_wipe(buf, sizeof buf);\n  }",
      "the noise of long coins leaves its Keccak states", [], selftest=True,
      equivalent="the matrix's streams then run in the same frame, and wipe below them"),
    M("wipe-avx2-long-blocks", "native/avx2/sample.cpp:sample_noise_long",
      "    secure_wipe(s, sizeof s);\n    secure_wipe(buf, sizeof buf);\n  }",
      "    secure_wipe(s, sizeof s);\n  }",
      "the noise of long coins leaves its squeezed blocks", [], selftest=True,
      equivalent=COVERED + " (without that too, the check sees it)"),
    M("wipe-neon-blocks", "native/neon/sha3.cpp:sample_matrix_and_noise_sha3",
      "    secure_wipe(buf, sizeof buf);\n  }\n  secure_wipe(s, sizeof s);",
      "  }\n  secure_wipe(s, sizeof s);",
      "the two-way sampler leaves its noise blocks", [], selftest=True,
      equivalent="compiled for aarch64 only; under qemu-aarch64 the check does not see it: "
                 + COVERED),
    M("wipe-neon-lanes", "native/neon/sha3.cpp:sample_matrix_and_noise_sha3",
      "  secure_wipe(s, sizeof s);  // the noise streams' state\n", "",
      "the two-way sampler leaves its noise states", [], selftest=True,
      equivalent="compiled for aarch64 only; the matrix's streams overwrite the state next"),
]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def function_spans(text, name):
    """The spans of the definitions of the function `name` in C++ text: from
    the start of the line that names it to its closing brace, which stands at
    the start of a line (definitions are not indented, as in the sources)."""
    spans = []
    for match in re.finditer(r"^[A-Za-z_][^\n;{}]*?(?<![\w:])%s\(" % re.escape(name), text, re.M):
        depth, at = 0, match.end() - 1
        while at < len(text):
            ch = text[at]
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
            elif depth == 0 and ch in ";{":
                break
            at += 1
        if at >= len(text) or text[at] == ";":
            continue  # a declaration
        end = text.find("\n}", at)
        if end >= 0:
            spans.append((match.start(), end + 2))
    return spans


def source_files(src):
    for dirpath, _, files in os.walk(os.path.join(src, SOURCES)):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                yield os.path.relpath(os.path.join(dirpath, name), os.path.join(src, SOURCES))


def locate(m, src):
    """Where the mutant's snippet is: (file relative to latkem_alg/, start, end)
    of the text that holds it once (its function's definition, or the whole
    file), or None."""
    hint, _, func = m.file.partition(":")

    def places(rel):
        """The spans of `rel` that hold the snippet: once each, or more than
        once (then it is ambiguous)."""
        text = read(os.path.join(src, SOURCES, rel))
        spans = function_spans(text, func) if func else [(0, len(text))]
        return [(rel, a, b, text.count(m.old, a, b)) for a, b in spans if m.old in text[a:b]]

    if os.path.exists(os.path.join(src, SOURCES, hint)):
        found = places(hint)
        if len(found) == 1 and found[0][3] == 1:
            return found[0][:3]
    found = [place for rel in source_files(src) for place in places(rel)]
    if len(found) == 1 and found[0][3] == 1:
        return found[0][:3]
    return None


def where(m, place):
    """The place of a located mutant as --list shows it."""
    if place is None:
        return m.file
    func = m.file.partition(":")[2]
    return place[0] + (":" + func if func else "")


def sync(work):
    """Mirrors the sources into work/src, rewriting only the files that differ
    (unchanged files keep their time stamps, so the build stays incremental)."""
    src = os.path.join(work, "src")
    for top in (SOURCES, "python", "tests"):
        for dirpath, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                rel = os.path.relpath(os.path.join(dirpath, name), ROOT)
                dst = os.path.join(src, rel)
                if "__pycache__" in rel or ".hypothesis" in rel:
                    continue
                if not os.path.exists(dst) or not filecmp.cmp(os.path.join(ROOT, rel), dst, False):
                    os.makedirs(os.path.dirname(dst), exist_ok=True)
                    shutil.copyfile(os.path.join(ROOT, rel), dst)
    for name in ("CMakeLists.txt", "pyproject.toml"):
        dst = os.path.join(src, name)
        data = read(os.path.join(ROOT, name))
        if not os.path.exists(dst) or read(dst) != data:
            write(dst, data)
    # Files removed or moved in the worktree go from the copy too.
    for rel in list(source_files(src)):
        if not os.path.exists(os.path.join(ROOT, SOURCES, rel)):
            os.remove(os.path.join(src, SOURCES, rel))
    return src


def build(work, src, log, probe=False):
    """The module built from src: in work/build, or with its probe in
    work/build-probe."""
    bdir = os.path.join(work, "build-probe" if probe else "build")
    if not os.path.exists(os.path.join(bdir, "build.ninja")):
        subprocess.run(["cmake", "-S", src, "-B", bdir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DPython_EXECUTABLE=" + sys.executable,
                        "-DLATKEM_WIPE_PROBE=" + ("ON" if probe else "OFF")],
                       check=True, stdout=log, stderr=subprocess.STDOUT)
    done = subprocess.run(["cmake", "--build", bdir, "--", "-j2"], stdout=log,
                          stderr=subprocess.STDOUT)
    return done.returncode == 0, bdir


def pytest_runs(tests):
    """The pytest arguments of each run a list of tests takes: the files and
    node ids in one run, the marker expressions joined with `or` in another."""
    paths = [t for t in tests if not t.startswith("-m ")]
    marks = [t[3:] for t in tests if t.startswith("-m ")]
    runs = [paths] if paths else []
    if marks:
        runs.append(["-m", " or ".join("(%s)" % e for e in marks)])
    return runs


def run_tests(m, bdir, log, timeout):
    if not m.tests:
        return "survived", "no Python tests"
    env = dict(os.environ)
    env.pop("LATKEM_PORTABLE", None)
    env.update(m.env)
    env["PYTHONPATH"] = bdir + os.pathsep + env.get("PYTHONPATH", "")
    src = os.path.dirname(bdir) + "/src"
    # Test files the worktree no longer has stay in the copy: a marker would select them.
    gone = ["--ignore=tests/" + name for name in sorted(os.listdir(os.path.join(src, "tests")))
            if name.endswith(".py") and not os.path.exists(os.path.join(ROOT, "tests", name))]
    last = ""
    for args in pytest_runs(m.tests):
        cmd = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
               "--hypothesis-seed=0", "--hypothesis-profile=no-shrinking", *gone, *args]
        try:
            done = subprocess.run(cmd, cwd=src, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  universal_newlines=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return "killed", "timeout"
        log.write(done.stdout)
        last = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else ""
        if done.returncode == 0:
            continue
        if done.returncode < 0 or "Fatal Python error" in done.stdout:
            crash = [ln for ln in done.stdout.splitlines() if "Fatal Python error" in ln]
            return "killed", "crashed: " + (crash[0] if crash else "signal %d" % -done.returncode)
        if done.returncode == 1:
            failed = [ln for ln in done.stdout.splitlines() if ln.startswith("FAILED")]
            return "killed", failed[0][7:] if failed else last
        return "error", last  # collection or usage problem (5: nothing selected): fix the selection
    return "survived", last


def check_module(bdir):
    """The module the tests import must be the one just built."""
    env = dict(os.environ, PYTHONPATH=bdir)
    out = subprocess.run([sys.executable, "-c", "import Latkem; print(Latkem.__file__)"],
                         cwd=ROOT, env=env, stdout=subprocess.PIPE, universal_newlines=True)
    return out.stdout.strip().startswith(bdir)


def selftest(work, src, log):
    """The C++ self-test of the core (its CMake target, without the module),
    built from the mutated copy in a build directory of its own."""
    bdir = os.path.join(work, "selftest")
    if not os.path.exists(os.path.join(bdir, "build.ninja")):
        done = subprocess.run(["cmake", "-S", src, "-B", bdir, "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=Release", "-DLATKEM_BUILD_MODULE=OFF",
                               "-DLATKEM_BUILD_SELFTEST=ON"], stdout=log, stderr=subprocess.STDOUT)
        if done.returncode:
            return False
    for cmd in (["cmake", "--build", bdir, "--", "-j2"], ["ctest", "--test-dir", bdir]):
        if subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode:
            return False
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("names", nargs="*", help="mutant names to run (default: all)")
    ap.add_argument("--area", action="append", default=[], help="only mutants of this area")
    ap.add_argument("--list", action="store_true", help="list the mutants and exit")
    ap.add_argument("--equivalent", action="store_true", help="also run equivalent mutants")
    ap.add_argument("--selftest", action="store_true",
                    help="run the C++ self-test on core mutants the tests let through")
    ap.add_argument("--no-baseline", action="store_true",
                    help="skip running each test selection on the unmutated sources first")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "mutants"))
    ap.add_argument("--timeout", type=float, default=900)
    args = ap.parse_args()

    names = [m.name for m in MUTANTS]
    dup = {n for n in names if names.count(n) > 1}
    if dup:
        sys.exit("duplicate mutant names: %s" % ", ".join(sorted(dup)))
    unknown = set(args.names) - set(names)
    if unknown:
        sys.exit("unknown mutants: %s" % ", ".join(sorted(unknown)))

    chosen = [m for m in MUTANTS
              if (not args.names or m.name in args.names)
              and (not args.area or m.area in args.area)]
    if args.list:
        located = {m.name: locate(m, ROOT) for m in chosen}
        for m in chosen:
            state = ("stale" if located[m.name] is None
                     else "equivalent" if m.equivalent
                     else "Python " + m.hosts if not m.applies() else "")
            print("%-30s %-9s %-26s %s" % (m.name, m.area, where(m, located[m.name]), state))
            print("    %s" % m.note)
        return 0

    args.work = os.path.abspath(args.work)
    os.makedirs(args.work, exist_ok=True)
    lock = os.path.join(args.work, "running")
    try:
        os.close(os.open(lock, os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        sys.exit("%s exists: another run uses this work directory (remove it if none does)" % lock)
    try:
        return run(args, chosen)
    finally:
        os.remove(lock)


def run(args, chosen):
    src = sync(args.work)
    located = {m.name: locate(m, src) for m in chosen}
    log = open(os.path.join(args.work, "log.txt"), "w", encoding="utf-8")
    runnable = [m for m in chosen if located[m.name] and m.applies()
                and (args.equivalent or not m.equivalent)]
    bdirs = {}
    for probe in sorted({m.probe for m in runnable} | {False}):
        ok, bdirs[probe] = build(args.work, src, log, probe)
        if not ok or not check_module(bdirs[probe]):
            sys.exit("the unmutated sources do not build, or the build is not what Python "
                     "imports; see %s" % log.name)
    if not args.no_baseline:
        # Each selection must pass on the unmutated sources, or its kills mean nothing.
        seen = set()
        for m in runnable:
            key = (tuple(m.tests), tuple(sorted(m.env.items())), m.probe)
            if key in seen:
                continue
            seen.add(key)
            outcome, detail = run_tests(m, bdirs[m.probe], log, args.timeout)
            if outcome != "survived":
                sys.exit("the tests of %s fail on the unmutated sources: %s" % (m.name, detail))
        if any(m.selftest for m in runnable) and not selftest(args.work, src, log):
            sys.exit("the C++ self-test fails on the unmutated sources; see %s" % log.name)
    # Mutants of one file one after another: fewer files to rebuild.
    order = sorted(chosen, key=lambda m: (located[m.name] or ("",), MUTANTS.index(m)))
    results = []
    originals = {}
    try:
        for m in order:
            place = located[m.name]
            if place is None:
                results.append((m, "stale", "snippet not found once in the sources"))
                continue
            if m.equivalent and not args.equivalent:
                results.append((m, "equivalent", m.equivalent))
                continue
            if not m.applies():
                results.append((m, "not-here", "compiled only for Python " + m.hosts))
                continue
            rel, start, end = place
            path = os.path.join(src, SOURCES, rel)
            for other, text in list(originals.items()):
                if other != path:
                    write(other, text)
                    del originals[other]
            original = originals.setdefault(path, read(path))
            write(path, original[:start] + original[start:end].replace(m.old, m.new, 1)
                  + original[end:])
            log.write("\n=== %s (%s)\n" % (m.name, rel))
            log.flush()
            started = time.time()
            # The self-test alone builds what it needs.
            built, bdir = build(args.work, src, log, m.probe) if m.tests else (True, None)
            if not built:
                results.append((m, "no-build", "does not compile: fix the replacement"))
            else:
                outcome, detail = run_tests(m, bdir, log, args.timeout)
                if (outcome == "survived"
                        and (m.selftest or args.selftest and m.area in ("portable", "avx2"))
                        and not selftest(args.work, src, log)):
                    outcome, detail = "killed", "native self-test"
                results.append((m, outcome, detail))
            log.flush()
            print("%-30s %-10s %5.0f s  %s" % (m.name, results[-1][1], time.time() - started,
                                               results[-1][2][:100]), flush=True)
    finally:
        for path, text in originals.items():
            write(path, text)
        for probe in bdirs:
            build(args.work, src, log, probe)
        log.close()

    print()
    areas = sorted({m.area for m, _, _ in results})
    total_k = total_n = 0
    for area in areas:
        rs = [(m, o) for m, o, _ in results if m.area == area]
        k = sum(o == "killed" for _, o in rs)
        n = sum(o in ("killed", "survived") for _, o in rs)
        total_k += k
        total_n += n
        eq = sum(o == "equivalent" for _, o in rs)
        st = sum(o in ("stale", "no-build", "error") for _, o in rs)
        other = sum(o == "not-here" for _, o in rs)
        print("%-9s killed %2d of %2d  (equivalent %d, stale/broken %d, other Pythons only %d)"
              % (area, k, n, eq, st, other))
    if total_n:
        print("score     %d / %d = %.1f%%" % (total_k, total_n, 100.0 * total_k / total_n))
    for m, o, d in results:
        if o in ("survived", "stale", "no-build", "error"):
            print("%-10s %s: %s (%s)" % (o, m.name, m.note, d))
    return 0


if __name__ == "__main__":
    sys.exit(main())
