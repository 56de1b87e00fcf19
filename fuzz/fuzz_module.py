"""Fuzz harness for the Latkem module (atheris).

Every input is a short script of steps drawn from the fuzz data: calls of the
27 module functions with arbitrary arguments (bytes, str, bytearray, ints of
any size and sign, floats with nan and inf, None, lists, tuples, numpy arrays
and scalars, valid keys and ciphertexts and mutations of them, objects whose
methods raise), with keyword mixes (valid names, duplicates, unknown names,
non-string keys through **dict); rebinding of module globals (parameters,
tables, imported modules, functions rebound to others or to stand-ins);
switching functions between the native and the host path; and full key
exchanges whose outcome is checked.  After every input the module is put
back as it was.

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

Run through fuzz/run_module.sh (builds the module with coverage and
sanitizers), or by hand:  python fuzz/fuzz_module.py [libFuzzer options]
"""
import binascii
import copy
import ctypes
import hashlib
import math
import os
import random
import sys
import warnings

import atheris

import numpy as np

import Latkem

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


def restore():
    if [(k, id(v)) for k, v in MODULE.items()] != [(k, id(v)) for k, v in SAVED]:
        MODULE.clear()
        MODULE.update(SAVED)
    Latkem.zetas[:] = SAVED_ZETAS
    Latkem.zetas_inv[:] = SAVED_ZETAS_INV
    Latkem.tree[:] = SAVED_TREE
    for name in FUNCTIONS:
        ORIGINAL[name]._native = True


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
    for rank, params in PARAMETER_SETS.items():
        for name, value in params.items():
            setattr(Latkem, name, value)
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
    if isinstance(value, (Raises, Sequence, memoryview)):
        return False
    if isinstance(value, (list, tuple)):
        return all(plain(v) for v in value)
    if isinstance(value, np.ndarray) and value.dtype == object:
        return all(plain(v) for v in value.flat)
    return True


# ---------------------------------------------------------------------------
# Calls.

class Finding(AssertionError):
    pass


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


def outcome(fn, args, kwargs):
    try:
        return ("returned", fn(*args, **kwargs))
    except SystemError as exc:
        if not host_made(exc):
            raise
        return ("raised", SystemError, str(exc))
    except Exception as exc:  # every ordinary exception is an accepted answer
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


def call_args(fdp, name):
    """Positional and keyword arguments for one call, with the binding mixes."""
    params = PARAMS[name]
    values = [generate(fdp, size_like=(name, p) in SIZE_LIKE) for p in params]
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
        return
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


def rebind(fdp):
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


def toggle_native(fdp):
    if fdp.ConsumeBool():
        ORIGINAL[FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]]._native = \
            fdp.ConsumeBool()
    else:
        on = fdp.ConsumeBool()
        for name in FUNCTIONS:
            ORIGINAL[name]._native = on


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
        for name, value in PARAMETER_SETS[rank].items():
            setattr(Latkem, name, value)
    m = raw_bytes(fdp, 40)
    native_on = fdp.ConsumeBool()
    for name in FUNCTIONS:
        ORIGINAL[name]._native = native_on
    if not pristine:  # whatever the globals are now: only no crash
        outcome(MODULE.get("CCA_Enc"), [material["pk"], m], {})
        outcome(MODULE.get("CCA_Dec"), [mutate(fdp, material["c"]), material["sk"]], {})
        return
    encapsulated = outcome(Latkem.CCA_Enc, [material["pk"], m], {})
    if encapsulated[0] != "returned":
        raise Finding("encapsulation failed with a valid public key: %r" % (encapsulated,))
    c, key = encapsulated[1]
    text = mutate(fdp, c)
    decapsulated = outcome(Latkem.CCA_Dec, [text, material["sk"]], {})
    if decapsulated[0] != "returned":
        return  # a malformed ciphertext may raise: it never yields a key
    got = decapsulated[1]
    chars = as_bytes(text)
    if chars == c:
        if got != key:
            raise Finding("a valid ciphertext %r gave the wrong key (rank %d)" % (text, rank))
        return
    if got == key:
        raise Finding("a changed ciphertext %r gave the encapsulated key (rank %d)"
                      % (text, rank))
    try:
        expected = rejection_key(material["sk"], chars)
    except (binascii.Error, ValueError, TypeError):
        return
    if got != expected:
        raise Finding("a changed ciphertext %r did not get the rejection key (rank %d)"
                      % (text, rank))


# ---------------------------------------------------------------------------

def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    random.seed(0)
    pristine = True
    try:
        for _ in range(fdp.ConsumeIntInRange(1, 4)):
            step = fdp.ConsumeIntInRange(0, 11)
            if step <= 5:
                call_function(fdp, pristine)
            elif step <= 7:
                rebind(fdp)
                pristine = False
            elif step == 8:
                # Path switches leave the module intact for the checks.
                toggle_native(fdp)
            elif step <= 10:
                key_exchange(fdp, pristine)
            else:
                restore()
                pristine = True
    finally:
        restore()


def main():
    warnings.simplefilter("ignore")  # numpy's overflow warnings, by the thousand
    # The rejection line is printed once per rejected ciphertext.
    sys.stdout = open(os.devnull, "w")
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
