"""The native paths of the building blocks (hex and bit-string conversions,
bit packing, the samplers, the transforms and the transform-domain product)
give exactly what the host statements give: values, result and element
types, and for failing inputs the exception, its message and the traceback
entries of the module."""
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Latkem

from kit import N, Q, both_paths, natively, picture, returned

pytestmark = [pytest.mark.paths, pytest.mark.emulated]

CHECK = settings(max_examples=50, deadline=None, suppress_health_check=list(HealthCheck))


# ---------------------------------------------------------------------------
# Input makers: mostly well-formed data with an optional flaw at a chosen place


def with_flaw(text, flaw, at):
    """`text` with the character `flaw` put in at position `at` (modulo the length)."""
    if flaw is None:
        return text
    at = at % (len(text) + 1)
    return text[:at] + flaw + text[at:]


def random_text(seed, alphabet, size):
    rng = random.Random(seed)
    return "".join(rng.choice(alphabet) for _ in range(size))


# Characters the host accepts in some places (signs, blanks, underscores,
# digits of other scripts) and ones it never accepts.
HEX_FLAWS = st.one_of(st.none(), st.sampled_from(["g", "G", " ", "+", "_", "x", "é", "\x00", "\u0663"]))
BIT_FLAWS = st.one_of(st.none(), st.sampled_from(["2", "9", "a", " ", "+", "-", "_", "\u0661", "é"]))


def as_kind(text, kind):
    if kind == "bytes":
        return text.encode("utf-8")
    if kind == "bad-utf8":
        return text.encode("utf-8") + b"\xff"
    if kind == "bytearray":
        return bytearray(text.encode("utf-8"))
    return text


TEXT_KINDS = st.one_of(st.just("str"), st.just("bytes"), st.sampled_from(["bad-utf8", "bytearray"]))


# ---------------------------------------------------------------------------
# hex_to_bits and bits_to_bytes


@CHECK
@given(
    seed=st.integers(0, 2**32),
    size=st.one_of(st.integers(0, 9), st.integers(60, 70)),
    case=st.sampled_from(["lower", "upper", "mixed"]),
    flaw=HEX_FLAWS,
    at=st.integers(0, 200),
    kind=TEXT_KINDS,
)
def test_hex_to_bits(seed, size, case, flaw, at, kind):
    alphabet = {"lower": "0123456789abcdef", "upper": "0123456789ABCDEF",
                "mixed": "0123456789abcdefABCDEF"}[case]
    text = with_flaw(random_text(seed, alphabet, size), flaw, at)
    result = both_paths("hex_to_bits", as_kind(text, kind))
    if flaw is None and kind in ("str", "bytes"):
        # odd lengths included: a trailing digit still gives eight characters
        assert returned(result) and len(result[1]) == 8 * ((size + 1) // 2)


@pytest.mark.parametrize("arg", [None, 15, ["0f"], 1.5])
def test_hex_to_bits_other_types(arg):
    both_paths("hex_to_bits", arg)


@CHECK
@given(
    seed=st.integers(0, 2**32),
    groups=st.integers(0, 40),
    tail=st.text(st.characters(max_codepoint=127), max_size=7),
    flaw=BIT_FLAWS,
    at=st.integers(0, 400),
    kind=TEXT_KINDS,
)
def test_bits_to_bytes(seed, groups, tail, flaw, at, kind):
    bits = random_text(seed, "01", 8 * groups)
    text = with_flaw(bits, flaw, at) + tail  # whatever follows the last group is ignored
    result = both_paths("bits_to_bytes", as_kind(text, kind))
    if flaw is None and kind in ("str", "bytes"):
        assert returned(result) and len(result[1]) == groups


@pytest.mark.parametrize("arg", [None, 8, [0] * 8])
def test_bits_to_bytes_other_types(arg):
    both_paths("bits_to_bytes", arg)


@CHECK
@given(st.binary(max_size=64), st.booleans(), st.booleans())
def test_conversions_round_trip(raw, upper, as_bytes):
    text = raw.hex().upper() if upper else raw.hex()
    bits = Latkem.hex_to_bits(text.encode() if as_bytes else text)
    assert Latkem.bits_to_bytes(bits) == raw


# ---------------------------------------------------------------------------
# encode and decode

# Values that are out of range, not ints, or not exact ints.
CLEAN = "clean"
COEFF_FLAWS = st.one_of(st.just(CLEAN), st.sampled_from(
    [None, -1, "2**l", 2**64, 2**70, -(2**70), 3.0, 2.5, True, np.float64(3), "7"]))
ARRAY_FLAWS = st.one_of(st.just(CLEAN), st.sampled_from(
    [-1.0, -0.0, 0.5, "2**l", float("nan"), float("inf"), 1e300]))
LAYOUTS = ["C", "C", "C", "F", "float32", "int64", "strided", "1-d", "3-d", "big-endian", "subclass"]


def polys(seed, rows, length, l):
    rng = random.Random(seed)
    top = 2 ** max(l, 0) if isinstance(l, int) and 0 <= l <= 16 else 16
    return [[rng.randrange(top) for _ in range(length)] for _ in range(rows)]


def flawed(value, l):
    return 2**l if value == "2**l" else value


@CHECK
@given(
    seed=st.integers(0, 2**32),
    rows=st.integers(0, 3),
    length=st.sampled_from([255, 256, 256, 257, 300]),
    l=st.one_of(st.integers(1, 12), st.sampled_from([0, 13, -1, True, 12.0])),
    flaw=COEFF_FLAWS,
    where=st.tuples(st.integers(0, 5), st.integers(0, 299)),
    wrap=st.sampled_from(["list", "list", "list", "tuple", "extra-item"]),
)
def test_encode_lists(seed, rows, length, l, flaw, where, wrap):
    fff0 = polys(seed, rows, length, l)
    if flaw is not CLEAN and rows:
        fff0[where[0] % rows][where[1] % length] = flawed(flaw, l if isinstance(l, int) else 12)
    fff = {"list": [fff0], "tuple": (fff0,), "extra-item": [fff0, None]}[wrap]
    both_paths("encode", fff, l)


@pytest.mark.parametrize("l", [1, 4, 5, 10, 11, 12])
@pytest.mark.parametrize("excess", [0, 1])
def test_encode_of_a_value_of_2_to_the_l_or_more(l, excess):
    """The host spells such a value with more than l digits; the native path
    must not cut it to l."""
    value = 2**l + excess * (2**l - 1)
    for at in (0, N - 1):
        poly = polys(l, 1, N, l)
        poly[0][at] = value
        for fff in ([poly], [np.array(poly, dtype=float)]):
            result = both_paths("encode", fff, l)
            assert returned(result) and len(result[1]) == (N - 1) * l + value.bit_length()


class _Array(np.ndarray):
    pass


def array_of(values, layout):
    a = np.array(values, dtype=np.float64).reshape(len(values), -1)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "float32":
        with np.errstate(over="ignore"):
            return a.astype(np.float32)
    if layout == "int64":
        with np.errstate(invalid="ignore"):
            return a.astype(np.int64)
    if layout == "strided":
        wide = np.zeros((a.shape[0], 2 * a.shape[1]))
        wide[:, ::2] = a
        return wide[:, ::2]
    if layout == "1-d":
        return a.reshape(-1)
    if layout == "3-d":
        return a.reshape(1, *a.shape)
    if layout == "big-endian":
        return a.astype(">f8")
    if layout == "subclass":
        return a.view(_Array)
    return a


@CHECK
@given(
    seed=st.integers(0, 2**32),
    rows=st.integers(1, 3),
    length=st.sampled_from([255, 256, 256, 300]),
    l=st.one_of(st.integers(1, 12), st.sampled_from([0, 13])),
    flaw=ARRAY_FLAWS,
    where=st.tuples(st.integers(0, 5), st.integers(0, 299)),
    layout=st.sampled_from(LAYOUTS),
)
def test_encode_arrays(seed, rows, length, l, flaw, where, layout):
    values = polys(seed, rows, length, l)
    if flaw is not CLEAN:
        values[where[0] % rows][where[1] % length] = float(flawed(flaw, l))
    fff = [array_of(values, layout)]
    both_paths("encode", fff, l)


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize(
    "container",
    [
        lambda a: np.matrix(a),
        lambda a: a.view(_Array),
        lambda a: memoryview(a).cast("B").cast("d", a.shape),
        lambda a: bytearray(a.tobytes()),
    ],
    ids=["matrix", "subclass", "memoryview", "bytearray"],
)
def test_encode_of_other_buffers(container):
    """Objects with the same buffer as a float64 array but other indexing."""
    both_paths("encode", [container(np.array(PACKED, dtype=float))], 12)


def test_encode_of_an_empty_array_and_list():
    both_paths("encode", [np.zeros((0, 256))], 12)
    both_paths("encode", [[]], 12)
    both_paths("encode", [], 12)


@CHECK
@given(
    seed=st.integers(0, 2**32),
    count=st.integers(0, 2),
    extra=st.integers(0, 300),
    l=st.one_of(st.integers(1, 12), st.sampled_from([0, 13, -1, True])),
    flaw=BIT_FLAWS,
    at=st.integers(0, 10**4),
    kind=st.sampled_from(["str", "str", "str", "bytes", "list"]),
)
def test_decode(seed, count, extra, l, flaw, at, kind):
    per_poly = 256 * (l if isinstance(l, int) and l > 0 else 1)
    bits = with_flaw(random_text(seed, "01", count * per_poly + extra), flaw, at)
    arg = {"str": bits, "bytes": bits.encode(), "list": list(bits)}[kind]
    both_paths("decode", arg, l)


@CHECK
@given(seed=st.integers(0, 2**32), rows=st.integers(0, 3), l=st.integers(1, 12))
def test_decode_inverts_encode(seed, rows, l):
    values = polys(seed, rows, N, l)
    bits = Latkem.encode([values], l)
    decoded = Latkem.decode(bits, l)
    assert decoded.dtype == np.float64 and decoded.shape == (rows, N)
    assert decoded.tolist() == [[float(x) for x in row] for row in values]
    assert Latkem.encode([decoded], l) == bits


# ---------------------------------------------------------------------------
# CBD and Parse


@CHECK
@given(
    seed=st.integers(0, 2**32),
    eta=st.one_of(st.integers(0, 9), st.sampled_from([-1, True, 2.0])),
    delta=st.integers(-3, 3),
    case=st.sampled_from(["lower", "upper"]),
    flaw=HEX_FLAWS,
    at=st.integers(0, 3000),
    kind=TEXT_KINDS,
)
def test_CBD(seed, eta, delta, case, flaw, at, kind):
    size = max(0, 128 * (eta if isinstance(eta, int) and eta > 0 else 1) + delta)
    text = random_text(seed, "0123456789abcdef", size)
    text = with_flaw(text.upper() if case == "upper" else text, flaw, at)
    both_paths("CBD", as_kind(text, kind), eta)


@pytest.mark.parametrize("eta", [1, 2, 3, 8])
@pytest.mark.parametrize("delta", [-2, -1, 0, 1])
def test_CBD_stream_length(eta, delta):
    # 128 * eta - 1 digits still give the bits read: the last digit is a byte
    text = random_text(eta, "0123456789abcdef", 128 * eta + delta)
    assert returned(both_paths("CBD", text, eta)) == (delta >= -1)


@pytest.mark.parametrize("eta", [1, 2, 3, 8])
def test_CBD_extremes(eta):
    for text in ("0" * 128 * eta, "f" * 128 * eta, "0f" * 64 * eta, "f" * (128 * eta - 1)):
        result = both_paths("CBD", text, eta)
        assert returned(result)
    # every coefficient at +eta or -eta
    plus = sum(1 << i for i in range(eta))
    minus = plus << eta
    for value, expected in ((plus, eta), (minus, -eta)):
        bits = "".join(format(value, "0%db" % (2 * eta))[::-1] for _ in range(256))
        text = Latkem.bits_to_bytes(bits).hex()
        assert Latkem.CBD(text, eta) == [expected] * 256


def stream(seed, size, rejected_prefix):
    rng = random.Random(seed)
    return b"\xff" * rejected_prefix + bytes(rng.randrange(256) for _ in range(size))


@CHECK
@given(
    seed=st.integers(0, 2**32),
    size=st.one_of(st.integers(0, 10), st.integers(300, 420), st.sampled_from([767, 768, 769])),
    rejected_prefix=st.sampled_from([0, 0, 3, 100, 400, 766]),
    kind=st.sampled_from(["bytes", "bytes", "bytes", "bytearray", "list", "str"]),
)
def test_Parse(seed, size, rejected_prefix, kind):
    data = stream(seed, size, rejected_prefix)
    arg = {"bytes": data, "bytearray": bytearray(data), "list": list(data),
           "str": data.decode("latin-1")}[kind]
    both_paths("Parse", arg)


@pytest.mark.parametrize("tail", [b"", b"\x01", b"\x01\x02"])
def test_Parse_running_out_inside_a_group(tail):
    # 255 accepted candidates, then a group cut short
    data = b"\x01\x10\x00" * 127 + b"\x01\xf0\xff" + tail
    both_paths("Parse", data)


def test_Parse_stops_at_the_last_coefficient():
    # d1 of the last group fills the last slot; its d2 and the rest are never used
    data = b"\x01\x10\x00" * 127 + b"\x01\xf0\xff" + b"\x05\x20\x00" + b"\x05"
    result = both_paths("Parse", data)
    assert returned(result) and result[1][-2:] == [0x001, 0x005]
    assert all(type(x) is int for x in result[1])


# ---------------------------------------------------------------------------
# ntt3, intt3 and ntt3_mul

INT_FLAWS = st.one_of(st.just(CLEAN), st.sampled_from(
    [2**63 - 1, -(2**63), 2**63, 2**70, -(2**70), -1, 3329, 1.0, True, np.int64(5),
     np.float64(2.0), None]))


def coefficients(seed, size, flaw, at):
    rng = random.Random(seed)
    values = [rng.choice((rng.randrange(Q), rng.randrange(-(2**20), 2**20))) for _ in range(size)]
    if flaw is not CLEAN and size:
        values[at % size] = flaw
    return values


def poly_args(**overrides):
    fields = dict(
        seed=st.integers(0, 2**32),
        size=st.sampled_from([0, 100, 255, 256, 256, 256, 257, 300]),
        flaw=INT_FLAWS,
        at=st.one_of(st.integers(0, 255), st.integers(256, 299)),
        form=st.sampled_from(["list", "list", "list", "tuple", "array"]),
    )
    fields.update(overrides)
    return st.fixed_dictionaries(fields)


def as_form(values, form):
    if form == "tuple":
        return tuple(values)
    if form == "array":
        try:
            return np.array(values, dtype=np.float64)
        except (OverflowError, TypeError):
            return values
    return values


@CHECK
@given(poly_args())
def test_ntt3(p):
    vvv = as_form(coefficients(p["seed"], p["size"], p["flaw"], p["at"]), p["form"])
    both_paths("ntt3", vvv)


@CHECK
@given(poly_args())
def test_intt3(p):
    vvv = as_form(coefficients(p["seed"], p["size"], p["flaw"], p["at"]), p["form"])
    result = both_paths("intt3", vvv)
    if returned(result) and isinstance(vvv, list):
        # entries from 256 on are the argument's own objects
        out = Latkem.intt3(vvv)
        assert all(out[i] is vvv[i] for i in range(N, len(vvv)))


@CHECK
@given(poly_args(), poly_args())
def test_ntt3_mul(p, g):
    fff = as_form(coefficients(p["seed"], p["size"], p["flaw"], p["at"]), p["form"])
    ggg = as_form(coefficients(g["seed"], g["size"], g["flaw"], g["at"]), g["form"])
    both_paths("ntt3_mul", fff, ggg)


@CHECK
@given(st.integers(0, 2**32), st.sampled_from([62, 63, 64, 70, 200]))
def test_transforms_of_large_and_negative_ints(seed, bits):
    rng = random.Random(seed)
    f = [rng.randrange(-(2**bits), 2**bits) for _ in range(N)]
    g = [rng.randrange(-(2**62), 2**62) for _ in range(N)]
    both_paths("ntt3", f)
    both_paths("intt3", f)
    both_paths("ntt3_mul", f, g)
    both_paths("ntt3_mul", g, g)


# ---------------------------------------------------------------------------
# Rebound globals send the calls to the host statements


def _reversed_bits(text):
    return Latkem.hex_to_bits(text)[::-1]


class _Float32Zeros:
    @staticmethod
    def zeros(shape):
        return np.zeros(shape, dtype=np.float32)


def _swapped_mul0(a0, a1, b0, b1, ze):
    r0, r1 = ntt3_mul0_initial(a0, a1, b0, b1, ze)
    return r1, r0


ntt3_mul0_initial = Latkem.ntt3_mul0
HEX_768 = random_text(3, "0123456789abcdef", 384)
STREAM = stream(5, 768, 0)
POLY = coefficients(9, N, CLEAN, 0)
PACKED = polys(9, 2, N, 12)
BITS_12 = random_text(4, "01", 2 * 256 * 12)


@pytest.mark.parametrize(
    "global_name, value, call",
    [
        ("hex_to_bits", _reversed_bits, ("CBD", HEX_768, 3)),
        ("n", 128, ("Parse", STREAM)),
        ("q", 4096, ("Parse", STREAM)),
        ("q", 3331, ("ntt3", POLY)),
        ("q", 3331, ("intt3", POLY)),
        ("q", 3331, ("ntt3_mul", POLY, POLY)),
        ("n", 128, ("ntt3", POLY)),
        ("n", 128, ("intt3", POLY)),
        ("n", 128, ("ntt3_mul", POLY, POLY)),
        ("ntt3_mul0", _swapped_mul0, ("ntt3_mul", POLY, POLY)),
        ("n", 255, ("encode", [PACKED], 12)),
        ("n", 255, ("encode", [np.array(PACKED, dtype=float)], 12)),
        ("n", 128, ("decode", BITS_12, 12)),
        ("np", _Float32Zeros, ("decode", BITS_12, 12)),
    ],
)
def test_rebound_global(monkeypatch, global_name, value, call):
    before = both_paths(*call)
    monkeypatch.setattr(Latkem, global_name, value)
    after = both_paths(*call)
    assert picture(after) != picture(before)


@pytest.mark.parametrize("index", [1, 2, 63, 64, 127])
def test_table_changed_in_place(index):
    """An edit of any entry a transform reads sends the call to the host path."""
    calls = [("ntt3", POLY), ("intt3", POLY)] + [("ntt3_mul", POLY, POLY)] * (index >= 64)
    before = [picture(both_paths(*call)) for call in calls]
    saved = Latkem.zetas[index]
    try:
        Latkem.zetas[index] = saved + 1
        after = [picture(both_paths(*call)) for call in calls]
    finally:
        Latkem.zetas[index] = saved
    assert all(a != b for a, b in zip(after, before))


# ---------------------------------------------------------------------------
# The native path is the one taken for well-formed input


WELL_FORMED = [
    ("hex_to_bits", (HEX_768,)),
    ("hex_to_bits", (HEX_768.upper(),)),
    ("bits_to_bytes", (BITS_12,)),
    ("encode", ([PACKED], 12)),
    ("encode", ([np.array(PACKED, dtype=float)], 12)),
    ("decode", (BITS_12, 12)),
    ("CBD", (HEX_768, 3)),
    ("Parse", (STREAM,)),
    ("ntt3", (POLY,)),
    ("intt3", (POLY,)),
    ("ntt3_mul", (POLY, POLY)),
]


@pytest.mark.parametrize("name, args", WELL_FORMED, ids=[f"{n}-{i}" for i, (n, _) in enumerate(WELL_FORMED)])
def test_native_path_is_taken(monkeypatch, name, args):
    fn = getattr(Latkem, name)
    before = fn._native_calls
    fn(*args)
    assert fn._native_calls == before + natively(1)
    monkeypatch.setattr(fn, "_native", False)
    fn(*args)
    assert fn._native_calls == before + natively(1)
