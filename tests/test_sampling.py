"""Tests of the centred binomial sampler, Parse and the expansion of the public matrix."""
import hashlib

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import Latkem

from kit import DELETE, N, Q, module_entries, rebound


# ---------------------------------------------------------------------------
# Independent references (the binomial sampler before reduction, rejection sampling)


def cbd_ref(data, eta):
    bits = [(byte >> k) & 1 for byte in data for k in range(8)]
    out = []
    for i in range(256):
        base = 2 * i * eta
        out.append(sum(bits[base : base + eta]) - sum(bits[base + eta : base + 2 * eta]))
    return out


def parse_ref(data):
    out = []
    i = 0
    while len(out) < N:
        d1 = data[i] + 256 * (data[i + 1] % 16)
        d2 = data[i + 1] // 16 + 16 * data[i + 2]
        if d1 < Q:
            out.append(d1)
        if d2 < Q and len(out) < N:
            out.append(d2)
        i += 3
    return out


def mat_ref(rho, len_a):
    return [
        [parse_ref(hashlib.shake_128(rho + bytes([c, r])).digest(3 * N)) for c in range(len_a)]
        for r in range(len_a)
    ]


# ---------------------------------------------------------------------------
# CBD


@pytest.mark.parametrize(
    "first, eta, c0, c1",
    [
        ("03", 2, 2, 0),
        ("0c", 2, -2, 0),
        ("30", 2, 0, 2),
        ("0f", 2, 0, 0),
        ("81", 2, 1, -1),
        ("07", 3, 3, 0),
        ("38", 3, -3, 0),
    ],
)
def test_cbd_first_byte(first, eta, c0, c1):
    r = Latkem.CBD(first + "00" * (64 * eta - 1), eta)
    assert r[:2] == [c0, c1]
    assert r[2:] == [0] * 254


@pytest.mark.parametrize(
    "stream, eta, expected",
    [
        ("00" * 128, 2, [0] * N),
        ("ff" * 128, 2, [0] * N),
        ("00" * 192, 3, [0] * N),
        ("ff" * 192, 3, [0] * N),
        ("03" * 128, 2, [2, 0] * 128),
        ("0c" * 128, 2, [-2, 0] * 128),
        ("ab" * 5, 0, [0] * N),
        ("", 0, [0] * N),
        ("ab", -1, [0] * N),
    ],
)
def test_cbd_examples(stream, eta, expected):
    r = Latkem.CBD(stream, eta)
    assert r == expected
    assert type(r) is list and all(type(x) is int for x in r)


def test_cbd_last_coefficient_uses_last_six_bits():
    # bits 1530 to 1535 are bits 2 to 7 of byte 191: 2, 3, 4 added, 5, 6, 7 subtracted
    assert Latkem.CBD("00" * 191 + "fc", 3)[-1] == 0
    assert Latkem.CBD("00" * 191 + "1c", 3)[-1] == 3
    assert Latkem.CBD("00" * 191 + "e0", 3)[-1] == -3
    # bits 1528 and 1529 (bits 0 and 1) are subtracted in coefficient 254
    assert Latkem.CBD("00" * 191 + "03", 3)[-2:] == [-2, 0]


@given(st.sampled_from([1, 2, 3]), st.data())
@settings(max_examples=25, deadline=None)
def test_cbd_matches_reference(eta, data):
    raw = data.draw(st.binary(min_size=64 * eta, max_size=64 * eta + 8))
    expected = cbd_ref(raw, eta)
    hex_text = raw.hex()
    r = Latkem.CBD(hex_text, eta)
    assert r == expected
    assert all(type(x) is int and -eta <= x <= eta for x in r)
    assert Latkem.CBD(hex_text.encode(), eta) == expected
    assert Latkem.CBD(hex_text.upper(), eta) == expected


def test_cbd_reads_hex_to_bits_at_each_call():
    calls = []

    def fake(text):
        calls.append(text)
        return "1100" * 256

    with rebound(hex_to_bits=fake):
        assert Latkem.CBD("anything", 2) == [2] * N
        assert Latkem.CBD("more", 1) == [0] * N
    assert calls == ["anything", "more"]
    assert Latkem.CBD("03" * 128, 2) == [2, 0] * 128


def test_cbd_bits_go_through_int():
    # bit characters pass through the host's int(): " 1" and "1 " are accepted
    with rebound(hex_to_bits=lambda text: [" 1", "1 ", "0", "0"] * 256):
        assert Latkem.CBD("", 2) == [2] * N
    with rebound(hex_to_bits=lambda text: ["x"] * 2048):
        with pytest.raises(ValueError, match="invalid literal") as info:
            Latkem.CBD("", 2)
    assert module_entries(info.value) == [("Latkem.CBD", 50)]


@pytest.mark.parametrize(
    "stream, eta, exc_type, entries",
    [
        ("00" * 191, 3, IndexError, [("Latkem.CBD", 51)]),
        ("00" * 127, 2, IndexError, [("Latkem.CBD", 50)]),
        ("", 2, IndexError, [("Latkem.CBD", 50)]),
        ("00" * 128, 2.0, TypeError, [("Latkem.CBD", 49)]),
        ("00" * 128, None, TypeError, [("Latkem.CBD", 49)]),
        ("zz" * 128, 2, ValueError, [("Latkem.CBD", 45), ("Latkem.hex_to_bits", 589)]),
        ("zz", 0, ValueError, [("Latkem.CBD", 45), ("Latkem.hex_to_bits", 589)]),
        (12, 2, TypeError, [("Latkem.CBD", 45), ("Latkem.hex_to_bits", 585)]),
    ],
)
def test_cbd_failures(stream, eta, exc_type, entries):
    with pytest.raises(exc_type) as info:
        Latkem.CBD(stream, eta)
    assert module_entries(info.value) == entries


def test_cbd_missing_hex_to_bits():
    with rebound(hex_to_bits=DELETE):
        with pytest.raises(NameError, match="name 'hex_to_bits' is not defined") as info:
            Latkem.CBD("00" * 128, 2)
    assert module_entries(info.value) == [("Latkem.CBD", 45)]


# ---------------------------------------------------------------------------
# Parse

GOOD_GROUP = [0x01, 0x23, 0x45]  # d1 = 769, d2 = 1106


def test_parse_worked_example():
    r = Latkem.Parse(bytes(GOOD_GROUP * 256))
    assert r == [769, 1106] * 128
    assert type(r) is list and all(type(x) is int for x in r)


def test_parse_reads_no_further_than_needed():
    # 128 groups fill the 256 coefficients; the entries after them are never read
    data = GOOD_GROUP * 128 + [None] * 384
    before = list(data)
    assert Latkem.Parse(data) == [769, 1106] * 128
    assert data == before


@pytest.mark.parametrize(
    "head, first_values",
    [
        ([0xFF, 0xFF, 0xFF], [769, 1106]),  # both candidates 4095 rejected
        ([0x01, 0x0D, 0x10], [256, 769, 1106]),  # d1 = 3329 rejected, d2 = 256 kept
        ([0x00, 0x0D, 0x00], [3328, 0, 769]),  # d1 = 3328 accepted
        ([0x01, 0x0D, 0xD0], [3328, 769, 1106]),  # d1 = 3329 rejected, d2 = 3328 kept
        ([0x00, 0x1D, 0xD0], [3328, 769, 1106]),  # d1 = 3328 kept, d2 = 3329 rejected
    ],
)
def test_parse_rejection(head, first_values):
    data = bytes(head + GOOD_GROUP * 255)
    r = Latkem.Parse(data)
    assert r[: len(first_values)] == first_values
    assert r == parse_ref(data)


@given(st.binary(min_size=768, max_size=768))
@settings(max_examples=25, deadline=None)
def test_parse_matches_reference(data):
    r = Latkem.Parse(data)
    assert r == parse_ref(data)
    assert len(r) == N and all(type(x) is int and 0 <= x < Q for x in r)
    assert Latkem.Parse(list(data)) == r
    assert Latkem.Parse(bytearray(data)) == r


@pytest.mark.parametrize(
    "data, line",
    [
        (bytes(3), 536),  # two coefficients, then the stream ends
        (bytes(2), 537),  # the third byte of the group is missing
        (bytes([0xFF]) * 768, 536),  # nothing accepted: the 768 bytes run out
        (b"", 536),
    ],
)
def test_parse_runs_out(data, line):
    with pytest.raises(IndexError) as info:
        Latkem.Parse(data)
    assert module_entries(info.value) == [("Latkem.Parse", line)]


def test_parse_reads_n_and_q_at_each_use():
    with rebound(n=1):
        assert Latkem.Parse(bytes(GOOD_GROUP)) == [769]
        # d2 of the group is computed even when d1 filled the last slot
        with pytest.raises(IndexError) as info:
            Latkem.Parse(bytes(GOOD_GROUP[:2]))
        assert module_entries(info.value) == [("Latkem.Parse", 537)]
    with rebound(n=4, q=1000):
        assert Latkem.Parse(bytes(GOOD_GROUP * 2 + [0x00, 0x0D, 0x00, 0, 0, 0])) == [
            769, 769, 0, 0]
    with rebound(n=8.0):
        with pytest.raises(TypeError) as info:
            Latkem.Parse(bytes(GOOD_GROUP * 256))
        assert module_entries(info.value) == [("Latkem.Parse", 533)]
    with rebound(q=DELETE):
        with pytest.raises(NameError, match="name 'q' is not defined") as info:
            Latkem.Parse(bytes(GOOD_GROUP * 256))
        assert module_entries(info.value) == [("Latkem.Parse", 539)]
    with rebound(n=DELETE):
        with pytest.raises(NameError, match="name 'n' is not defined") as info:
            Latkem.Parse(bytes(GOOD_GROUP * 256))
        assert module_entries(info.value) == [("Latkem.Parse", 533)]


def test_parse_type_errors():
    with pytest.raises(TypeError) as info:
        Latkem.Parse(["a"] * 768)
    assert module_entries(info.value) == [("Latkem.Parse", 536)]
    with pytest.raises(TypeError) as info:
        Latkem.Parse(5)
    assert module_entries(info.value) == [("Latkem.Parse", 536)]


# ---------------------------------------------------------------------------
# generate_mat_a

SEED = bytes(range(32))


def test_generate_mat_a_matches_reference():
    m = Latkem.generate_mat_a(SEED, 2)
    assert type(m) is np.ndarray and m.dtype == np.float64 and m.shape == (2, 2, N)
    assert m.tolist() == [[[float(x) for x in p] for p in row] for row in mat_ref(SEED, 2)]
    assert not np.array_equal(m[0, 1], m[1, 0])
    assert np.array_equal(Latkem.generate_mat_a(SEED, 2), m)


@given(st.binary(min_size=32, max_size=32), st.integers(0, 3))
@settings(max_examples=10, deadline=None)
def test_generate_mat_a_property(rho, len_a):
    m = Latkem.generate_mat_a(rho, len_a)
    assert m.dtype == np.float64 and m.shape == (len_a, len_a, N)
    assert m.tolist() == mat_ref(rho, len_a)


def test_generate_mat_a_one_entry():
    m = Latkem.generate_mat_a(SEED, 1)
    assert m.shape == (1, 1, N)
    assert m[0, 0].tolist() == parse_ref(hashlib.shake_128(SEED + b"\0\0").digest(768))


@pytest.mark.parametrize("rho", [SEED, b"short", None])
def test_generate_mat_a_empty(rho):
    m = Latkem.generate_mat_a(rho, 0)
    assert m.shape == (0, 0, N) and m.dtype == np.float64


def test_generate_mat_a_call_order_and_globals():
    xof_calls = []
    parse_calls = []

    def fake_xof(rho, a, b):
        xof_calls.append((rho, a, b))
        return (a, b)

    def fake_parse(tem):
        parse_calls.append(tem)
        a, b = tem
        return [100 * a + 10 * b] * 4

    with rebound(XOF=fake_xof, Parse=fake_parse, n=4):
        m = Latkem.generate_mat_a(SEED, 2)
    assert xof_calls == [(SEED, 0, 0), (SEED, 1, 0), (SEED, 0, 1), (SEED, 1, 1)]
    assert parse_calls == [(0, 0), (1, 0), (0, 1), (1, 1)]
    assert m.shape == (2, 2, 4)
    # row r, column c holds the stream of (c, r)
    assert m[0, 1].tolist() == [100.0] * 4
    assert m[1, 0].tolist() == [10.0] * 4


@pytest.mark.parametrize(
    "rho, len_a, exc_type, message, entries",
    [
        (b"short", 1, ValueError, "Length of input bytes should be equal to 32",
         [("Latkem.generate_mat_a", 512), ("Latkem.XOF", 502)]),
        (SEED, 2.0, TypeError, None, [("Latkem.generate_mat_a", 509)]),
        (SEED, -1, ValueError, "negative", [("Latkem.generate_mat_a", 509)]),
        (None, 1, TypeError, None, [("Latkem.generate_mat_a", 512), ("Latkem.XOF", 499)]),
    ],
)
def test_generate_mat_a_failures(rho, len_a, exc_type, message, entries):
    with pytest.raises(exc_type) as info:
        Latkem.generate_mat_a(rho, len_a)
    if message:
        assert message in str(info.value)
    assert module_entries(info.value) == entries


def test_generate_mat_a_failures_through_globals():
    with rebound(Parse=lambda tem: [1, 2, 3]):
        with pytest.raises(ValueError) as info:
            Latkem.generate_mat_a(SEED, 1)
        assert module_entries(info.value) == [("Latkem.generate_mat_a", 513)]
    with rebound(np=DELETE):
        with pytest.raises(NameError, match="name 'np' is not defined") as info:
            Latkem.generate_mat_a(SEED, 1)
        assert module_entries(info.value) == [("Latkem.generate_mat_a", 509)]
    with rebound(XOF=DELETE):
        with pytest.raises(NameError, match="name 'XOF' is not defined") as info:
            Latkem.generate_mat_a(SEED, 1)
        assert module_entries(info.value) == [("Latkem.generate_mat_a", 512)]
        # no entry, no call of XOF
        assert Latkem.generate_mat_a(SEED, 0).shape == (0, 0, N)
    with rebound(Parse=DELETE):
        with pytest.raises(NameError, match="name 'Parse' is not defined") as info:
            Latkem.generate_mat_a(SEED, 1)
        assert module_entries(info.value) == [("Latkem.generate_mat_a", 513)]
