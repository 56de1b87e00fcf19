"""Arguments of any kind, as the fuzz data chooses them, and the stand-in
objects they may be: objects whose methods raise, subclasses of the
builtin types, and Tick, an int that runs out after a number of uses."""
import binascii
import copy
import math
import operator

import numpy as np

from . import material

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
# No object arrays: their elementwise host arithmetic with a bytes argument
# (bytes * int) builds hundreds of megabytes and only makes the run slow.
NP_DTYPES = [np.float64, np.int64, np.int16, np.uint8, np.float32, np.int32, np.uint16,
             np.complex128, np.bool_]


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


class Countdown(Exception):
    """Raised by a fault the fuzzer injects, or by a Tick used up."""


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


def _tick_unary(op):
    return lambda self: op(self.use())


for _name in ("add", "sub", "mul", "floordiv", "truediv", "mod", "pow", "lshift", "rshift",
              "and", "or", "xor", "divmod"):
    _op = divmod if _name == "divmod" else getattr(operator, _name + (
        "_" if _name in ("and", "or") else ""))
    setattr(Tick, "__%s__" % _name, _tick_operator(_op))
    setattr(Tick, "__r%s__" % _name, _tick_operator(_op, reflected=True))
for _name in ("eq", "ne", "lt", "le", "gt", "ge"):
    setattr(Tick, "__%s__" % _name, _tick_operator(getattr(operator, _name)))
for _name in ("neg", "pos", "abs", "invert"):
    setattr(Tick, "__%s__" % _name, _tick_unary(getattr(operator, _name)))


def raw_bytes(fdp, limit=80):
    return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, limit))


def hex_text(fdp, limit=80):
    return binascii.hexlify(raw_bytes(fdp, limit))


def mutate_list(fdp, kind, value):
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


def mutate(fdp, value):
    """A valid key, ciphertext or block, changed as the fuzz data says."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if isinstance(value, (list, np.ndarray)):
        return mutate_list(fdp, kind, value)
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


def generate_array(fdp):
    shape_kind = fdp.ConsumeIntInRange(0, 4)
    dtype = NP_DTYPES[fdp.ConsumeIntInRange(0, len(NP_DTYPES) - 1)]
    coeffs = material.BLOCKS["coeffs"]
    if shape_kind == 0:
        base = coeffs
    elif shape_kind == 1:
        base = [fdp.ConsumeIntInRange(-5000, 5000) for _ in range(fdp.ConsumeIntInRange(0, 300))]
    elif shape_kind == 2:
        base = [coeffs] * fdp.ConsumeIntInRange(1, 4)
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
    valid = material.VALID
    if kind <= 3:
        return mutate(fdp, valid[fdp.ConsumeIntInRange(0, len(valid) - 1)])
    if kind == 4:  # a copy: a host path may change a list in place
        return copy.copy(valid[fdp.ConsumeIntInRange(0, len(valid) - 1)])
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
        return Sequence(material.BLOCKS["coeffs"][: fdp.ConsumeIntInRange(0, 256)])
    return "".join(fdp.PickValueInList(["0", "1", "x", " "])
                   for _ in range(fdp.ConsumeIntInRange(0, 300)))


def small_rank(name, param, value):
    """generate_mat_a builds len_a**2 polynomials: a rank in the hundreds
    takes seconds on each path, in the thousands minutes."""
    if (name, param) == ("generate_mat_a", "len_a") and type(value) is int and value > 8:
        return value % 9
    return value


def plain(value):
    """Whether a value can be handed to two calls and compared afterwards."""
    if isinstance(value, (Raises, Sequence, memoryview, Tick)):
        return False
    if isinstance(value, (list, tuple)):
        return all(plain(v) for v in value)
    if isinstance(value, np.ndarray) and value.dtype == object:
        return all(plain(v) for v in value.flat)
    return True
