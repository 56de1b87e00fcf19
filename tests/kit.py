"""The kit the tests, the benchmarks and the fuzz harness share: constants,
the parameter sets, the module's functions, the switches of their path and
of the native core, the harness that runs a call on both paths, stand-ins
for the random generator and the rejection key.  Fixtures are in conftest.py.

Importing this file does not import the module: the fuzz harness imports
the module itself, after imports that fail.  The names that need the module
(FUNCTIONS, NATIVE) are made at their first use.
"""
import binascii
import contextlib
import array
import hashlib
import importlib
import random
import threading

import numpy as np

Q = 3329
N = 256
# File name every traceback entry of the module reports.
TB_FILE = "latkem_alg\\Latkem"
# Stands for "remove this global" in `rebound`.
DELETE = object()

# The line a binding error of each function reports (its code object's first
# line), in the order the module binds the functions.
FIRST_LINE = dict(
    compress=31, decompress=38, CBD=43, PRF=56, H=67, mont_red=79, mont_mul=85, barrett_red=92,
    ntt3_mul=133, ntt3_mul0=151, ntt3=168, intt3=194, Genkey=265, Enc=333, Dec=440, XOF=495,
    generate_mat_a=508, G=519, Parse=530, encode=553, decode=566, hex_to_bits=583,
    bits_to_bytes=597, kdf=612, CCA_KeyGen=651, CCA_Enc=667, CCA_Dec=681)

# The parameter sets the native core supports; "rank2" is the module's own.
PARAMETER_SETS = {
    "rank2": dict(kk=2, eta1=3, eta2=2, du=10, dv=4),
    "rank3": dict(kk=3, eta1=2, eta2=2, du=10, dv=4),
    "rank4": dict(kk=4, eta1=2, eta2=2, du=11, dv=5),
    "rank2-other-noise": dict(kk=2, eta1=2, eta2=3, du=11, dv=5),
}


def _module():
    return importlib.import_module("Latkem")


def function_names(module=None):
    """The names of the module's 27 functions, in the order it binds them:
    its globals that carry the switch of the native path."""
    d = vars(_module() if module is None else module)
    return [name for name, value in d.items() if hasattr(value, "_native")]


def __getattr__(name):
    # FUNCTIONS: the 27 function objects as the module bound them.
    # NATIVE: whether this build's native paths answer at all.  On an
    # interpreter newer than the last one checked (or in a build made as if
    # it were one) every function takes its host path, and `_internals` says so.
    if name == "FUNCTIONS":
        module = _module()
        value = [getattr(module, n) for n in function_names(module)]
    elif name == "NATIVE":
        value = _module().H._internals == "checked"
    else:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    globals()[name] = value
    return value


def _made(name):
    """FUNCTIONS or NATIVE, from this file's own functions."""
    return globals()[name] if name in globals() else __getattr__(name)


def set_paths(native, functions=None):
    """Every function of the module (or the given ones) on the native path
    (True) or the host path (False)."""
    for fn in _made("FUNCTIONS") if functions is None else functions:
        fn._native = native


def set_core(name, module=None):
    """Selects the native core of the whole process: any function's `_core`
    does for all.  ValueError if this build or processor has no such core."""
    (_module() if module is None else module).H._core = name


def cores(module=None):
    """The native cores this build and processor run, the one in use first."""
    module = _module() if module is None else module
    in_use = module.H._core
    found = [in_use]
    for name in ("avx2", "neon", "portable"):
        if name == in_use:
            continue
        try:
            set_core(name, module)
        except ValueError:  # not in this build, or not on this processor
            continue
        found.append(name)
    set_core(in_use, module)
    return found


def traceback_entries(exc):
    """(function name, file name, line) of every entry of the exception's traceback."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def module_entries(exc):
    """(function, line) of every traceback entry the module added, outermost first."""
    return [(name, line) for name, f, line in traceback_entries(exc) if f == TB_FILE]


@contextlib.contextmanager
def rebound(**values):
    """Rebinds (or, with DELETE, removes) module globals; on exit puts the module
    dictionary back as it was, with its values and its key order."""
    d = vars(_module())
    saved = list(d.items())
    try:
        for name, value in values.items():
            if value is DELETE:
                d.pop(name, None)
            else:
                d[name] = value
        yield
    finally:
        if [(k, id(v)) for k, v in d.items()] != [(k, id(v)) for k, v in saved]:
            d.clear()
            d.update(saved)


def parameters(name):
    """The module's parameters rebound to one of PARAMETER_SETS while in the block."""
    return rebound(**PARAMETER_SETS[name])




def natively(count):
    """How many native answers to expect of `count` calls the native path
    takes where it can."""
    return count if _made("NATIVE") else 0


@contextlib.contextmanager
def host_only(functions=None):
    """Every function of the module (or the given ones) on its host path."""
    functions = _made("FUNCTIONS") if functions is None else functions
    saved = [fn._native for fn in functions]
    set_paths(False, functions)
    try:
        yield
    finally:
        for fn, value in zip(functions, saved):
            fn._native = value


@contextlib.contextmanager
def seeded(seed):
    """The `random` module seeded; its state put back afterwards."""
    state = random.getstate()
    random.seed(seed)
    try:
        yield
    finally:
        random.setstate(state)


# ---------------------------------------------------------------------------
# Running a call on both paths


def same_nan(x):
    return "nan" if isinstance(x, float) and x != x else x


def describe(value):
    """A comparable picture of a result, element types included."""
    if isinstance(value, np.ndarray):
        return (type(value), value.dtype.str, value.shape, value.flags.c_contiguous,
                [same_nan(x) for x in value.ravel().tolist()])
    if isinstance(value, list):
        return (list, [(type(x), same_nan(x)) for x in value])
    if isinstance(value, tuple):
        return (tuple, [describe(x) for x in value])
    return (type(value), value)


def outcome(fn, *args, system_error_ok=True):
    """What a call did: ("returned", result), or ("raised", type, message,
    entries of the module).  Where the host itself never raises SystemError,
    system_error_ok=False lets one propagate: it is then a broken contract
    inside the module, never an answer."""
    try:
        result = fn(*args)
    except Exception as exc:  # compared field by field
        if isinstance(exc, SystemError) and not system_error_ok:
            raise
        return ("raised", type(exc), str(exc), module_entries(exc))
    return ("returned", result)


def picture(result):
    """An outcome made comparable: a returned value by its description."""
    return ("returned", describe(result[1])) if result[0] == "returned" else result


def printed_both_paths(capsys, name, *args, system_error_ok=True):
    """Calls Latkem.<name> as it is, then with every function on its host
    path, and requires the same outcome (values and their types, or the
    exception, its message and the module's entries) and the same printed
    lines.  Returns the outcome of the first call and what it printed."""
    fn = getattr(_module(), name)
    capsys.readouterr()
    first = outcome(fn, *args, system_error_ok=system_error_ok)
    printed = capsys.readouterr().out
    with host_only():
        host = outcome(fn, *args, system_error_ok=system_error_ok)
    assert picture(first) == picture(host), (name, args)
    assert capsys.readouterr().out == printed, (name, args)
    return first, printed


def both_paths(name, *args, capsys=None, system_error_ok=True):
    """printed_both_paths without the printed lines; without capsys nothing
    printed is compared."""
    if capsys is not None:
        return printed_both_paths(capsys, name, *args, system_error_ok=system_error_ok)[0]
    fn = getattr(_module(), name)
    first = outcome(fn, *args, system_error_ok=system_error_ok)
    with host_only():
        host = outcome(fn, *args, system_error_ok=system_error_ok)
    assert picture(first) == picture(host), (name, args)
    return first


def returned(result):
    return result[0] == "returned"


# ---------------------------------------------------------------------------
# Draws, forged ciphertexts and the rejection key


class Draws:
    """Stands in for the `random` module: hands out the given values in turn
    and records the counts asked for."""

    def __init__(self, *values):
        self.values = list(values)
        self.asked = []

    def randbytes(self, count):
        self.asked.append(count)
        return self.values.pop(0)


class BitsOnly:
    """A generator without randbytes, as on hosts before 3.9."""

    def __init__(self, seed):
        self._r = random.Random(seed)

    def getrandbits(self, k):
        return self._r.getrandbits(k)


def flip_digit(text, i):
    """The hex text with its digit at i (modulo the length) replaced by another."""
    i %= len(text)
    return text[:i] + (b"1" if text[i:i + 1] != b"1" else b"2") + text[i + 1:]


def rejection_key(sk, text):
    """shake256(z || sha3_256(ciphertext bytes)), computed without the module."""
    z = binascii.unhexlify(bytes(sk[-64:], "ascii") if isinstance(sk, str) else sk[-64:])
    digest = hashlib.sha3_256(binascii.unhexlify(text)).digest()
    return hashlib.shake_256(z + digest).digest(32)


# ---------------------------------------------------------------------------
# Spellings of hex texts


class Bytes(bytes):
    """A bytes subclass: the native paths leave it to the host path."""


class Text(str):
    """A str subclass: the native paths leave it to the host path."""


def put(t, at, char):
    at %= len(t)
    return t[:at] + char + t[at + 1:]


def chars(t):
    """The characters of a hex text as bytes."""
    return t.encode() if isinstance(t, str) else bytes(t)


# Spellings of a hex text, from the bytes of a valid one: name, change,
# whether the native path answers.
FORMS = [
    ("as given", lambda t: t, True),
    ("empty", lambda t: b"", True),
    ("short by 2", lambda t: t[:-2], True),
    ("half", lambda t: t[:len(t) // 2], True),
    ("long by 2", lambda t: t + b"00", True),
    ("much longer", lambda t: t * 5, True),
    ("odd, one more", lambda t: t + b"0", True),
    ("odd, one less", lambda t: t[:-1], True),
    ("non-hex at start", lambda t: put(t, 0, b"g"), True),
    ("non-hex in middle", lambda t: put(t, len(t) // 2, b" "), True),
    ("non-hex at end", lambda t: put(t, -1, b"z"), True),
    ("non-hex past the end", lambda t: t + b"zz", True),
    ("NUL", lambda t: put(t, 5, b"\x00"), True),
    ("high byte", lambda t: put(t, 9, b"\xe9"), True),
    ("upper case", lambda t: t.upper(), True),
    ("mixed case", lambda t: t[:len(t) // 2].upper() + t[len(t) // 2:], True),
    ("one digit changed", lambda t: flip_digit(t, 9), True),
    ("str", lambda t: t.decode(), True),
    ("str, long by 2", lambda t: t.decode() + "00", True),
    ("str, short by 2", lambda t: t.decode()[:-2], True),
    ("str, upper case", lambda t: t.decode().upper(), True),
    ("str, non-ASCII first", lambda t: "é" + t[1:].decode(), True),
    ("str, non-ASCII last", lambda t: t.decode()[:-1] + "é", True),
    ("bytearray", bytearray, True),
    ("bytearray, long by 2", lambda t: bytearray(t + b"00"), True),
    ("bytearray, short by 2", lambda t: bytearray(t[:-2]), True),
    ("bytearray, upper case", lambda t: bytearray(t.upper()), True),
    ("bytearray, non-hex", lambda t: bytearray(put(t, 3, b"x")), True),
    ("memoryview", memoryview, True),
    ("memoryview, long by 2", lambda t: memoryview(t + b"00"), True),
    ("memoryview, short by 2", lambda t: memoryview(t[:-2]), True),
    ("memoryview, non-hex", lambda t: memoryview(b"x" + t[1:]), True),
    ("memoryview of 32-bit items", lambda t: memoryview(t + b"0" * (-len(t) % 4)).cast("I"), True),
    ("strided memoryview", lambda t: memoryview(t + t)[::2], True),
    ("int", lambda t: 5, True),
    ("None", lambda t: None, True),
    ("list", lambda t: list(t[:4]), True),
    ("float", lambda t: 1.5, True),
    ("bytes subclass", Bytes, False),
    ("str subclass", lambda t: Text(t.decode()), False),
    ("array", lambda t: array.array("B", t), False),
]
FORM = {name: (change, native) for name, change, native in FORMS}


# ---------------------------------------------------------------------------
# Threads


# Threads a test runs at once by default.
THREADS = 8


def run_threads(work, count=THREADS):
    """Runs work(index) in `count` threads started together; re-raises the
    first failure."""
    start = threading.Barrier(count)
    errors = []

    def body(index):
        try:
            start.wait()
            work(index)
        except BaseException as exc:  # handed to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def run_threads_beside(background, work, count=THREADS):
    """run_threads(work, count) while another thread runs background(stop)
    until the event `stop` is set."""
    stop = threading.Event()
    t = threading.Thread(target=background, args=(stop,))
    t.start()
    try:
        run_threads(work, count)
    finally:
        stop.set()
        t.join()
