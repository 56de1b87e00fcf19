"""The hash and XOF wrappers H, G, PRF, XOF and kdf, checked against hashlib."""
import binascii
import hashlib

import pytest

SEED = bytes(range(100, 132))
LENGTH_MESSAGE = "Length of input bytes should be equal to 32"


def host_error(call):
    """The exception type the host itself raises for `call`."""
    try:
        call()
    except Exception as exc:
        return type(exc)
    raise AssertionError("the host accepted it")


def check_failure(entries, info, name, line):
    assert entries(info.value) == [("Latkem." + name, line)]


# ---------------------------------------------------------------------------
# H


def test_h_of_empty_text(latkem):
    expected = hashlib.sha3_256(b"").hexdigest().encode("ascii")
    assert latkem.H("") == expected
    assert latkem.H(b"") == expected
    assert type(latkem.H("")) is bytes


MESSAGE = bytes(range(0, 256, 7))


@pytest.mark.parametrize(
    "text",
    [
        MESSAGE.hex(),
        MESSAGE.hex().upper(),
        MESSAGE.hex().encode(),
        MESSAGE.hex().upper().encode(),
        bytearray(MESSAGE.hex().encode()),
        memoryview(MESSAGE.hex().encode()),
    ],
    ids=["str", "str-upper", "bytes", "bytes-upper", "bytearray", "memoryview"],
)
def test_h_forms_of_hex_text(latkem, text):
    result = latkem.H(text)
    assert type(result) is bytes
    assert result == hashlib.sha3_256(MESSAGE).hexdigest().encode("ascii")
    assert binascii.unhexlify(result) == hashlib.sha3_256(MESSAGE).digest()


@pytest.mark.parametrize(
    "arg, error",
    [
        ("abc", binascii.Error),
        (b"0g", binascii.Error),
        ("\u00e90", ValueError),
        (12, TypeError),
        (None, TypeError),
    ],
    ids=["odd-length", "non-hex", "non-ascii-str", "int", "None"],
)
def test_h_failures(latkem, entries, arg, error):
    with pytest.raises(error) as info:
        latkem.H(arg)
    assert type(info.value) is error
    check_failure(entries, info, "H", 68)


# ---------------------------------------------------------------------------
# G


@pytest.mark.parametrize(
    "data",
    [b"", SEED, SEED + SEED[::-1], bytearray(SEED), memoryview(b"abc")],
    ids=["empty", "32-bytes", "64-bytes", "bytearray", "memoryview"],
)
def test_g(latkem, data):
    result = latkem.G(data)
    digest = hashlib.sha3_512(bytes(data)).digest()
    assert type(result) is tuple and len(result) == 2
    assert all(type(half) is bytes and len(half) == 32 for half in result)
    assert result == (digest[:32], digest[32:])


def test_g_refuses_str(latkem, entries):
    with pytest.raises(TypeError) as info:
        latkem.G("ab")
    check_failure(entries, info, "G", 522)


# ---------------------------------------------------------------------------
# PRF


def shake256_hex(data, length):
    return hashlib.shake_256(data).hexdigest(length)


def test_prf_lengths_and_prefix(latkem):
    long = latkem.PRF(SEED, bytes([0]), 3)
    short = latkem.PRF(SEED, bytes([0]), 2)
    assert type(long) is str and len(long) == 384 and len(short) == 256
    assert long == shake256_hex(SEED + b"\x00", 192)
    assert long.startswith(short)
    assert latkem.PRF(SEED, bytes([1]), 2) != short
    assert latkem.PRF(SEED, bytes([0]), 0) == ""


@pytest.mark.parametrize(
    "ss, bd, data",
    [
        (SEED, 0, SEED),
        (SEED, 2, SEED + b"\0\0"),
        (SEED, bytes([2]), SEED + b"\x02"),
        (SEED, [2], SEED + b"\x02"),
        (SEED, bytearray([2, 3]), SEED + b"\x02\x03"),
        (list(SEED), b"\x05", SEED + b"\x05"),
        (bytearray(SEED), b"", SEED),
        (3, b"\x01", b"\0\0\0\x01"),
    ],
    ids=["bd-int-0", "bd-int-2", "bd-bytes", "bd-list", "bd-bytearray", "ss-list",
         "ss-bytearray", "ss-int"],
)
def test_prf_converts_with_the_bytes_constructor(latkem, ss, bd, data):
    assert latkem.PRF(ss, bd, 1) == shake256_hex(data, 64)


def test_prf_int_counter_is_not_a_byte(latkem):
    assert latkem.PRF(SEED, 2, 1) != latkem.PRF(SEED, bytes([2]), 1)


@pytest.mark.parametrize(
    "ss, bd, eta, line",
    [("seed", b"", 1, 57), (SEED, "0", 1, 58), (SEED, b"", 1.5, 62), (SEED, b"", "1", 62)],
    ids=["str-ss", "str-bd", "float-eta", "str-eta"],
)
def test_prf_type_errors(latkem, entries, ss, bd, eta, line):
    with pytest.raises(TypeError) as info:
        latkem.PRF(ss, bd, eta)
    check_failure(entries, info, "PRF", line)


def test_prf_negative_eta(latkem, entries):
    error = host_error(lambda: hashlib.shake_256(SEED).digest(-64))
    with pytest.raises(error) as info:
        latkem.PRF(SEED, b"", -1)
    check_failure(entries, info, "PRF", 62)


# ---------------------------------------------------------------------------
# XOF


@pytest.mark.parametrize("int_a, int_b", [(0, 1), (1, 0), (0, 0), (255, 255), (17, 200)])
def test_xof(latkem, int_a, int_b):
    result = latkem.XOF(SEED, int_a, int_b)
    assert type(result) is bytes
    assert result == hashlib.shake_128(SEED + bytes([int_a, int_b])).digest(768)


def test_xof_index_order_matters(latkem):
    assert latkem.XOF(SEED, 0, 1) != latkem.XOF(SEED, 1, 0)


@pytest.mark.parametrize("size", [0, 31, 33, 34])
def test_xof_seed_length(latkem, entries, size):
    with pytest.raises(ValueError) as info:
        latkem.XOF(bytes(size), 0, 1)
    assert type(info.value) is ValueError
    assert str(info.value) == LENGTH_MESSAGE
    check_failure(entries, info, "XOF", 502)


@pytest.mark.parametrize(
    "seed, int_a, int_b",
    [(SEED, 256, 0), (SEED, 0, 256), (SEED, -1, 0), (b"short", 0, 256)],
)
def test_xof_index_out_of_range(latkem, entries, seed, int_a, int_b):
    error = host_error(lambda: bytes([int_a, int_b]))
    with pytest.raises(error) as info:
        latkem.XOF(seed, int_a, int_b)
    assert str(info.value) != LENGTH_MESSAGE
    check_failure(entries, info, "XOF", 497)


def test_xof_seed_must_be_bytes(latkem, entries):
    with pytest.raises(TypeError) as info:
        latkem.XOF("s" * 32, 0, 1)
    check_failure(entries, info, "XOF", 499)


# ---------------------------------------------------------------------------
# kdf


@pytest.mark.parametrize(
    "data", [b"", SEED + SEED, bytearray(SEED), memoryview(SEED)],
    ids=["empty", "64-bytes", "bytearray", "memoryview"],
)
@pytest.mark.parametrize("length", [0, 1, 32, 200])
def test_kdf(latkem, data, length):
    result = latkem.kdf(data, length)
    assert type(result) is bytes
    assert result == hashlib.shake_256(bytes(data)).digest(length)


def test_kdf_prefix(latkem):
    assert latkem.kdf(SEED, 64)[:32] == latkem.kdf(SEED, 32)
    assert latkem.kdf(SEED, 0) == b""


@pytest.mark.parametrize(
    "data, length, error",
    [
        ("text", 32, TypeError),
        (SEED, 1.0, TypeError),
        (SEED, -1, host_error(lambda: hashlib.shake_256(SEED).digest(-1))),
    ],
    ids=["str-input", "float-length", "negative-length"],
)
def test_kdf_failures(latkem, entries, data, length, error):
    with pytest.raises(error) as info:
        latkem.kdf(data, length)
    check_failure(entries, info, "kdf", 614)
