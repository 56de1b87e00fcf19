"""Fuzz harness for the Latkem module (atheris).

Every input is a short script of steps drawn from the fuzz data: calls of the
27 module functions with arbitrary arguments (bytes, str, bytearray, ints of
any size and sign, floats with nan and inf, None, lists, tuples, numpy arrays
and scalars, valid keys and ciphertexts and mutations of them, objects whose
methods raise), with keyword mixes (valid names, duplicates, unknown names,
non-string keys through **dict); rebinding of module globals (parameters,
tables, imported modules, functions rebound to others or to stand-ins);
switching functions between the native and the host path; and full key
exchanges whose outcome is checked.  To reach the code behind the first
checks there are also well-formed calls (arguments recorded from a real key
exchange for each parameter set, then a few structured changes), faults
injected in the middle of well-formed calls (a callee that fails, a
parameter or list element that runs out after a number of uses, a memory
allocation that fails), the function objects' own attributes, and a switch
between the two native cores (fuzz/README.md).  The module is imported at
the first input, after imports that fail, so that its import counts too.
The input is read as a small program (harness/encoding.py); make_corpus.py writes
seeds in that encoding.  After every input the module is put back as it was.

A finding is anything but an ordinary exception from a call:
  - a crash or a sanitizer report (the process dies);
  - a BaseException that is not an Exception (it escapes the harness);
  - SystemError: the interpreter's sign of a broken C-level contract (a
    function returned NULL without an exception, or the module's own
    "unexpected failure"), except those the host's own libraries raise and
    the module passes on (HOST_SYSTEM_ERRORS);
  - on an untouched module: the native and the host path disagree on a call
    (result, or exception type and message), or a key exchange goes wrong: a
    valid ciphertext does not give the encapsulated key, or a changed one does.

The module prints a line for every rejected ciphertext; stdout is sent to
/dev/null so that the fuzzer's log stays readable.

Build the module with coverage and sanitizers with fuzz/build_module.sh, then
run:  python fuzz/fuzz_module.py [libFuzzer options] (fuzz/README.md)
"""
import binascii
import copy
import ctypes
import gc
import hashlib
import math
import operator
import os
import pickle
import random
import subprocess
import sys
import warnings

import atheris

if __name__ == "__main__":
    # Run as a program, this file only starts the fuzzer; the harness is this
    # same file imported as the module fuzz_module, at the first input.  The
    # module's own import (its initialisation, the host modules it binds) and
    # the harness's start-up (key exchanges on both paths for every parameter
    # set) then run while the fuzzer counts edges, so the edges only they
    # reach are counted as covered (they are: every run takes them).
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    harness = None

    def test_one_input(data):
        global harness
        if harness is None:
            if not data:  # libFuzzer's first run, whose edges it does not count
                return
            import fuzz_module as harness
        harness.TestOneInput(data)

    def mutator(data, max_size, seed):
        if harness is None:
            return atheris.Mutate(data, max_size)
        return harness.custom_mutator(data, max_size, seed)

    warnings.simplefilter("ignore")  # numpy's overflow warnings, by the thousand
    # The rejection line is printed once per rejected ciphertext.
    sys.stdout = open(os.devnull, "w")
    # libFuzzer starts its own children (-merge, -jobs) with a shell command
    # made from argv[0]: the interpreter and this file.
    argv = ["%s %s" % (sys.executable, os.path.abspath(__file__))] + sys.argv[1:]
    atheris.Setup(argv, test_one_input, custom_mutator=mutator)
    atheris.Fuzz()

import numpy as np


def find_fault_arm(path):
    """The fuzzing build's switch that makes a chosen host call of the
    module's code fail (latkem_fault_arm, host.cpp), from the module's file;
    None in other builds."""
    try:
        arm = ctypes.PyDLL(os.path.realpath(path)).latkem_fault_arm
    except (OSError, AttributeError):
        return None
    arm.restype = ctypes.c_longlong
    arm.argtypes = [ctypes.c_longlong]
    return arm


def import_failing():
    """Imports of the module that fail at each statement of its
    initialisation that can fail with the host's modules: each module it
    imports missing, hashlib without the names taken from it, or with an
    attribute that raises.  A failed import leaves nothing behind, so the
    real import follows.  At the first input (see the launcher above), so
    that these paths count as covered."""
    import importlib
    import importlib.util
    import types

    def attempt(replacements):
        saved = {name: sys.modules.get(name) for name in replacements}
        sys.modules.update(replacements)
        try:
            importlib.import_module("Latkem")
        except Exception:
            pass
        else:
            raise Finding("the module imported with %r" % (replacements,))
        finally:
            for name, value in saved.items():
                if value is None:
                    sys.modules.pop(name, None)
                else:
                    sys.modules[name] = value
        if "Latkem" in sys.modules:
            raise Finding("a failed import left the module in sys.modules")

    class Uncomparable(str):
        def __eq__(self, other):
            raise RuntimeError("raised by the fuzzer's module name")

        __hash__ = str.__hash__

    # A name that passes for "__main__": the module then runs its
    # demonstration (a key exchange, printed); printing it fails, so that
    # the import still fails at the end.
    class MainLike(str):
        def __eq__(self, other):
            return other == "__main__" or str.__eq__(self, other)

        __hash__ = str.__hash__

    class Unwritable:
        def write(self, text):
            raise RuntimeError("raised by the fuzzer's output")

    spec = importlib.util.find_spec("Latkem")

    def import_as(name, arm, disarm):
        """One import under `name` (which makes it fail at the end, if not
        before) between arm() and disarm(); whether it got to the end (a
        RuntimeError from the name or the output)."""
        spec.name = name
        saved_stdout = sys.stdout
        if isinstance(name, MainLike):
            sys.stdout = Unwritable()
        arm()
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except RuntimeError as exc:
            return "raised by the fuzzer's" in str(exc)
        except Exception:
            return False
        else:
            raise Finding("the module imported under the name %r" % (name,))
        finally:
            disarm()
            sys.stdout = saved_stdout
            if "Latkem" in sys.modules:
                raise Finding("an import that failed left the module in sys.modules")

    # Memory running out at each point of the initialisation: the at-th
    # allocation fails, for every at until 20 imports have got to the end.
    # First, while the process has none of what the module makes once
    # (interned names, types).
    try:
        import _testcapi as starve
        starve.set_nomemory, starve.remove_mem_hooks
    except (ImportError, AttributeError):
        starve = None
    for name, next_at in ((Uncomparable("Latkem"), lambda at: at + 1),
                          (MainLike("Latkem"), lambda at: max(at + 1, int(at * 1.01)))):
        at, at_end = 0, 0
        while starve is not None and at_end < 20:
            at_end += import_as(name, lambda: starve.set_nomemory(at, at + 1),
                                starve.remove_mem_hooks)
            at = next_at(at)

    for name in ("math", "random", "binascii", "numpy", "hashlib"):
        attempt({name: None})
    partial = types.ModuleType("hashlib")
    partial.sha3_256 = hashlib.sha3_256
    attempt({"hashlib": partial})
    nameless = types.ModuleType("hashlib")
    del nameless.__name__
    attempt({"hashlib": nameless})

    class Raising(types.ModuleType):
        def __getattr__(self, name):
            raise RuntimeError("raised by the fuzzer's stand-in")
    attempt({"hashlib": Raising("hashlib")})

    # Each place in the initialisation's code that makes a host call made
    # to fail in turn (fuzzing builds: find_fault_arm), until an import
    # gets through with none left.
    arm = find_fault_arm(spec.origin)
    for name in (Uncomparable("Latkem"), MainLike("Latkem")):
        fired = arm is not None
        while fired:
            import_as(name, lambda: arm(-1), lambda: None)
            fired = arm(0) < 0


class Finding(AssertionError):
    pass


if __name__ != "__main__" and "Latkem" not in sys.modules:
    import_failing()
import Latkem  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness.encoding import Reader, Writer  # noqa: E402

# ---------------------------------------------------------------------------
# The module as imported, to put back after every input.

MODULE = vars(Latkem)
SAVED = list(MODULE.items())
SAVED_ZETAS = list(Latkem.zetas)
SAVED_ZETAS_INV = list(Latkem.zetas_inv)
SAVED_TREE = list(Latkem.tree)
ORIGINAL = dict(SAVED)
FUNCTIONS = [name for name, value in SAVED if hasattr(value, "_native")]
PARAMS = {name: value.__code__.co_varnames[: value.__code__.co_argcount]
          for name, value in SAVED if hasattr(value, "_native")}
assert len(FUNCTIONS) == 27, FUNCTIONS


FUNCTION_ATTRS = ("__name__", "__qualname__", "__module__", "__doc__")
SAVED_ATTRS = {name: [getattr(value, a) for a in FUNCTION_ATTRS]
               for name, value in SAVED if hasattr(value, "_native")}


def find_set_portable():
    """The core's switch between its portable and its vector code, which the
    module does not export: found by its address in the (unstripped) fuzzing
    build, so that one run reaches both cores.  None where it cannot be
    found (no nm, no /proc, a stripped build)."""
    path = os.path.realpath(Latkem.__file__)
    try:
        symbols = subprocess.run(["nm", "-C", path], capture_output=True, text=True,
                                 check=True).stdout
        offset = next(int(line.split()[0], 16) for line in symbols.splitlines()
                      if line.endswith(" latkem::native::set_portable(bool)"))
        with open("/proc/self/maps") as maps:
            base = min(int(line.split("-")[0], 16) for line in maps
                       if line.rstrip().endswith(path))
    except (OSError, subprocess.CalledProcessError, StopIteration, ValueError):
        return None
    return ctypes.CFUNCTYPE(None, ctypes.c_bool)(base + offset)


SET_PORTABLE = find_set_portable()
PORTABLE_AT_START = os.environ.get("LATKEM_PORTABLE", "") not in ("", "0")


def restore():
    if [(k, id(v)) for k, v in MODULE.items()] != [(k, id(v)) for k, v in SAVED]:
        MODULE.clear()
        MODULE.update(SAVED)
    Latkem.zetas[:] = SAVED_ZETAS
    Latkem.zetas_inv[:] = SAVED_ZETAS_INV
    Latkem.tree[:] = SAVED_TREE
    for name in FUNCTIONS:
        fn = ORIGINAL[name]
        fn._native = True
        for attr, value in zip(FUNCTION_ATTRS, SAVED_ATTRS[name]):
            if getattr(fn, attr) is not value:
                setattr(fn, attr, value)
        if fn.__dict__:
            fn.__dict__.clear()
    if SET_PORTABLE is not None:
        SET_PORTABLE(PORTABLE_AT_START)


def use_parameters(rank):
    for name, value in PARAMETER_SETS[rank].items():
        setattr(Latkem, name, value)


def set_paths(native):
    """Every module function on the native path (True) or the host path."""
    for name in FUNCTIONS:
        ORIGINAL[name]._native = native


# ---------------------------------------------------------------------------
# Valid material: keys, ciphertexts and building-block inputs for the three
# parameter sets, made once.

PARAMETER_SETS = {
    2: dict(kk=2, eta1=3, eta2=2, du=10, dv=4),
    3: dict(kk=3, eta1=2, eta2=2, du=10, dv=4),
    4: dict(kk=4, eta1=2, eta2=2, du=11, dv=5),
}


def make_material():
    rng = random.Random(2024)
    keys = {}
    for rank in PARAMETER_SETS:
        use_parameters(rank)
        random.seed(rank)
        pk, sk = Latkem.CCA_KeyGen()
        c, key = Latkem.CCA_Enc(pk, bytes(rng.getrandbits(8) for _ in range(32)))
        cpa_sk = sk[: 768 * rank]
        keys[rank] = dict(pk=pk, sk=sk, c=c, key=key, cpa_sk=cpa_sk,
                          cpa_c=Latkem.Enc(pk, bytes(32), b"ab" * 32))
        restore()
    coeffs = [rng.randrange(3329) for _ in range(256)]
    blocks = dict(
        coeffs=coeffs,
        ntt=Latkem.ntt3(coeffs),
        bits="".join(rng.choice("01") for _ in range(256)),
        stream=binascii.hexlify(bytes(rng.getrandbits(8) for _ in range(192))).decode(),
        bytes96=bytes(rng.getrandbits(8) for _ in range(96)),
        seed=bytes(rng.getrandbits(8) for _ in range(32)),
        encoded=Latkem.encode([[coeffs]], 12),
        encoded_array=np.array([[coeffs]], dtype=float),
    )
    return keys, blocks


KEYS, BLOCKS = make_material()


def record_templates():
    """Well-formed arguments of every function for every parameter set: the
    arguments the functions hand one another during a key exchange on the
    host path (every function then calls the others through the module
    globals), recorded by stand-ins.  A few per function, first and last."""
    recorded = {}

    def recorder(name, fn):
        def stand_in(*args):
            recorded.setdefault((rank, name), []).append(copy.deepcopy(args))
            return fn(*args)
        return stand_in

    for rank in PARAMETER_SETS:
        use_parameters(rank)
        set_paths(False)
        for name in FUNCTIONS:
            setattr(Latkem, name, recorder(name, ORIGINAL[name]))
        random.seed(rank)
        pk, sk = Latkem.CCA_KeyGen()
        c, _ = Latkem.CCA_Enc(pk, bytes(range(32)))
        Latkem.CCA_Dec(c, sk)
        Latkem.CCA_Dec(c[:-2] + (b"00" if c[-2:] != b"00" else b"11"), sk)
        restore()
    templates = {}
    for (rank, name), calls in recorded.items():
        picks = []
        for i in (0, 1, len(calls) // 2, len(calls) - 1):
            if 0 <= i < len(calls) and i not in picks:
                picks.append(i)
        templates.setdefault(name, {})[rank] = [calls[i] for i in picks]
    # Not called inside a key exchange: the scalar reductions.
    templates["mont_red"] = {r: [(0,), (1,), (3328 * 3328,), (-3329 * 2 ** 15,)]
                             for r in PARAMETER_SETS}
    templates["mont_mul"] = {r: [(1, 1), (3328, 3328), (2285, 17), (-1, 1664)]
                             for r in PARAMETER_SETS}
    templates["barrett_red"] = {r: [(0,), (3329,), (2 ** 16 - 1,), (-(2 ** 15),)]
                                for r in PARAMETER_SETS}
    assert sorted(templates) == sorted(FUNCTIONS), sorted(set(FUNCTIONS) - set(templates))
    return templates


TEMPLATES = record_templates()
VALID = [
    *(KEYS[r][k] for r in KEYS for k in ("pk", "sk", "c", "cpa_sk", "cpa_c")),
    *BLOCKS.values(),
]

# ---------------------------------------------------------------------------
# Argument generation.

EDGE_INTS = [0, 1, 2, 3, 4, 5, 8, 10, 11, 12, 13, 16, 31, 32, 33, 63, 64, 96, 127, 128, 255,
             256, 257, 767, 768, 1664, 1665, 3328, 3329, 3330, 2 ** 15 - 1, 2 ** 15, 2 ** 16,
             2 ** 31 - 1, 2 ** 31, 2 ** 32, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 30, 2 ** 1000,
             10 ** 5000]
# Parameters that are exponents, lengths or loop bounds: the host evaluates
# 2**d or loops up to them, so values in the billions only make the run slow.
SIZE_LIKE = {("compress", "d_u"), ("decompress", "d_u"), ("CBD", "eta"), ("PRF", "eta"),
             ("kdf", "length"), ("encode", "l"), ("decode", "l"), ("generate_mat_a", "len_a")}
SIZE_INTS = [-(2 ** 63), -(10 ** 30), -3329, -256, -1, 0, 1, 2, 3, 4, 5, 8, 10, 11, 12, 13,
             16, 32, 64, 256, 3329, 2 ** 12]
FLOATS = [0.0, -0.0, 1.0, 2.0, 3.0, 0.5, -1.5, 3329.0, 256.0, 1e300, -1e300, 5e-324,
          math.nan, math.inf, -math.inf]
HEX = b"0123456789abcdef"


class Raises:
    """Every protocol method raises an ordinary exception."""

    def _fail(self, *args, **kwargs):
        raise RuntimeError("raised by the fuzzer's stand-in")

    __index__ = __int__ = __float__ = __len__ = __iter__ = __getitem__ = _fail
    __eq__ = __lt__ = __gt__ = __le__ = __ge__ = __ne__ = _fail
    __add__ = __radd__ = __mul__ = __rmul__ = __mod__ = __rmod__ = __sub__ = __rsub__ = _fail
    __bytes__ = __bool__ = __hash__ = __and__ = __rand__ = __rshift__ = __lshift__ = _fail
    __truediv__ = __rtruediv__ = __floordiv__ = __rfloordiv__ = __pow__ = __rpow__ = _fail


class Text(str):
    pass


class Bytes(bytes):
    def __eq__(self, other):
        return False

    __hash__ = bytes.__hash__


class Int(int):
    pass


class Sequence:
    """A sequence through __len__ and __getitem__ only."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Draws:
    """Stands in for the `random` module: hands out a fixed value."""

    def __init__(self, value):
        self.value = value

    def randbytes(self, count):
        return self.value


def raw_bytes(fdp, limit=80):
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, limit))


def hex_text(fdp, limit=80):
    return binascii.hexlify(raw_bytes(fdp, limit))


def mutate(fdp, value):
    """A valid key, ciphertext or block, changed as the fuzz data says."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if isinstance(value, (list, np.ndarray)):
        value = list(value)
        if not value:
            return value
        if kind < 4:
            return value[: fdp.ConsumeIntInRange(0, len(value))]
        if kind < 6:
            return value + value[: fdp.ConsumeIntInRange(1, 8)]
        i = fdp.ConsumeIntInRange(0, len(value) - 1)
        value[i] = generate(fdp, depth=2)
        return value
    text = value.encode() if isinstance(value, str) else bytes(value)
    if kind == 0 or not text:
        return value
    if kind == 1:
        return text[: fdp.ConsumeIntInRange(0, len(text))]
    if kind == 2:
        return text + fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 4))
    if kind == 3:
        return text.upper()
    if kind == 4:
        return text.decode("latin-1")
    if kind == 5:
        return bytearray(text)
    if kind == 6:  # another hex digit
        i = fdp.ConsumeIntInRange(0, len(text) - 1)
        return text[:i] + bytes([HEX[fdp.ConsumeIntInRange(0, 15)]]) + text[i + 1:]
    if kind == 7:  # any byte
        i = fdp.ConsumeIntInRange(0, len(text) - 1)
        return text[:i] + bytes([fdp.ConsumeIntInRange(0, 255)]) + text[i + 1:]
    if kind == 8:
        return text + text
    if kind == 9:
        return text[:-1]
    if kind == 10:
        return Text(text.decode("latin-1"))
    if kind == 11:
        return Bytes(text)
    if kind == 12:
        return memoryview(text)
    if kind == 13:  # a non-ASCII character somewhere
        s = text.decode("latin-1")
        i = fdp.ConsumeIntInRange(0, len(s))
        return s[:i] + "é" + s[i:]
    if kind == 14:
        return b""
    return text[fdp.ConsumeIntInRange(0, len(text)):]


def generate_int(fdp, size_like=False):
    kind = fdp.ConsumeIntInRange(0, 5)
    if size_like:
        if kind < 3:
            return fdp.ConsumeIntInRange(-3, 20)
        return SIZE_INTS[fdp.ConsumeIntInRange(0, len(SIZE_INTS) - 1)]
    if kind < 2:
        return fdp.ConsumeIntInRange(-300, 4000)
    if kind < 4:
        value = EDGE_INTS[fdp.ConsumeIntInRange(0, len(EDGE_INTS) - 1)]
        return -value if fdp.ConsumeBool() else value
    if kind == 4:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 40))
    return Int(fdp.ConsumeIntInRange(-5, 300))


# No object arrays: their elementwise host arithmetic with a bytes argument
# (bytes * int) builds hundreds of megabytes and only makes the run slow.
NP_DTYPES = [np.float64, np.int64, np.int16, np.uint8, np.float32, np.int32, np.uint16,
             np.complex128, np.bool_]


def generate_array(fdp):
    shape_kind = fdp.ConsumeIntInRange(0, 4)
    dtype = NP_DTYPES[fdp.ConsumeIntInRange(0, len(NP_DTYPES) - 1)]
    if shape_kind == 0:
        base = BLOCKS["coeffs"]
    elif shape_kind == 1:
        base = [fdp.ConsumeIntInRange(-5000, 5000) for _ in range(fdp.ConsumeIntInRange(0, 300))]
    elif shape_kind == 2:
        base = [BLOCKS["coeffs"]] * fdp.ConsumeIntInRange(1, 4)
    elif shape_kind == 3:
        base = [fdp.ConsumeFloat() for _ in range(fdp.ConsumeIntInRange(0, 260))]
    else:
        return np.zeros([fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 260)], dtype=dtype)
    try:
        with np.errstate(all="ignore"):
            return np.array(base).astype(dtype)
    except (ValueError, OverflowError, TypeError):
        return np.array(base)


def generate_scalar(fdp):
    value = fdp.ConsumeIntInRange(-4000, 4000)
    maker = [np.int64, np.int32, np.int16, np.uint8, np.float64, np.float32, np.bool_,
             lambda v: np.float64("nan"), lambda v: np.str_(str(v)),
             lambda v: np.bytes_(b"%02x" % (v & 0xFF))][fdp.ConsumeIntInRange(0, 9)]
    with np.errstate(all="ignore"):
        try:
            return maker(value)
        except OverflowError:
            return np.int64(value)


def generate(fdp, depth=0, size_like=False):
    """One argument of any kind."""
    kind = fdp.ConsumeIntInRange(0, 19)
    if kind <= 3:
        return mutate(fdp, VALID[fdp.ConsumeIntInRange(0, len(VALID) - 1)])
    if kind == 4:  # a copy: a host path may change a list in place
        return copy.copy(VALID[fdp.ConsumeIntInRange(0, len(VALID) - 1)])
    if kind <= 6:
        return generate_int(fdp, size_like)
    if kind == 7:
        return raw_bytes(fdp)
    if kind == 8:
        return hex_text(fdp) if fdp.ConsumeBool() else hex_text(fdp).decode()
    if kind == 9:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 80))
    if kind == 10:
        return bytearray(raw_bytes(fdp))
    if kind == 11:
        return FLOATS[fdp.ConsumeIntInRange(0, len(FLOATS) - 1)] if fdp.ConsumeBool() \
            else fdp.ConsumeFloat()
    if kind == 12:
        return None if fdp.ConsumeBool() else fdp.ConsumeBool()
    if kind == 13 and depth < 2:
        items = [generate(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 6))]
        return items if fdp.ConsumeBool() else tuple(items)
    if kind == 14:
        return generate_array(fdp)
    if kind == 15:
        return generate_scalar(fdp)
    if kind == 16:
        count = fdp.ConsumeIntInRange(0, 300)
        item = generate_int(fdp) if fdp.ConsumeBool() else fdp.ConsumeFloat()
        return [item] * count
    if kind == 17:
        return Raises()
    if kind == 18:
        return Sequence(BLOCKS["coeffs"][: fdp.ConsumeIntInRange(0, 256)])
    return "".join(fdp.PickValueInList(["0", "1", "x", " "]) for _ in range(fdp.ConsumeIntInRange(0, 300)))


def plain(value):
    """Whether a value can be handed to two calls and compared afterwards."""
    if isinstance(value, (Raises, Sequence, memoryview, Tick)):
        return False
    if isinstance(value, (list, tuple)):
        return all(plain(v) for v in value)
    if isinstance(value, np.ndarray) and value.dtype == object:
        return all(plain(v) for v in value.flat)
    return True


# ---------------------------------------------------------------------------
# Calls.

PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.restype = ctypes.py_object
PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


# SystemErrors the host's own libraries raise, passed on by the module: the
# message and the innermost entry of the traceback (module function, line).
# On 3.9 to 3.13 hashlib's shake digest(n) with a negative n raises
# SystemError("Negative size passed to PyBytes_FromStringAndSize").
HOST_SYSTEM_ERRORS = {
    ("Negative size passed to PyBytes_FromStringAndSize", "Latkem.kdf", 614),
    ("Negative size passed to PyBytes_FromStringAndSize", "Latkem.PRF", 62),
}


def host_made(exc):
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    where = (tb.tb_frame.f_code.co_name, tb.tb_lineno) if tb is not None else (None, None)
    return (str(exc),) + where in HOST_SYSTEM_ERRORS


# Where the last call that raised failed: the traceback's entries (function,
# line), for make_corpus.py, which keeps one fault per place it reaches.
LAST_FAILURE = ()


def failure_place(exc):
    places = []
    tb = exc.__traceback__
    while tb is not None:
        places.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return tuple(places)


def outcome(fn, args, kwargs):
    global LAST_FAILURE
    LAST_FAILURE = ()
    try:
        return ("returned", fn(*args, **kwargs))
    except SystemError as exc:
        if not host_made(exc):
            raise
        LAST_FAILURE = failure_place(exc)
        return ("raised", SystemError, str(exc))
    except Exception as exc:  # every ordinary exception is an accepted answer
        LAST_FAILURE = failure_place(exc)
        return ("raised", type(exc), str(exc))


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":
            return bool(np.array_equal(a, b, equal_nan=True))
        return same(a.tolist(), b.tolist())
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, (float, complex, np.generic)):
        return bool(a == b) or (bool(a != a) and bool(b != b))  # nan is nan
    return a == b


def small_rank(name, param, value):
    """generate_mat_a builds len_a**2 polynomials: a rank in the hundreds
    takes seconds on each path, in the thousands minutes."""
    if (name, param) == ("generate_mat_a", "len_a") and type(value) is int and value > 8:
        return value % 9
    return value


def call_args(fdp, name):
    """Positional and keyword arguments for one call, with the binding mixes."""
    params = PARAMS[name]
    values = [small_rank(name, p, generate(fdp, size_like=(name, p) in SIZE_LIKE))
              for p in params]
    mix = fdp.ConsumeIntInRange(0, 9)
    if mix <= 4 or not params:
        args, kwargs = values, {}
    elif mix == 5:  # some by keyword, in any order
        cut = fdp.ConsumeIntInRange(0, len(params))
        args = values[:cut]
        kwargs = {p: v for p, v in zip(params[cut:], values[cut:])}
    elif mix == 6:  # a parameter twice
        args = values
        kwargs = {params[fdp.ConsumeIntInRange(0, len(params) - 1)]: generate(fdp, 2)}
    elif mix == 7:  # an unknown name
        args, kwargs = values, {fdp.PickValueInList(["x", "data", "self", "c_text", "eta",
                                                     "é", ""]): generate(fdp, 2)}
    elif mix == 8:  # a key that is not a string
        args, kwargs = values[:-1], {fdp.PickValueInList([1, None, b"x", 2.5]): values[-1]}
    else:  # too few or too many
        args, kwargs = values[: fdp.ConsumeIntInRange(0, len(values) + 2)], {}
        args = args + [generate(fdp, 2) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    if name == "CCA_KeyGen" and fdp.ConsumeIntInRange(0, 3) == 0:
        args = [generate(fdp, 2)]
    return list(args), kwargs


def call_function(fdp, pristine):
    """A call of one function with arbitrary arguments, through the module or
    the function object, in one of the ways a host program can call it; on
    an untouched module, on both paths."""
    name = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    fn = MODULE.get(name) if fdp.ConsumeIntInRange(0, 7) else ORIGINAL[name]
    args, kwargs = call_args(fdp, name)
    route = fdp.ConsumeIntInRange(0, 4)
    if route == 1:
        fn = getattr(fn, "__call__", fn)
    elif route == 2:
        fn = type(ORIGINAL[name]).__call__.__get__(ORIGINAL[name])
    elif route == 3:
        # A C-level call with the keyword dictionary as it is: keys that are
        # not strings reach the function's own check.
        target, keywords = fn, kwargs
        fn, kwargs = (lambda *a: PyObject_Call(target, a, keywords)), {}
    compare = (pristine and route == 0 and fn is ORIGINAL[name]
               and plain(args) and plain(list(kwargs.values())))
    if not compare:
        outcome(fn, args, kwargs)
        return pristine
    # Both paths, on copies of the arguments, from the same random state.
    state = random.getstate()
    first = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    random.setstate(state)
    fn._native = False
    try:
        second = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    finally:
        fn._native = True
    if not same(first, second):
        raise Finding("%s: native and host paths disagree\n  args=%r kwargs=%r\n"
                      "  native: %r\n  host:   %r" % (name, args, kwargs, first, second))
    return pristine


# ---------------------------------------------------------------------------
# Rebinding globals.

def parameter_value(fdp, name):
    choices = {
        "kk": [1, 2, 3, 4, 5, 0, -1, 2.0, True, None, "2", np.int64(3)],
        "eta1": [1, 2, 3, 4, 8, 0, -1, 3.0, None, np.int16(2)],
        "eta2": [1, 2, 3, 0, -2, 2.0, None],
        "du": [10, 11, 12, 9, 1, 0, -1, 10.0, None, 16],
        "dv": [4, 5, 3, 1, 0, 12, 4.0, None],
        "q": [3329, 3329.0, 3328, 17, 7681, 0, 1, -3329, None, "3329", np.int64(3329)],
        "n": [256, 128, 255, 512, 0, -256, 256.0, None, 8, np.int32(256)],
        "k": [13, 12, 0, 13.0, None],
        "mont": [2285, 0, 1, None],
        "tree": [None, [], list(range(128))],
    }
    return fdp.PickValueInList(choices[name])


def rebind(fdp, pristine):
    """A module global rebound or deleted: the module is no longer untouched."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        name = fdp.PickValueInList(["kk", "eta1", "eta2", "du", "dv", "q", "n", "k", "mont",
                                    "tree"])
        setattr(Latkem, name, parameter_value(fdp, name))
    elif kind == 4:  # a parameter set as a whole
        for name, value in PARAMETER_SETS[fdp.ConsumeIntInRange(2, 4)].items():
            setattr(Latkem, name, value)
    elif kind == 5:  # the tables
        table = fdp.PickValueInList(["zetas", "zetas_inv"])
        how = fdp.ConsumeIntInRange(0, 4)
        values = list(ORIGINAL[table])
        if how == 0:  # in place
            ORIGINAL[table][fdp.ConsumeIntInRange(0, 127)] = generate(fdp, 2)
        elif how == 1:
            setattr(Latkem, table, values[: fdp.ConsumeIntInRange(0, 127)])
        elif how == 2:
            setattr(Latkem, table, tuple(values))
        elif how == 3:
            setattr(Latkem, table, np.array(values))
        else:
            setattr(Latkem, table, None)
    elif kind == 6:  # a function rebound to another, or to a stand-in
        name = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
        how = fdp.ConsumeIntInRange(0, 3)
        if how == 0:
            other = ORIGINAL[FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]]
        elif how == 1:
            answer = generate(fdp, 2)
            other = lambda *a, **k: answer  # noqa: E731
        elif how == 2:
            def other(*a, **k):
                raise ValueError("stand-in")
        else:
            other = None
        setattr(Latkem, name, other)
    elif kind == 7:  # imported modules and hash constructors
        name = fdp.PickValueInList(["binascii", "np", "hashlib", "math", "sha3_512",
                                    "shake_128", "shake_256", "sha3_256"])
        value = fdp.PickValueInList([None, hashlib.sha3_256, hashlib.shake_256, math, binascii,
                                     np, hashlib, 5])
        setattr(Latkem, name, value)
    elif kind == 8:  # the generator CCA_KeyGen draws from
        Latkem.random = Draws(generate(fdp, 2)) if fdp.ConsumeBool() else None
    else:  # a global deleted
        name = fdp.PickValueInList(["kk", "n", "q", "zetas", "G", "H", "binascii", "random"])
        MODULE.pop(name, None)
    return False


def toggle_native(fdp, pristine):
    """Functions switched between the paths: the module stays untouched for
    the checks."""
    if fdp.ConsumeBool():
        ORIGINAL[FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]]._native = \
            fdp.ConsumeBool()
    else:
        on = fdp.ConsumeBool()
        for name in FUNCTIONS:
            ORIGINAL[name]._native = on
    return pristine


# ---------------------------------------------------------------------------
# Well-formed calls with a few structured changes: a recorded call of one
# function for one parameter set, then up to MAX_CHANGES changes, each of
# which keeps the argument's kind (a hex or bit text stays text of about the
# same length, an array keeps its shape unless the change is about the
# shape, an int moves to a boundary the code tests).  Encoding, read in this
# order (harness.encoding.Reader): function, rank, template, globals, binding,
# number of changes, then per change: argument, kind, position (two bytes),
# value.

MAX_CHANGES = 4
CHANGE_KINDS = 11
BOUNDARY_INTS = [0, 1, -1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 16, 17, 31, 32, 33, 63, 64, 65,
                 95, 96, 97, 127, 128, 129, 255, 256, 257, 383, 384, 385, 767, 768, 769, 1023,
                 1024, 1535, 1536, 1600, 1664, 1665, 2047, 2048, 2285, 3328, 3329, 3330, 4095,
                 4096, 6144, 32767, 32768, 65535, 65536, -3329, -1664, -32768, 3329 * 3329,
                 3329 * 2 ** 16, 2 ** 31 - 1, 2 ** 31, 2 ** 53, 2 ** 53 + 1, 2 ** 63 - 1, 2 ** 63,
                 -(2 ** 63)]
EDGE_VALUES = [0, 1, -1, 3328, 3329, 3330, 1664, 1665, 2 ** 10, 2 ** 11, 2 ** 12, 2 ** 16, -3329,
               0.5, -0.5, 1664.5, 2 ** 53, 1e300, math.nan, math.inf, -math.inf]
SHAPE_DTYPES = [np.float64, np.int64, np.int16, np.uint16, np.float32, np.int32, np.uint8,
                np.bool_, np.complex128]
SCALAR_TYPES = [int, float, np.int64, np.float64, np.int16, np.uint16, np.float32, bool, Int]


def text_alphabet(text):
    chars = set(text[:64])
    if chars <= set(b"01") or chars <= set("01"):
        return b"01"
    return HEX


def change_text(value, kind, pos, val):
    is_str = isinstance(value, str)
    raw = value.encode("latin-1", "replace") if is_str else bytes(value)
    alphabet = text_alphabet(raw)
    i = pos % len(raw) if raw else 0
    if kind == 0:  # another digit of the same alphabet (a flipped bit)
        if raw:
            c = alphabet[val % len(alphabet)]
            if c == raw[i]:
                c = alphabet[(val + 1) % len(alphabet)]
            raw = raw[:i] + bytes([c]) + raw[i + 1:]
    elif kind == 1:  # any byte
        raw = raw[:i] + bytes([val]) + raw[i + 1:]
    elif kind == 2:  # shorter by a few characters
        raw = raw[: max(len(raw) - 1 - val % 8, 0)]
    elif kind == 3:  # longer by a few characters of the alphabet
        raw = raw + bytes(alphabet[(val + j) % len(alphabet)] for j in range(1 + val % 8))
    elif kind == 4:  # upper case, from a point on
        raw = raw[:i] + raw[i:].upper()
    elif kind == 5:  # a character inserted
        raw = raw[:i] + bytes([alphabet[val % len(alphabet)] if val < 128 else val]) + raw[i:]
    elif kind == 6:  # a character removed
        raw = raw[:i] + raw[i + 1:]
    elif kind == 7:  # the same text as another kind of object
        return [raw, raw.decode("latin-1"), bytearray(raw), memoryview(raw), Text(raw.decode(
            "latin-1")), Bytes(raw), raw.decode("latin-1") + "\u0101", list(raw)][val % 8]
    return raw.decode("latin-1") if is_str else type(value)(raw) if isinstance(
        value, bytearray) else raw


def edge_value(val):
    return EDGE_VALUES[val % len(EDGE_VALUES)]


def change_array(value, kind, pos, val):
    as_list = isinstance(value, (list, tuple))
    try:
        arr = np.array(value, dtype=object if as_list else None)
    except (ValueError, TypeError, Countdown):
        return value
    if arr.size == 0 or arr.dtype == object and as_list and arr.ndim == 0:
        return value
    flat = arr.reshape(-1).copy() if arr.dtype != object else arr.reshape(-1).copy()
    i = pos % flat.size
    with np.errstate(all="ignore"):
        try:
            if kind == 0:  # one element at an edge value
                if flat.dtype.kind in "iub" and isinstance(edge_value(val), float):
                    flat = flat.astype(np.float64)
                flat[i] = edge_value(val)
            elif kind == 1:  # one element moved by a little
                flat[i] = flat[i] + (val % 7 - 3)
            elif kind == 2:  # every element at one edge value
                flat = np.full(flat.shape, edge_value(val),
                               dtype=object if as_list else np.float64)
            elif kind == 3:  # another element type
                flat = flat.astype(SHAPE_DTYPES[val % len(SHAPE_DTYPES)])
            elif kind == 4:  # shorter or longer along the last axis
                shape = list(arr.shape)
                cut = (val % 3) + 1
                if val & 0x80:
                    arr = np.concatenate([arr, arr[..., :cut]], axis=-1)
                else:
                    arr = arr[..., : max(shape[-1] - cut, 0)]
                return arr.tolist() if as_list else arr
            elif kind == 5:  # a row more, a row less, or one row alone
                if arr.ndim >= 2:
                    arr = [arr[:-1], np.concatenate([arr, arr[:1]]), arr[0]][val % 3]
                else:
                    arr = arr[None, :] if val & 1 else arr[: arr.size // 2]
                return arr.tolist() if as_list else arr
            elif kind == 6:  # the other container
                return [arr.tolist(), tuple(arr.tolist()), arr.astype(np.float64),
                        np.asarray(value, dtype=np.int64), list(arr)][val % 5]
            else:  # reversed
                flat = flat[::-1].copy()
        except (ValueError, TypeError, OverflowError, Countdown):  # (elements that ran out)
            return value
    if as_list:
        out = flat.reshape(arr.shape).tolist()
        return out if isinstance(value, list) else tuple(out)
    return flat.reshape(arr.shape)


def change_scalar(value, kind, pos, val, size_like):
    bounds = SIZE_INTS if size_like else BOUNDARY_INTS
    with np.errstate(all="ignore"):
        try:
            if kind <= 2:  # a boundary the code tests
                new = bounds[(val + 256 * kind) % len(bounds)]
            elif kind == 3:  # near the value
                new = int(value) + (val % 17 - 8)
            elif kind == 4:
                new = -int(value) if int(value) else -1
            elif kind == 5:  # an edge value of any kind (a size stays small:
                # the host computes 2**d and loops up to lengths)
                if size_like:
                    return [0.5, math.nan, math.inf, -1.0, 12.0][val % 5]
                return EDGE_VALUES[val % len(EDGE_VALUES)]
            else:
                new = value
            maker = SCALAR_TYPES[(val >> 4) % len(SCALAR_TYPES)] if kind >= 6 else type(value)
            if maker is bool:
                return bool(new)
            try:
                return maker(new)
            except (OverflowError, ValueError, TypeError, Countdown):
                return new
        except (OverflowError, ValueError, TypeError, Countdown):
            return value


def ticking(value, budget):
    """The same list or array with its int elements as Ticks sharing one
    budget of uses: the call fails at whichever operation on an element
    comes when the budget runs out."""
    if isinstance(value, (list, tuple)):
        out = [ticking(v, budget) for v in value]
        return out if isinstance(value, list) else tuple(out)
    if isinstance(value, np.ndarray):
        out = np.empty(value.shape, dtype=object)
        for i, v in np.ndenumerate(value):  # (an object array may hold Ticks already)
            out[i] = ticking(v.item() if isinstance(v, np.generic) else v, budget)
        return out
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return Tick(int(value), budget)
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return Tick(int(value), budget)
    return value


def change(name, index, args, rank, kind, pos, val):
    value = args[index]
    if kind == 10:  # elements that run out after a number of uses (log scale)
        if isinstance(value, (list, tuple, np.ndarray)):
            return ticking(value, [int(2 ** (pos / 4096)) - 1])
        return value
    if kind == 9:  # the argument of the same call for another parameter set
        others = TEMPLATES[name][2 + (rank - 1 + val % 2) % 3]
        return others[pos % len(others)][index]
    if kind == 8:  # something of another kind
        return [None, b"", "", [], 0, 1.5, np.zeros(0), BLOCKS["bits"], KEYS[rank]["pk"],
                KEYS[rank]["c"], KEYS[rank]["sk"], BLOCKS["seed"]][val % 12]
    if isinstance(value, (str, bytes, bytearray, memoryview)):
        return change_text(value, kind, pos, val)
    if isinstance(value, (list, tuple, np.ndarray)):
        return change_array(value, kind, pos, val)
    param = PARAMS[name][index] if index < len(PARAMS[name]) else None
    return small_rank(name, param, change_scalar(value, kind, pos, val, (name, param) in SIZE_LIKE))


def well_formed_call(fdp, pristine):
    """One well-formed call, changed; returns whether the module is still
    untouched afterwards (a valid parameter set counts as untouched)."""
    name = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    rank = fdp.ConsumeIntInRange(2, 4)
    calls = TEMPLATES[name][rank]
    args = list(copy.deepcopy(calls[fdp.ConsumeIntInRange(0, 3) % len(calls)]))
    # 0: the call's own parameter set, 1 to 3: that of rank 1 + it; 4 to 7:
    # the call's own with another n.
    globals_rank = fdp.ConsumeIntInRange(0, 7)
    binding = fdp.ConsumeIntInRange(0, 3)
    for _ in range(fdp.ConsumeIntInRange(0, MAX_CHANGES)):
        index = fdp.ConsumeIntInRange(0, 7)
        kind = fdp.ConsumeIntInRange(0, CHANGE_KINDS - 1)
        pos = fdp.ConsumeIntInRange(0, 0xFFFF)
        val = fdp.ConsumeIntInRange(0, 0xFF)
        if args:
            index %= len(args)
            args[index] = change(name, index, args, rank, kind, pos, val)
    for key, value in PARAMETER_SETS[rank if globals_rank in (0, 4, 5, 6, 7)
                                     else globals_rank + 1].items():
        setattr(Latkem, key, value)
    if globals_rank >= 4:
        # Another polynomial length: loops over the coefficients run another
        # number of times, and the arguments' shapes no longer match them.
        Latkem.n = (255, 257, 129, 1)[globals_rank - 4]
        pristine = False
    params = PARAMS[name]
    kwargs = {}
    if binding == 1 and args:  # all by keyword
        kwargs = dict(zip(params, args))
        args = []
    elif binding == 2 and len(args) > 1:  # the last by keyword, given first
        kwargs = {params[len(args) - 1]: args[-1]}
        args = args[:-1]
    fn = ORIGINAL[name]
    if not (pristine and plain(args) and plain(list(kwargs.values()))):
        outcome(fn, args, kwargs)
        return pristine
    state = random.getstate()
    first = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    random.setstate(state)
    fn._native = False
    try:
        second = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    finally:
        fn._native = True
    if not same(first, second):
        raise Finding("%s: native and host paths disagree (well-formed, rank %d)\n"
                      "  args=%r kwargs=%r\n  native: %r\n  host:   %r"
                      % (name, rank, args, kwargs, first, second))
    return pristine


def write_well_formed(writer, name, rank, template=0, globals_rank=0, binding=0, changes=()):
    """The bytes of one well-formed call step after its selector (for
    make_corpus.py and the mutator); changes are (argument, kind, position,
    value) tuples."""
    writer.int_in(0, len(FUNCTIONS) - 1, FUNCTIONS.index(name))
    writer.int_in(2, 4, rank).int_in(0, 3, template).int_in(0, 7, globals_rank)
    writer.int_in(0, 3, binding).int_in(0, MAX_CHANGES, len(changes))
    for index, kind, pos, val in changes:
        writer.int_in(0, 7, index).int_in(0, CHANGE_KINDS - 1, kind)
        writer.int_in(0, 0xFFFF, pos).int_in(0, 0xFF, val)
    return writer


# ---------------------------------------------------------------------------
# Faults in the middle of a well-formed call.  Most of the host path's edges
# are where an operation fails and the statement's objects are released: a
# well-formed call never takes them.  Here every module function and every
# callable of the host modules the bodies use is rebound to a stand-in that
# counts calls; at the chosen count it fails, returns something else, or
# deletes or rebinds a module global (seen at the next use of that name), so
# the call fails at that statement of whatever body is running.  Encoding:
# the well-formed call's first three choices, then whether every function
# runs on the host path, the count (two bytes), the target (0: any call),
# the action, its argument.

FAULT_ACTIONS = 9
FAULT_GLOBALS = ["q", "n", "kk", "eta1", "eta2", "du", "dv", "k", "mont", "zetas", "zetas_inv",
                 "np", "binascii", "hashlib", "G", "H", "XOF", "PRF", "CBD", "ntt3", "intt3",
                 "compress", "decompress", "encode", "decode", "hex_to_bits", "bits_to_bytes",
                 "generate_mat_a", "Parse", "ntt3_mul", "ntt3_mul0", "kdf", "Enc", "Dec", "Genkey",
                 "math", "sha3_512", "shake_128", "shake_256", "tree"]
HOST_CALLABLES = ["np", "binascii", "hashlib", "math", "sha3_512", "shake_128", "shake_256"]
# What a fault may wait for: a module function, or a callable the bodies
# take from a host module.
FAULT_TARGETS = FUNCTIONS + ["zeros", "hexlify", "unhexlify", "sha3_256", "shake_256",
                             "sqrt", "gcd", "sha3_512", "shake_128"]


class Countdown(Exception):
    pass


class Counter:
    """Counts the calls of the stand-ins; acts at the chosen one: the at-th
    call of any of them (target None) or the at-th call of the target."""

    def __init__(self, target, at, action, arg):
        self.target, self.left, self.action, self.arg = target, at, action, arg
        self.calls = {}  # name: count, for make_corpus.py

    def wrap(self, fn, name):
        def counted(*args, **kwargs):
            self.calls[name] = self.calls.get(name, 0) + 1
            if self.target is None or self.target == name:
                self.left -= 1
            if self.left != -1:
                return fn(*args, **kwargs)
            if self.action == 0:
                raise Countdown("fault injected by the fuzzer")
            if self.action == 1:
                return None
            result = fn(*args, **kwargs)
            victim = FAULT_GLOBALS[self.arg % len(FAULT_GLOBALS)]
            if self.action == 2:
                MODULE.pop(victim, None)
            elif self.action == 3:
                choices = [None, 0, -1, 1.5, "x", b"", (), 3329.0, 5]
                setattr(Latkem, victim, choices[self.arg % len(choices)])
            elif self.action == 4:  # one item fewer, or one more
                if isinstance(result, np.ndarray) and result.ndim:
                    result = result[:-1] if self.arg & 1 else np.concatenate([result, result[:1]])
                elif isinstance(result, (tuple, list, bytes, str)):
                    result = result[:-1] if self.arg & 1 else result + result[:1]
            else:  # a value of another kind
                result = [np.float64("nan"), 3329, -1, 2 ** 70, "0", b"00", [0],
                          np.zeros((2, 2))][self.arg % 8]
            return result
        return counted


class Proxy:
    """A host module (or callable) whose callables count."""

    def __init__(self, target, counter, name):
        self._target, self._counter, self._name = target, counter, name

    def __getattr__(self, name):
        value = getattr(self._target, name)
        return self._counter.wrap(value, name) if callable(value) else value

    def __call__(self, *args, **kwargs):
        return self._counter.wrap(self._target, self._name)(*args, **kwargs)


class Tick:
    """Stands in for an int parameter of the module (q, n, kk, ...): behaves
    as its value for a given number of uses (as an index, in arithmetic, in
    comparisons), then every use raises.  The bodies look the parameters up
    at each use, so the call fails at whichever statement, in whichever
    iteration of a loop, makes that use: the failure paths of the statements
    in the middle of the loops, which a fault at a function call reaches
    only at the loop's edges."""

    def __init__(self, value, uses):
        # uses: a count, or a one-item list shared by several Ticks
        self.value, self.budget = value, uses if isinstance(uses, list) else [uses]

    @property
    def left(self):
        return self.budget[0]

    def use(self):
        self.budget[0] -= 1
        if self.budget[0] < 0:
            raise Countdown("used up by the fuzzer")
        return self.value

    def __index__(self):
        return self.use()

    __int__ = __index__

    def __float__(self):
        return float(self.use())

    def __bool__(self):
        return bool(self.use())

    def __hash__(self):
        return hash(self.value)

    def __repr__(self):
        return "Tick(%r, %d)" % (self.value, self.left)


def _tick_operator(op, reflected=False):
    def operator_(self, other):
        if isinstance(other, Tick):
            other = other.use()
        return op(other, self.use()) if reflected else op(self.use(), other)
    return operator_


for _name in ("add", "sub", "mul", "floordiv", "truediv", "mod", "pow", "lshift", "rshift",
              "and", "or", "xor", "divmod"):
    _op = divmod if _name == "divmod" else getattr(operator, _name.rstrip("_") + (
        "_" if _name in ("and", "or") else ""))
    setattr(Tick, "__%s__" % _name, _tick_operator(_op))
    setattr(Tick, "__r%s__" % _name, _tick_operator(_op, reflected=True))
for _name in ("eq", "ne", "lt", "le", "gt", "ge", "neg", "pos", "abs", "invert"):
    _op = getattr(operator, _name)
    setattr(Tick, "__%s__" % _name, _tick_operator(_op) if _name in (
        "eq", "ne", "lt", "le", "gt", "ge") else (lambda self, _op=_op: _op(self.use())))

TICK = 6  # the fault action that hands out a Tick
# The fault action that makes one memory allocation fail: the interpreter's
# test hooks (its _testcapi module; builds without it skip these steps).
NOMEM = 7
try:
    import _testcapi as STARVE
    STARVE.set_nomemory, STARVE.remove_mem_hooks
except (ImportError, AttributeError):
    STARVE = None
# The fault action that makes the at-th place in the module's code that makes
# a host call fail, after the call succeeded (fuzzing builds only: see
# find_fault_arm).
SITE = 8


FAULT_ARM = find_fault_arm(Latkem.__file__)


def fail_each_place():
    """Every place in the module's code that makes a host call, made to fail
    once: a well-formed call of each function, on each path, repeated with
    the first place not yet made to fail failing, until a call gets through.
    At start-up (with the first input), so that the unwinding after every
    host call of every body counts as covered; then a key exchange on both
    paths must still come out right."""
    if FAULT_ARM is None:
        return
    for host in (True, False):
        for name in FUNCTIONS:
            args = TEMPLATES[name][2][0]
            while True:
                set_paths(not host)
                FAULT_ARM(-1)
                try:
                    outcome(ORIGINAL[name], copy.deepcopy(args), {})
                finally:
                    fired = FAULT_ARM(0) < 0
                    restore()
                if not fired:
                    break
    for native in (True, False):
        set_paths(native)
        material = KEYS[2]
        c, key = Latkem.CCA_Enc(material["pk"], bytes(32))
        if Latkem.CCA_Dec(c, material["sk"]) != key:
            raise Finding("a key exchange went wrong after host calls were made to fail")
    restore()


def every_core():
    """Every function's well-formed calls, at every parameter set, on each
    native core this build and processor have: the cores must agree.  At
    start-up, so that each core's code for every width counts as covered."""
    cores = []
    for core in ("portable", "avx2", "neon"):
        try:
            Latkem.H._core = core
        except ValueError:
            continue
        cores.append(core)
    answers = {}
    for core in cores:
        Latkem.H._core = core
        for rank in PARAMETER_SETS:
            use_parameters(rank)
            for name in FUNCTIONS:
                for i, args in enumerate(TEMPLATES[name][rank]):
                    random.seed(i)  # CCA_KeyGen's draws
                    got = outcome(ORIGINAL[name], copy.deepcopy(args), {})
                    first = answers.setdefault((rank, name, i), (core, got))
                    if not same(first[1], got):
                        raise Finding("%s (rank %d) answers differently on the %s and the %s "
                                      "core" % (name, rank, first[0], core))
        restore()
    restore()


fail_each_place()
every_core()
TICK_PARAMS = ["q", "n", "kk", "eta1", "eta2", "du", "dv", "k", "mont", "mont_inv", "ted",
               "bar_k", "bar_r"]


def fault_call(fdp):
    name = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    rank = fdp.ConsumeIntInRange(2, 4)
    calls = TEMPLATES[name][rank]
    args = copy.deepcopy(calls[fdp.ConsumeIntInRange(0, 3) % len(calls)])
    host = fdp.ConsumeBool()
    at = fdp.ConsumeIntInRange(0, 0xFFFF)
    target = fdp.ConsumeIntInRange(0, 0xFF)
    target = None if target == 0 else FAULT_TARGETS[(target - 1) % len(FAULT_TARGETS)]
    action = fdp.ConsumeIntInRange(0, FAULT_ACTIONS - 1)
    arg = fdp.ConsumeIntInRange(0, 0xFF)
    counter = Counter(target, at % 4096 if target is None else at % 32, action, arg)
    use_parameters(rank)
    if action == TICK:  # a parameter that runs out after `at` uses; no other fault
        counter.left = -2
        param = TICK_PARAMS[arg % len(TICK_PARAMS)]
        setattr(Latkem, param, Tick(MODULE[param], at))
    if action in (NOMEM, SITE):
        # The call as it is, on the path `host` says, with its at-th memory
        # allocation failing (where the host can make one fail), or the
        # at-th place in the module's code that makes a host call.
        counter.left = -2
        if host:
            set_paths(False)
        if action == NOMEM and STARVE is not None:
            outcome(starved, [ORIGINAL[name], args, at], {})
        if action == SITE and FAULT_ARM is not None:
            outcome(failing_site, [ORIGINAL[name], args, at + 1], {})
        return counter
    for fn_name in FUNCTIONS:
        setattr(Latkem, fn_name, counter.wrap(ORIGINAL[fn_name], fn_name))
        if host:
            ORIGINAL[fn_name]._native = False
    for module_name in HOST_CALLABLES:
        setattr(Latkem, module_name, Proxy(ORIGINAL[module_name], counter, module_name))
    ORIGINAL[name]._native = False
    outcome(ORIGINAL[name], args, {})
    return counter


def starved(fn, args, at):
    STARVE.set_nomemory(at, at + 1)
    try:
        return fn(*args)
    finally:
        STARVE.remove_mem_hooks()


def failing_site(fn, args, at):
    FAULT_ARM(at)
    try:
        return fn(*args)
    finally:
        FAULT_ARM(0)


def write_fault(writer, name, rank, template=0, host=False, at=0, target=None, action=0, arg=0):
    """The bytes of one fault step after its selector."""
    writer.int_in(0, len(FUNCTIONS) - 1, FUNCTIONS.index(name))
    writer.int_in(2, 4, rank).int_in(0, 3, template).bool(host).int_in(0, 0xFFFF, at)
    writer.int_in(0, 0xFF, 0 if target is None else 1 + FAULT_TARGETS.index(target))
    return writer.int_in(0, FAULT_ACTIONS - 1, action).int_in(0, 0xFF, arg)


# ---------------------------------------------------------------------------
# The function objects themselves, and the core in use.

ATTR_VALUES = [None, "x", "", 1, b"x", "Latkem.y", Text("z"), True, "é" * 3, {}]


def introspect(fdp, pristine):
    fn = ORIGINAL[FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]]
    kind = fdp.ConsumeIntInRange(0, 11)
    value = fdp.PickValueInList(ATTR_VALUES)
    try:
        if kind == 0:
            repr(fn)
            str(fn)
        elif kind <= 3:
            setattr(fn, ["__name__", "__qualname__", "_native"][kind - 1], value)
        elif kind == 4:
            setattr(fn, fdp.PickValueInList(["__module__", "__doc__", "__dict__", "x",
                                             "__code__", "__globals__", "_core"]), value)
        elif kind == 5:
            fn.__reduce__()
            pickle.loads(pickle.dumps(fn))
        elif kind == 6:
            gc.get_referents(fn)
            gc.collect()
        elif kind == 7:
            for attr in ("__annotations__", "__defaults__", "__kwdefaults__", "__closure__",
                         "_core", "_native_calls", "__code__", "__globals__", "__dict__",
                         "__module__", "__doc__", "_native"):
                getattr(fn, attr)
        elif kind == 8:
            copy.copy(fn)
            copy.deepcopy(fn)
        elif kind == 9:
            delattr(fn, fdp.PickValueInList(["__name__", "__qualname__", "_native", "__doc__",
                                             "__module__", "__dict__"]))
        elif kind == 10:
            fn.__get__(value)
            type(fn).__call__(fn)
        else:
            fn == ORIGINAL[FUNCTIONS[0]]
            hash(fn)
            dir(fn)
    except Exception:
        pass
    return pristine


def switch_core(fdp, pristine):
    if SET_PORTABLE is not None:
        SET_PORTABLE(fdp.ConsumeBool())
    return pristine


# ---------------------------------------------------------------------------
# Key exchanges with checked outcomes.

def rejection_key(sk, text):
    z = binascii.unhexlify(bytes(sk)[-64:])
    digest = hashlib.sha3_256(binascii.unhexlify(text)).digest()
    return hashlib.shake_256(z + digest).digest(32)


def as_bytes(text):
    """The characters of a ciphertext as bytes, or None for other objects."""
    if isinstance(text, str):
        try:
            return text.encode("latin-1")
        except UnicodeEncodeError:
            return None
    if isinstance(text, (bytes, bytearray, memoryview)):
        return bytes(text)
    return None


def key_exchange(fdp, pristine):
    """Encapsulation with a valid key, decapsulation of a possibly changed
    ciphertext.  On an untouched module: the unchanged ciphertext gives the
    encapsulated key, a changed one never does but gets the rejection key."""
    rank = fdp.ConsumeIntInRange(2, 4) if pristine else 2
    material = KEYS[rank]
    if pristine:
        use_parameters(rank)
    m = raw_bytes(fdp, 40)
    set_paths(fdp.ConsumeBool())
    if not pristine:  # whatever the globals are now: only no crash
        outcome(MODULE.get("CCA_Enc"), [material["pk"], m], {})
        outcome(MODULE.get("CCA_Dec"), [mutate(fdp, material["c"]), material["sk"]], {})
        return pristine
    encapsulated = outcome(Latkem.CCA_Enc, [material["pk"], m], {})
    if encapsulated[0] != "returned":
        raise Finding("encapsulation failed with a valid public key: %r" % (encapsulated,))
    c, key = encapsulated[1]
    text = mutate(fdp, c)
    decapsulated = outcome(Latkem.CCA_Dec, [text, material["sk"]], {})
    if decapsulated[0] != "returned":
        return pristine  # a malformed ciphertext may raise: it never yields a key
    got = decapsulated[1]
    chars = as_bytes(text)
    if chars == c:
        if got != key:
            raise Finding("a valid ciphertext %r gave the wrong key (rank %d)" % (text, rank))
        return pristine
    if got == key:
        raise Finding("a changed ciphertext %r gave the encapsulated key (rank %d)"
                      % (text, rank))
    try:
        expected = rejection_key(material["sk"], chars)
    except (binascii.Error, ValueError, TypeError):
        return pristine
    if got != expected:
        raise Finding("a changed ciphertext %r did not get the rejection key (rank %d)"
                      % (text, rank))
    return pristine


# ---------------------------------------------------------------------------
# The steps.  An input is one to MAX_STEPS steps, each chosen by a selector
# of 16 values: every step takes the selector's values of its share of the
# inputs, in the order of the table.  A step reads its own choices after the
# selector and answers whether the module is still untouched, which the
# checks of later steps need (a valid parameter set counts as untouched).

def restore_step(fdp, pristine):
    restore()
    return True


def fault_step(fdp, pristine):
    fault_call(fdp)
    return False


class Step:
    def __init__(self, name, share, run):
        self.name, self.share, self.run = name, share, run


STEPS = [
    Step("call", 6, call_function),  # arbitrary arguments
    Step("rebind", 2, rebind),
    Step("toggle_native", 1, toggle_native),
    Step("key_exchange", 2, key_exchange),
    Step("restore", 1, restore_step),
    Step("well_formed", 1, well_formed_call),
    Step("fault", 1, fault_step),
    Step("introspect", 1, introspect),
    Step("switch_core", 1, switch_core),
]
SELECTOR = [step for step in STEPS for _ in range(step.share)]
assert len(SELECTOR) == 16, "the encoding reads the selector as one of 16 values"
MAX_STEPS = 4


def write_step(writer, name):
    """The selector of the named step."""
    first = next(i for i, step in enumerate(SELECTOR) if step.name == name)
    return writer.int_in(0, len(SELECTOR) - 1, first)


def TestOneInput(data):
    fdp = Reader(data)
    random.seed(0)
    pristine = True
    try:
        for _ in range(fdp.ConsumeIntInRange(1, MAX_STEPS)):
            step = SELECTOR[fdp.ConsumeIntInRange(0, len(SELECTOR) - 1)]
            pristine = step.run(fdp, pristine)
    finally:
        restore()


def random_step(rng):
    """A well-formed call step with a few random changes, or a fault step."""
    name = rng.choice(FUNCTIONS)
    if rng.randrange(3) == 0:
        target = rng.choice([None, rng.choice(FAULT_TARGETS)])
        action = rng.randrange(FAULT_ACTIONS)
        # A parameter that runs out: after a number of uses spread evenly
        # on a logarithmic scale, as the counts of loops are.
        at = int(2 ** rng.uniform(0, 16)) - 1 if action in (TICK, NOMEM, SITE) \
            else rng.randrange(0x10000)
        return write_fault(write_step(Writer(), "fault"), name, rng.randrange(2, 5),
                           rng.randrange(4), rng.choice([False, True]), at, target, action,
                           rng.randrange(0x100)).bytes()
    count = rng.choice([0, 1, 1, 1, 2, 2, 3, 4])
    changes = [(rng.randrange(8), rng.randrange(CHANGE_KINDS), rng.randrange(0x10000),
                rng.randrange(0x100)) for _ in range(count)]
    return write_well_formed(write_step(Writer(), "well_formed"), name, rng.randrange(2, 5),
                             rng.randrange(4), rng.choice([0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7]),
                             rng.choice([0, 0, 1, 2]), changes).bytes()


def custom_mutator(data, max_size, seed):
    """libFuzzer's own byte mutations (which use the dictionary) most of the
    time; otherwise a well-formed call or fault step (random_step) put in
    front of the input's own steps, or the input's first step replaced by
    one."""
    rng = random.Random(seed)
    roll = rng.randrange(8)
    if roll >= 2 or not data:
        return atheris.Mutate(data, max_size)
    step = random_step(rng)
    count = Reader(data).ConsumeIntInRange(1, MAX_STEPS)
    if roll == 0:  # in front of the input's own steps
        out = Writer().int_in(1, MAX_STEPS, min(count + 1, MAX_STEPS)).raw(step).raw(data[1:])
    else:  # alone, followed by the input's bytes as data for later steps
        out = Writer().int_in(1, MAX_STEPS, count).raw(step).raw(data[1 + len(step):])
    out = out.bytes()
    return out[:max_size]
