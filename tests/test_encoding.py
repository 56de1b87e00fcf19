"""Tests of compression, bit packing and the hex / bit-string / bytes conversions."""
import binascii

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import Latkem

from kit import N, Q, module_entries


def round_half_even(num, den):
    """Nearest integer to num / den (den > 0), ties to the even neighbour."""
    k, r = divmod(num, den)
    if 2 * r > den or (2 * r == den and k % 2 == 1):
        return k + 1
    return k


def packed(polys, l):
    """Bit string of `polys` with `l` bits per coefficient, least significant bit first."""
    return "".join(
        "".join(str((c >> b) & 1) for b in range(l)) for poly in polys for c in poly
    )


# ---------------------------------------------------------------------------
# compress / decompress


@pytest.mark.parametrize(
    "x, d, expected",
    [
        (0, 1, 0),
        (0, 4, 0),
        (0, 10, 0),
        (0, 12, 0),
        # the rounded value equals 2**d and wraps to 0
        (3328, 10, 0),
        (3328, 4, 0),
        # boundaries of the d = 1 interval
        (832, 1, 0),
        (833, 1, 1),
        (2496, 1, 1),
        (2497, 1, 0),
        # negative inputs reduce with floor modulo
        (-1, 4, 0),
        (-1000, 4, 11),
    ],
)
def test_compress_values(x, d, expected):
    assert Latkem.compress(x, d) == expected


def test_compress_one_bit_over_all_residues():
    ones = [x for x in range(Q) if Latkem.compress(x, 1) == 1]
    assert ones == list(range(833, 2497))


@settings(max_examples=50, deadline=None)
@given(x=st.integers(-(2**20) + 1, 2**20 - 1), d=st.integers(1, 12))
def test_compress_is_exactly_rounded(x, d):
    assert Latkem.compress(x, d) == ((2**d * x + 1664) // Q) % 2**d


@pytest.mark.parametrize(
    "x, d, expected",
    [
        # the one halfway case of each range rounds to even
        (1, 1, 1664),
        (8, 4, 1664),
        (512, 10, 1664),
        (15, 4, 3121),
        (1023, 10, 3326),
        (1, 10, 3),
        (0, 1, 0),
        (0, 10, 0),
    ],
)
def test_decompress_values(x, d, expected):
    assert Latkem.decompress(x, d) == expected


@settings(max_examples=50, deadline=None)
@given(data=st.data(), d=st.integers(1, 12))
def test_decompress_rounds_half_to_even(data, d):
    x = data.draw(st.integers(0, 2**d - 1))
    assert Latkem.decompress(x, d) == round_half_even(Q * x, 2**d)


@pytest.mark.parametrize("d", [1, 4, 10])
def test_compress_inverts_decompress_everywhere(d):
    back = [Latkem.compress(Latkem.decompress(x, d), d) for x in range(2**d)]
    assert back == list(range(2**d))


@settings(max_examples=50, deadline=None)
@given(data=st.data(), d=st.integers(1, 11))
def test_compress_inverts_decompress(data, d):
    # holds while 2**d < q
    x = data.draw(st.integers(0, 2**d - 1))
    assert Latkem.compress(Latkem.decompress(x, d), d) == x


@pytest.mark.parametrize("make", [int, float, np.float64], ids=["int", "float", "float64"])
def test_compress_returns_int_for_every_input_kind(make):
    result = Latkem.compress(make(1665), 1)
    assert type(result) is int and result == 1


@settings(max_examples=50, deadline=None)
@given(x=st.integers(0, Q - 1), d=st.integers(1, 12))
def test_float64_coefficients_give_the_int_results(x, d):
    c = Latkem.compress(np.float64(x), d)
    assert type(c) is int and c == Latkem.compress(x, d)
    dc = Latkem.decompress(np.float64(c), d)
    assert type(dc) is int and dc == Latkem.decompress(c, d)


def test_compress_reads_q_at_each_call(monkeypatch):
    monkeypatch.setattr(Latkem, "q", 17)
    assert Latkem.compress(9, 1) == 1  # round(2 / 17 * 9) = 1
    assert Latkem.decompress(1, 1) == 8  # round(17 / 2) = 8, ties to even


def test_missing_q_is_a_name_error(monkeypatch):
    monkeypatch.delattr(Latkem, "q")
    with pytest.raises(NameError, match="name 'q' is not defined") as info:
        Latkem.compress(1, 1)
    assert module_entries(info.value) == [("Latkem.compress", 32)]


# ---------------------------------------------------------------------------
# encode / decode


@pytest.mark.parametrize("value, char", [(0, "0"), (15, "1")])
def test_encode_constant_polynomial(value, char):
    assert Latkem.encode([[[value] * N]], 4) == char * (N * 4)


@pytest.mark.parametrize(
    "coeffs, l, prefix",
    [
        ([1, 2, 3, 12], 4, "1000010011000011"),
        ([1, 2], 12, "100000000000" "010000000000"),
        ([2049], 12, "100000000001"),
    ],
)
def test_encode_packs_least_significant_bit_first(coeffs, l, prefix):
    bits = Latkem.encode([[coeffs + [0] * (N - len(coeffs))]], l)
    assert bits.startswith(prefix)
    assert Latkem.decode(bits, l)[0, : len(coeffs)].tolist() == [float(c) for c in coeffs]


def test_twelve_bit_packing_gives_the_byte_encoding():
    bits = Latkem.encode([[[1, 2] + [0] * (N - 2)]], 12)
    assert Latkem.bits_to_bytes(bits)[:3] == b"\x01\x20\x00"


@pytest.mark.parametrize(
    "fff, l, length",
    [
        ([[[0] * N]], 12, N * 12),
        ([np.zeros((2, N))], 10, 2 * N * 10),
        ([[v for v in np.zeros((2, N))]], 4, 2 * N * 4),
        # items after the first and coefficients beyond n are ignored
        ([[[0] * (N + 5)], [[1] * N]], 4, N * 4),
    ],
    ids=["list-of-one", "array-2-rows", "list-of-rows", "extra-items"],
)
def test_encode_length(fff, l, length):
    assert len(Latkem.encode(fff, l)) == length


def test_encode_of_array_rows_matches_reference():
    t = np.arange(2 * N, dtype=np.float64).reshape(2, N) % 4096
    expected = packed([[int(c) for c in row] for row in t], 12)
    assert Latkem.encode([t], 12) == expected


@pytest.mark.parametrize(
    "fff, exc, line",
    [
        # the polynomial itself instead of a list of polynomials
        ([[0] * N], TypeError, 560),
        ([[["x"] * N]], ValueError, 560),
        ([5], TypeError, 558),
    ],
    ids=["unwrapped-polynomial", "non-numeric", "no-length"],
)
def test_encode_failures(fff, exc, line):
    with pytest.raises(exc) as info:
        Latkem.encode(fff, 4)
    assert module_entries(info.value) == [("Latkem.encode", line)]


@pytest.mark.parametrize(
    "length, l, shape",
    [
        (3071, 12, (0, N)),
        (3072, 12, (1, N)),
        (6144, 10, (2, N)),
        (0, 4, (0, N)),
    ],
)
def test_decode_counts_complete_polynomials(length, l, shape):
    result = Latkem.decode("0" * length, l)
    assert result.shape == shape and result.dtype == np.float64


def test_decode_ignores_bits_after_last_polynomial():
    polys = [list(range(N)), [1023 - i for i in range(N)]]
    bits = packed(polys, 10) + "1" * 1024
    assert len(bits) == 6144
    assert Latkem.decode(bits, 10).tolist() == [[float(c) for c in p] for p in polys]


@settings(max_examples=25, deadline=None)
@given(data=st.data(), l=st.integers(1, 12), rows=st.integers(1, 2))
def test_decode_inverts_encode(data, l, rows):
    polys = data.draw(
        st.lists(st.lists(st.integers(0, 2**l - 1), min_size=N, max_size=N), min_size=rows, max_size=rows)
    )
    bits = Latkem.encode([polys], l)
    assert bits == packed(polys, l)
    decoded = Latkem.decode(bits, l)
    assert decoded.shape == (rows, N)
    assert decoded.tolist() == [[float(c) for c in p] for p in polys]


@pytest.mark.parametrize(
    "bits, l, exc, line",
    [
        ("0" * 3072, 0, ZeroDivisionError, 568),
        ("0" * 3071 + "x", 12, ValueError, 577),
        ("0" * 3072, 12.0, TypeError, 576),
    ],
    ids=["zero-width", "non-digit", "float-width"],
)
def test_decode_failures(bits, l, exc, line):
    with pytest.raises(exc) as info:
        Latkem.decode(bits, l)
    assert module_entries(info.value) == [("Latkem.decode", line)]


def test_packing_reads_n_but_decode_divides_by_256(monkeypatch):
    monkeypatch.setattr(Latkem, "n", 4)
    bits = Latkem.encode([[[1, 2, 3, 12, 7]]], 4)
    assert bits == "1000010011000011"
    # the polynomial count still assumes 256 coefficients
    assert Latkem.decode(bits, 4).shape == (0, 4)
    assert Latkem.decode(bits + "0" * 1008, 4).tolist() == [[1.0, 2.0, 3.0, 12.0]]


# ---------------------------------------------------------------------------
# hex_to_bits / bits_to_bytes


class HexBytes(bytes):
    pass


@pytest.mark.parametrize(
    "text, bits",
    [
        ("", ""),
        (b"", ""),
        ("01", "10000000"),
        ("80", "00000001"),
        ("ff", "11111111"),
        ("FF", "11111111"),
        ("0f12", "11110000" "01001000"),
        (b"0f12", "11110000" "01001000"),
        (HexBytes(b"0f12"), "11110000" "01001000"),
        # a trailing single digit still gives eight characters
        ("a", "01010000"),
        ("abc", "11010101" "00110000"),
    ],
)
def test_hex_to_bits_values(text, bits):
    assert Latkem.hex_to_bits(text) == bits


@pytest.mark.parametrize(
    "bits, data",
    [
        ("", b""),
        ("10000000", b"\x01"),
        ("11110000" "01001000", b"\x0f\x12"),
        (b"10000000", b"\x01"),
        # an incomplete last group is dropped
        ("1000000011", b"\x01"),
        ("1000000", b""),
    ],
)
def test_bits_to_bytes_values(bits, data):
    result = Latkem.bits_to_bytes(bits)
    assert type(result) is bytes and result == data


@pytest.mark.parametrize(
    "func, arg, exc, line",
    [
        (Latkem.hex_to_bits, b"\xff\xfe", UnicodeDecodeError, 584),
        (Latkem.hex_to_bits, "0fzz", ValueError, 589),
        (Latkem.hex_to_bits, 5, TypeError, 585),
        (Latkem.bits_to_bytes, "10000002", ValueError, 604),
        (Latkem.bits_to_bytes, "1111111-", ValueError, 606),
        (Latkem.bits_to_bytes, 5, TypeError, 599),
    ],
    ids=["invalid-utf8", "non-hex", "hex-no-length", "non-binary", "negative-byte",
         "bits-no-length"],
)
def test_conversion_failures(func, arg, exc, line):
    with pytest.raises(exc) as info:
        func(arg)
    assert module_entries(info.value) == [("Latkem." + func.__name__, line)]


@settings(max_examples=50, deadline=None)
@given(raw=st.binary(max_size=64), upper=st.booleans(), as_bytes=st.booleans())
def test_bits_to_bytes_inverts_hex_to_bits(raw, upper, as_bytes):
    h = binascii.hexlify(raw)
    if upper:
        h = h.upper()
    if not as_bytes:
        h = h.decode("ascii")
    bits = Latkem.hex_to_bits(h)
    assert len(bits) == 8 * len(raw)
    assert all(bits[8 * i + j] == str((b >> j) & 1) for i, b in enumerate(raw) for j in range(8))
    assert Latkem.bits_to_bytes(bits) == binascii.unhexlify(h)


def test_non_int_n_fails_at_the_coefficient_loop(monkeypatch):
    monkeypatch.setattr(Latkem, "n", "256")
    with pytest.raises(TypeError) as info:
        Latkem.encode([[[0] * N]], 4)
    assert module_entries(info.value) == [("Latkem.encode", 559)]
