"""Well-formed calls with a few structured changes: a recorded call of one
function for one parameter set (material.TEMPLATES), then up to MAX_CHANGES
changes, each of which keeps the argument's kind (a hex or bit text stays
text of about the same length, an array keeps its shape unless the change
is about the shape, an int moves to a boundary the code tests).  Encoding,
read in this order after the step's selector: function, rank, template,
globals, binding, number of changes, then per change: argument, kind,
position (two bytes), value.
"""
import copy
import math

import numpy as np

from . import material, state
from .calls import both_paths, outcome
from .values import (HEX, SIZE_INTS, SIZE_LIKE, Bytes, Countdown, Int, Text, Tick, plain,
                     small_rank)

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
        others = material.TEMPLATES[name][2 + (rank - 1 + val % 2) % 3]
        return others[pos % len(others)][index]
    if kind == 8:  # something of another kind
        keys, blocks = material.KEYS[rank], material.BLOCKS
        return [None, b"", "", [], 0, 1.5, np.zeros(0), blocks["bits"], keys["pk"], keys["c"],
                keys["sk"], blocks["seed"]][val % 12]
    if isinstance(value, (str, bytes, bytearray, memoryview)):
        return change_text(value, kind, pos, val)
    if isinstance(value, (list, tuple, np.ndarray)):
        return change_array(value, kind, pos, val)
    params = state.PARAMS[name]
    param = params[index] if index < len(params) else None
    return small_rank(name, param, change_scalar(value, kind, pos, val, (name, param) in SIZE_LIKE))


def well_formed_call(fdp, pristine):
    """One well-formed call, changed; returns whether the module is still
    untouched afterwards (a valid parameter set counts as untouched)."""
    name = state.pick_function(fdp)
    rank = fdp.ConsumeIntInRange(2, 4)
    calls = material.TEMPLATES[name][rank]
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
    state.use_parameters(rank if globals_rank in (0, 4, 5, 6, 7) else globals_rank + 1)
    if globals_rank >= 4:
        # Another polynomial length: loops over the coefficients run another
        # number of times, and the arguments' shapes no longer match them.
        state.latkem.n = (255, 257, 129, 1)[globals_rank - 4]
        pristine = False
    params = state.PARAMS[name]
    kwargs = {}
    if binding == 1 and args:  # all by keyword
        kwargs = dict(zip(params, args))
        args = []
    elif binding == 2 and len(args) > 1:  # the last by keyword, given first
        kwargs = {params[len(args) - 1]: args[-1]}
        args = args[:-1]
    if pristine and plain(args) and plain(list(kwargs.values())):
        both_paths(name, args, kwargs, " (well-formed, rank %d)" % rank)
    else:
        outcome(state.ORIGINAL[name], args, kwargs)
    return pristine


def write_well_formed(writer, name, rank, template=0, globals_rank=0, binding=0, changes=()):
    """The bytes of one well-formed call step after its selector (for
    make_corpus.py and the mutator); changes are (argument, kind, position,
    value) tuples."""
    writer.int_in(0, len(state.FUNCTIONS) - 1, state.FUNCTIONS.index(name))
    writer.int_in(2, 4, rank).int_in(0, 3, template).int_in(0, 7, globals_rank)
    writer.int_in(0, 3, binding).int_in(0, MAX_CHANGES, len(changes))
    for index, kind, pos, val in changes:
        writer.int_in(0, 7, index).int_in(0, CHANGE_KINDS - 1, kind)
        writer.int_in(0, 0xFFFF, pos).int_in(0, 0xFF, val)
    return writer

