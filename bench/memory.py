#!/usr/bin/env python3
"""Leak check of Latkem: memory and reference counts stay flat over many calls.

Every KEM function (and a set of building blocks) is called many times on
valid inputs and on failing ones (bad hex, wrong types, wrong lengths,
argument-binding errors, a forged ciphertext), each case in a phase of its
own, first on the native path and then with all 27 functions switched to their
host path (fewer calls there: the host path is slow). Every case is first
warmed up on both paths; then, around every phase, after a garbage
collection, the script reads

* the memory traced by tracemalloc (allocations of the host's allocators),
* the resident set size (everything, C++ included): from /proc/self/statm,
  the working set on Windows, the peak from getrusage elsewhere,
* sys.getrefcount of every module global, of the module and its dictionary,
  and of every argument object of the case,

and it checks the reference counts of the last result (no extra reference on
the result or on its items). It exits with status 1 when a reference count
changed, a phase's memory grew beyond a small tolerance, or a case did not
behave as expected (a valid call failing, a failing one not raising).

Usage: python3 bench/memory.py [--count N] [--quiet]
(default: 100000 calls of each fast case, so 100000 key-exchange round trips)
"""
import argparse
import binascii
import contextlib
import gc
import os
import sys
import time
import tracemalloc

# The test kit (tests/kit.py): the module's functions, the switch to their
# host paths, the parameter sets.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import Latkem  # noqa: E402
from kit import FUNCTIONS, host_only  # noqa: E402


# A case whose calls take less than this (seconds, measured in the warm-up,
# under tracemalloc) is made --count times on the native path, --count/10 on
# the host path; a slower one (a full operation on the host path, a failure
# found deep in a computation) as often as fits in --count * SLOW_BUDGET
# seconds, at least MIN_CALLS times.
# A phase also stops (at a multiple of 100 calls) once it has run for more
# than --count * PHASE_CAP seconds (at least half a second): warm-up timings
# on a busy machine misjudge a case now and then.
FAST_CALL = 5e-4
SLOW_BUDGET = 5e-5
MIN_CALLS = 3
PHASE_CAP = 3e-4

# Growth allowed in one phase (after its warm-up): pymalloc arenas, allocator
# caches and the like move by a few pages without any leak.
TRACED_TOLERANCE = 8 * 1024
RSS_TOLERANCE = 512 * 1024
# Ends every problem that is growth alone (see the second run in main).
GROWTH = " bytes"
# Growth allowed over the whole run, from after the first warm-up to the end.
RSS_TOTAL_TOLERANCE = 2 * 1024 * 1024

REJECTION_LINE = "错了"


def _rss_reader():
    """(function giving a size in bytes, what it measures) for the memory the
    process holds: the resident set from /proc where there is one, the working
    set on Windows, else the peak resident set from getrusage (it grows with a
    leak once the leak passes the earlier peak).  Where none is available the
    function gives 0 and only tracemalloc and the reference counts are checked."""
    try:
        page = os.sysconf("SC_PAGE_SIZE")
        with open("/proc/self/statm") as f:
            int(f.read().split()[1])

        def statm():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * page
        return statm, "resident set"
    except (AttributeError, OSError, ValueError, IndexError):
        pass
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        class Counters(ctypes.Structure):
            _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
                (name, ctypes.c_size_t) for name in (
                    "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                    "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage",
                    "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")]

        kernel32 = ctypes.WinDLL("kernel32")
        psapi = ctypes.WinDLL("psapi")
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        psapi.GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.POINTER(Counters),
                                               wintypes.DWORD]
        psapi.GetProcessMemoryInfo.restype = wintypes.BOOL

        def working_set():
            c = Counters()
            c.cb = ctypes.sizeof(c)
            if not psapi.GetProcessMemoryInfo(kernel32.GetCurrentProcess(), ctypes.byref(c), c.cb):
                raise OSError("GetProcessMemoryInfo failed")
            return c.WorkingSetSize
        return working_set, "working set"
    try:
        import resource
    except ImportError:
        return (lambda: 0), "not measured here"
    scale = 1 if sys.platform == "darwin" else 1024  # bytes on macOS, KiB elsewhere
    return (lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale), \
        "peak resident set"


rss_bytes, RSS_MEASURE = _rss_reader()


class Sink:
    """Stands in for sys.stdout: counts the lines printed, keeps nothing."""

    def __init__(self):
        self.lines = 0
        self.other = 0

    def write(self, text):
        if text == REJECTION_LINE:
            self.lines += 1
        elif text != "\n":
            self.other += 1
        return len(text)

    def flush(self):
        pass


class Case:
    """One call, repeated: `func(*args, **kwargs)` must return (passing `check`)
    or raise `raises`; `prints`: each call prints the rejection line."""

    def __init__(self, label, func, args=(), kwargs=None, raises=None, check=None,
                 prints=False):
        self.label = label
        self.func = func
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})
        self.raises = raises
        self.check = check
        self.prints = prints

    def function(self):
        return getattr(Latkem, self.func) if isinstance(self.func, str) else self.func

    def watched(self):
        """The argument objects whose reference counts are followed."""
        out = []
        for obj in self.args + tuple(self.kwargs.values()):
            out.append(obj)
            if isinstance(obj, (list, tuple)):
                out.extend(obj)
        return [o for o in out if trackable(o)]


def trackable(obj):
    """Whether an object's reference count means something here: shared
    singletons (small ints, None, booleans, one-character strings) are used by
    everything and their counts move for reasons of their own; immortal
    objects (3.12 on: the host says which from 3.14, and small ints range
    wider on 3.15) keep a count that never moves."""
    if obj is None or isinstance(obj, bool):
        return False
    if getattr(sys, "_is_immortal", lambda o: False)(obj):
        return False
    if isinstance(obj, int) and -5 <= obj <= 256:
        return False
    if isinstance(obj, (str, bytes)) and len(obj) <= 1:
        return False
    return True


def result_counts(obj):
    """Reference counts of an object held by one local variable of the caller,
    and of its items (held by the object only)."""
    items = []
    if isinstance(obj, (tuple, list)):
        items = [sys.getrefcount(obj[i]) if trackable(obj[i]) else None
                 for i in range(len(obj))]
    return sys.getrefcount(obj), items


def _fresh_counts():
    # a freshly made object, referenced by this local variable only
    probe = (bytes(bytearray(b"xy")), bytes(bytearray(b"zw")))
    own, items = result_counts(probe)
    return own, items[0]


FRESH_RESULT, FRESH_ITEM = _fresh_counts()


def result_problems(counts, result_type, tracked):
    """What is wrong with the reference counts (from result_counts) of a result
    that the caller holds in one local variable."""
    own, items = counts
    problems = []
    if tracked and own != FRESH_RESULT:
        problems.append("result %s has %d references, a fresh object %d" % (
            result_type.__name__, own, FRESH_RESULT))
    for i, count in enumerate(items):
        if count is not None and count != FRESH_ITEM:
            problems.append("item %d of the result has %d references, a fresh item %d" % (
                i, count, FRESH_ITEM))
    return problems


def module_objects():
    """Every module global (names and values), the module and its dictionary."""
    d = vars(Latkem)
    items = [(name, value) for name, value in d.items() if trackable(value)]
    items.append(("<module>", Latkem))
    items.append(("<module dict>", d))
    return items


def call_once(func, args, kwargs, raises):
    """(result, problem or None) of one call, checked against the expectation."""
    try:
        result = func(*args, **kwargs)
    except Exception as exc:
        if raises is None or not isinstance(exc, raises):
            return None, "unexpected %s: %s" % (type(exc).__name__, exc)
        return None, None
    if raises is not None:
        return None, "no %s raised" % raises.__name__
    return result, None


def warm_up(case):
    """Calls a case a few times, checking the outcome each time; returns
    (seconds per call, problem or None)."""
    func = case.function()
    args, kwargs, raises = case.args, case.kwargs, case.raises
    result, problem = call_once(func, args, kwargs, raises)
    calls, start = 0, time.perf_counter()
    while problem is None and calls < 5 and time.perf_counter() - start < 0.02:
        result, problem = call_once(func, args, kwargs, raises)
        calls += 1
    per_call = (time.perf_counter() - start) / max(1, calls)
    for _ in range(15 if per_call < FAST_CALL else 0):
        if problem is None:
            result, problem = call_once(func, args, kwargs, raises)
    if problem is None and raises is None and case.check is not None \
            and not case.check(result):
        problem = "wrong result"
    return per_call, problem


def calls_for(per_call, fast_calls, budget):
    """Calls of a phase: all of them for a fast case, else what fits the budget."""
    if per_call < FAST_CALL:
        return fast_calls
    return max(MIN_CALLS, min(fast_calls, int(budget / per_call)))


def run_phase(case, calls, time_cap, sink):
    """One call to settle, then `calls` calls (fewer if they take more than
    `time_cap` seconds) between two readings of memory and reference counts.
    Returns the figures and the problems found."""
    func = case.function()
    args, kwargs, raises = case.args, case.kwargs, case.raises
    problems = []
    result, problem = call_once(func, args, kwargs, raises)
    if problem is not None:
        return {"calls": 0}, [problem]
    result = None

    globals_ = module_objects()
    watched = case.watched()
    gc.collect()
    lines_before = sink.lines
    refs_globals = [sys.getrefcount(v) for _, v in globals_]
    refs_args = [sys.getrefcount(v) for v in watched]
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    start = time.perf_counter()

    done = 0
    while done < calls:
        chunk = min(100, calls - done)
        if raises is None:
            for _ in range(chunk):
                result = func(*args, **kwargs)
        else:
            for _ in range(chunk):
                try:
                    func(*args, **kwargs)
                except raises:
                    pass
                else:
                    problems.append("a call did not raise %s" % raises.__name__)
                    break
        done += chunk
        if problems or time.perf_counter() - start > time_cap:
            break
    calls = done

    seconds = time.perf_counter() - start
    if result is not None and case.check is not None and not case.check(result):
        problems.append("wrong result")
    if result is not None:
        problems.extend(result_problems(result_counts(result), type(result), trackable(result)))
    result = None
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    rss_after = rss_bytes()
    refs_globals_after = [sys.getrefcount(v) for _, v in globals_]
    refs_args_after = [sys.getrefcount(v) for v in watched]

    for (name, _), a, b in zip(globals_, refs_globals, refs_globals_after):
        if a != b:
            problems.append("reference count of global %s: %d -> %d" % (name, a, b))
    for obj, a, b in zip(watched, refs_args, refs_args_after):
        if a != b:
            problems.append("reference count of argument %s: %d -> %d" % (
                type(obj).__name__, a, b))
    if case.prints and sink.lines - lines_before != calls:
        problems.append("%d rejection lines printed for %d calls" % (
            sink.lines - lines_before, calls))
    traced = traced_after - traced_before
    rss = rss_after - rss_before
    if traced > TRACED_TOLERANCE:
        problems.append("traced memory grew by %d" % traced + GROWTH)
    if rss > RSS_TOLERANCE:
        problems.append("resident set grew by %d" % rss + GROWTH)
    figures = {"calls": calls, "traced": traced, "rss": rss, "seconds": seconds,
               "globals": len(globals_), "arguments": len(watched)}
    return figures, problems


def make_cases():
    """The cases, on valid inputs made with the default parameters."""
    import random

    state = random.getstate()
    random.seed(4242)
    try:
        pk, sk = Latkem.CCA_KeyGen()
    finally:
        random.setstate(state)
    m = bytes(range(32))
    c, key = Latkem.CCA_Enc(pk, m)
    forged = c[:-1] + (b"0" if c[-1:] != b"0" else b"1")
    seed = bytes(range(64, 96))
    pk_cpa, sk_cpa = Latkem.Genkey(seed)
    coins = bytes(range(7, 39)).hex().encode()
    c_cpa = Latkem.Enc(pk_cpa, m, coins)
    bits = [(m[i // 8] >> (i % 8)) & 1 for i in range(256)]
    rho = bytes(range(1, 33))
    stream = Latkem.XOF(rho, 0, 1)
    poly = Latkem.Parse(stream)
    noise = Latkem.PRF(rho, 1, 3)
    poly_ntt = Latkem.ntt3(poly)
    matrix = Latkem.generate_mat_a(rho, 2)
    packed = Latkem.encode([matrix[0]], 12)
    bit_text = Latkem.hex_to_bits(noise[:64])
    hex_text = binascii.hexlify(m)
    bad_hex = b"zz" * 16

    def round_trip(m):
        pk2, sk2 = Latkem.CCA_KeyGen()
        c2, key2 = Latkem.CCA_Enc(pk2, m)
        return Latkem.CCA_Dec(c2, sk2) == key2

    def is_(kind, size=None):
        return lambda r: isinstance(r, kind) and (size is None or len(r) == size)

    TE, VE, IE, BE = TypeError, ValueError, IndexError, binascii.Error
    cases = [
        # the key encapsulation, valid
        Case("round trip KeyGen+Enc+Dec", round_trip, (m,), check=lambda r: r is True),
        Case("CCA_KeyGen", "CCA_KeyGen", check=lambda r: len(r) == 2 and len(r[0]) == 1600),
        Case("CCA_Enc", "CCA_Enc", (pk, m), check=lambda r: r == (c, key)),
        Case("CCA_Enc by keywords", "CCA_Enc", (), {"m_unhex": m, "cca_pk": pk},
             check=lambda r: r == (c, key)),
        Case("CCA_Dec", "CCA_Dec", (c, sk), check=lambda r: r == key),
        Case("CCA_Dec of text", "CCA_Dec", (c.decode(), sk.decode()),
             check=lambda r: r == key),
        Case("CCA_Dec forged (rejection)", "CCA_Dec", (forged, sk),
             check=lambda r: is_(bytes, 32)(r) and r != key, prints=True),
        # the key encapsulation, failing
        Case("CCA_KeyGen extra argument", "CCA_KeyGen", (1,), raises=TE),
        Case("CCA_KeyGen keyword", "CCA_KeyGen", (), {"x": 1}, raises=TE),
        Case("CCA_Enc missing argument", "CCA_Enc", (pk,), raises=TE),
        Case("CCA_Enc too many arguments", "CCA_Enc", (pk, m, 3), raises=TE),
        Case("CCA_Enc argument twice", "CCA_Enc", (pk,), {"cca_pk": pk}, raises=TE),
        Case("CCA_Enc unknown keyword", "CCA_Enc", (pk, m), {"foo": 1}, raises=TE),
        Case("CCA_Enc bad hex key", "CCA_Enc", (b"zz" * 800, m), raises=BE),
        Case("CCA_Enc short key", "CCA_Enc", (pk[:-2], m), raises=IE),
        Case("CCA_Enc text message", "CCA_Enc", (pk, "text"), raises=TE),
        Case("CCA_Enc None key", "CCA_Enc", (None, m), raises=TE),
        Case("CCA_Dec odd length", "CCA_Dec", (c[:-1], sk), raises=BE),
        Case("CCA_Dec bad hex", "CCA_Dec", (b"zz" * 768, sk), raises=BE),
        Case("CCA_Dec short ciphertext", "CCA_Dec", (c[:-2], sk), raises=IE),
        Case("CCA_Dec bad hex key", "CCA_Dec", (c, b"zz" * 1632), raises=BE),
        Case("CCA_Dec int key", "CCA_Dec", (b"00", 5), raises=TE),
        Case("CCA_Dec int ciphertext", "CCA_Dec", (5, sk), raises=TE),
        # the encryption scheme
        Case("Genkey", "Genkey", (seed,), check=lambda r: r == [pk_cpa, sk_cpa]),
        Case("Enc", "Enc", (pk_cpa, m, coins), check=lambda r: r == c_cpa),
        Case("Dec", "Dec", (c_cpa, sk_cpa), check=lambda r: r == bits),
        Case("Genkey int seed", "Genkey", (5,), raises=TE),
        Case("Genkey text seed", "Genkey", ("ab" * 16,), raises=TE),
        Case("Enc short message", "Enc", (pk_cpa, b"short", b"00"), raises=IE),
        Case("Enc bad hex coins", "Enc", (pk_cpa, m, "zz" * 32), raises=BE),
        Case("Enc short key", "Enc", (pk_cpa[-40:], m, coins), raises=VE),
        Case("Dec odd length", "Dec", (c_cpa[:-1], sk_cpa), raises=BE),
        Case("Dec short ciphertext", "Dec", (c_cpa[:1280], sk_cpa), raises=IE),
        Case("Dec bad hex key", "Dec", (c_cpa, b"zz" * 768), raises=BE),
        # building blocks
        Case("H", "H", (hex_text,), check=is_(bytes, 64)),
        Case("G", "G", (seed,), check=lambda r: len(r) == 2),
        Case("PRF", "PRF", (rho, 1, 3), check=lambda r: r == noise),
        Case("XOF", "XOF", (rho, 0, 1), check=lambda r: r == stream),
        Case("kdf", "kdf", (m, 32), check=is_(bytes, 32)),
        Case("Parse", "Parse", (stream,), check=lambda r: r == poly),
        Case("CBD", "CBD", (noise, 3), check=is_(list, 256)),
        Case("ntt3", "ntt3", (poly,), check=lambda r: r == poly_ntt),
        Case("intt3", "intt3", (poly_ntt,), check=is_(list, 256)),
        Case("ntt3_mul", "ntt3_mul", (poly_ntt, poly_ntt), check=is_(list, 256)),
        Case("generate_mat_a", "generate_mat_a", (rho, 2), check=lambda r: r.shape == (2, 2, 256)),
        Case("encode", "encode", ([matrix[0]], 12), check=lambda r: r == packed),
        Case("decode", "decode", (packed, 12), check=lambda r: r.shape == (2, 256)),
        Case("hex_to_bits", "hex_to_bits", (noise[:64],), check=lambda r: r == bit_text),
        Case("bits_to_bytes", "bits_to_bytes", (bit_text,), check=is_(bytes, 32)),
        Case("mont_mul", "mont_mul", (123456, 2345), check=lambda r: isinstance(r, int)),
        Case("barrett_red", "barrett_red", (99999,), check=lambda r: isinstance(r, int)),
        Case("H bad hex", "H", (bad_hex,), raises=BE),
        Case("H int", "H", (5,), raises=TE),
        Case("G int", "G", (5,), raises=TE),
        Case("XOF text index", "XOF", (rho, "a", 1), raises=TE),
        Case("XOF missing arguments", "XOF", (rho,), raises=TE),
        Case("kdf text length", "kdf", (b"", "x"), raises=TE),
        Case("PRF text eta", "PRF", (rho, 1, "x"), raises=TE),
        Case("ntt3 short list", "ntt3", ([1, 2, 3],), raises=IE),
        Case("CBD bad hex", "CBD", ("zz" * 192, 3), raises=VE),
        Case("Parse short", "Parse", (b"ab",), raises=IE),
        Case("hex_to_bits bad hex", "hex_to_bits", ("zz",), raises=VE),
        Case("bits_to_bytes bad bits", "bits_to_bytes", ("0a" * 4,), raises=VE),
        Case("barrett_red text", "barrett_red", ("x",), raises=VE),
    ]
    return cases


def fmt_bytes(value):
    sign = "-" if value < 0 else "+"
    value = abs(value)
    if value >= 1024 * 1024:
        return "%s%.2f MiB" % (sign, value / 1048576.0)
    if value >= 1024:
        return "%s%.1f KiB" % (sign, value / 1024.0)
    return "%s%d B" % (sign, value)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=100000,
                        help="calls of each fast case on the native path (default 100000: "
                             "so 100000 key-exchange round trips); the host path makes "
                             "count/10 calls of a fast case; a slow case gets the calls "
                             "that fit in count * %g seconds, at least %d; a phase stops "
                             "after count * %g seconds" % (SLOW_BUDGET, MIN_CALLS, PHASE_CAP))
    parser.add_argument("--quiet", action="store_true",
                        help="no line for each phase, only the summary and the problems")
    args = parser.parse_args(argv)
    count = max(1, args.count)
    budget = count * SLOW_BUDGET
    time_cap = max(0.5, count * PHASE_CAP)
    paths = [("native", count, contextlib.nullcontext), ("host", max(10, count // 10), lambda: host_only(FUNCTIONS))]

    out = sys.stdout
    out.write("Latkem leak check (CPython %s): --count %d\n" % (sys.version.split()[0], count))
    tracemalloc.start(1)
    sink = Sink()
    cases = make_cases()
    failures = []
    rows = []
    globals_ = module_objects()
    refs_start = [sys.getrefcount(v) for _, v in globals_]
    started = time.perf_counter()
    try:
        sys.stdout = sink  # the rejection line of a forged ciphertext comes here
        # warm-up of every case on both paths, and the number of calls of each phase
        plan = []
        for path, fast_calls, switch in paths:
            with switch():
                for case in cases:
                    per_call, problem = warm_up(case)
                    if problem is not None:
                        failures.append("%s path, %s: warm-up: %s" % (path, case.label, problem))
                    else:
                        plan.append((path, case, calls_for(per_call, fast_calls, budget)))
        gc.collect()
        rss_start = rss_bytes()
        traced_start = tracemalloc.get_traced_memory()[0]
        if not args.quiet:
            out.write("  %-6s %-28s %7s %9s %11s %11s  %s\n" % (
                "path", "case", "calls", "seconds", "traced", "rss", "result"))
        for path, fast_calls, switch in paths:
            with switch():
                for case_path, case, calls in plan:
                    if case_path != path:
                        continue
                    figures, problems = run_phase(case, calls, time_cap, sink)
                    if problems and all(p.endswith(GROWTH) for p in problems):
                        # Growth alone: a leak grows again in a second run of the
                        # phase, a cache the host fills once (3.13's specialised
                        # code, an interned name) does not.
                        figures, problems = run_phase(case, calls, time_cap, sink)
                        figures["rerun"] = True
                    rows.append((path, case.label, figures))
                    failures.extend("%s path, %s: %s" % (path, case.label, p) for p in problems)
                    if problems or not args.quiet:
                        out.write("  %-6s %-28s %7d %9.2f %11s %11s  %s\n" % (
                            path, case.label, figures["calls"], figures.get("seconds", 0.0),
                            fmt_bytes(figures.get("traced", 0)),
                            fmt_bytes(figures.get("rss", 0)),
                            "; ".join(problems)
                            or ("ok on a second run" if figures.get("rerun") else "ok")))
                        out.flush()
    finally:
        sys.stdout = out
    gc.collect()
    rss_end = rss_bytes()
    traced_end, traced_peak = tracemalloc.get_traced_memory()
    refs_end = [sys.getrefcount(v) for _, v in globals_]
    tracemalloc.stop()
    changed = 0
    for (name, _), a, b in zip(globals_, refs_start, refs_end):
        if a != b:
            changed += 1
            failures.append("reference count of global %s over the run: %d -> %d" % (name, a, b))
    if rss_end - rss_start > RSS_TOTAL_TOLERANCE:
        failures.append("resident set grew by %d bytes over the run" % (rss_end - rss_start))
    if sink.other:
        failures.append("%d unexpected writes to standard output" % sink.other)

    print("Summary")
    for path in ("native", "host"):
        phases = [r for r in rows if r[0] == path]
        calls = sum(r[2]["calls"] for r in phases)
        worst_traced = max(phases, key=lambda r: r[2].get("traced", 0))
        worst_rss = max(phases, key=lambda r: r[2].get("rss", 0))
        print("  %s path: %d phases, %d calls; largest growth of one phase: traced %s (%s), "
              "rss %s (%s)" % (
                  path, len(phases), calls,
                  fmt_bytes(worst_traced[2].get("traced", 0)), worst_traced[1],
                  fmt_bytes(worst_rss[2].get("rss", 0)), worst_rss[1]))
    print("  rss: %s" % RSS_MEASURE)
    print("  over the run (after the warm-up; traced includes this script's own records): "
          "rss %.2f MiB -> %.2f MiB (%s); traced %.1f KiB -> %.1f KiB (%s), peak %.1f KiB" % (
              rss_start / 1048576.0, rss_end / 1048576.0, fmt_bytes(rss_end - rss_start),
              traced_start / 1024.0, traced_end / 1024.0, fmt_bytes(traced_end - traced_start),
              traced_peak / 1024.0))
    print("  reference counts: %d module objects (globals, module, its dictionary) %s over "
          "the run; these, the arguments of every case and the last result checked in every "
          "phase too" % (len(globals_), "unchanged" if not changed else "CHANGED"))
    trips = [r[2]["calls"] for r in rows if r[0] == "native" and r[1].startswith("round trip")]
    print("  key-exchange round trips on the native path: %d" % sum(trips))
    print("  rejection lines printed by forged ciphertexts: %d" % sink.lines)
    print("  tolerances: traced %s and rss %s a phase, rss %s over the run" % (
        fmt_bytes(TRACED_TOLERANCE), fmt_bytes(RSS_TOLERANCE), fmt_bytes(RSS_TOTAL_TOLERANCE)))
    print("  time: %.1f s" % (time.perf_counter() - started))
    if failures:
        print("FAILED: %d problem(s)" % len(failures))
        for line in failures:
            print("  " + line)
        return 1
    print("OK: memory and reference counts flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
