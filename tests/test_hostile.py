"""Enc and Dec given what a peer may send: hex text and messages of any length,
case and content, in every container binascii takes.  Each call is answered
by the native path, result or error, and exactly as the host path answers
(result and its type, or exception, message and traceback entries, and the
printed lines)."""
import array
import binascii

import pytest

import Latkem
from kit import PARAMETER_SETS, both_paths, natively, parameters, seeded

pytestmark = pytest.mark.paths

# hex digits of one row at 12 bits, of the seed
ROW, SEED = 768, 64


class Bytes(bytes):
    pass


class Str(str):
    pass


@pytest.fixture(scope="module")
def material():
    """Per parameter set: a CPA key pair, a 32-byte message, coins and the
    ciphertext of that message."""
    out = {}
    for name in PARAMETER_SETS:
        with seeded(7), parameters(name):
            pk, sk = Latkem.Genkey(b"hostile seed %s" % name.encode())
            m, coins = b"\xa5" * 31 + b"\x3c", b"c0" * 32
            out[name] = dict(pk=pk, sk=sk, m=m, coins=coins, c=Latkem.Enc(pk, m, coins))
    return out


def answered_natively(capsys, name, *args, native=True):
    """Both paths answer alike (both_paths), and the first call was answered
    by the native path (or, with native=False, by the host path)."""
    fn = getattr(Latkem, name)
    before = fn._native_calls
    got = both_paths(name, *args, capsys=capsys, system_error_ok=False)
    assert fn._native_calls - before == natively(int(native)), (name, args)
    return got


def tail(size):
    """`size` hex digits that are not the repetition of anything nearby."""
    digits = binascii.hexlify(bytes((i * 37 + 11) % 256 for i in range(size // 2 + 1)))
    return digits[:size]


def resized(text, size):
    """The hex text cut or extended to `size` digits."""
    return text[:size] if size <= len(text) else text + tail(size - len(text))


def put(text, at, char):
    at %= len(text)
    return text[:at] + char + text[at + 1:]


def sizes(full, *rows):
    """Lengths around the full length and around each row boundary below it:
    empty, short by two, exact, long by two, much longer, odd."""
    out = {0, 2, full - 2, full, full + 2, 3 * full + 2, full - 1, full + 1}
    for r in rows:
        out |= {r - 2, r, r + 2}
    return sorted(s for s in out if s >= 0)


def ct_rows(p):
    """Hex digits of u (kk rows at du bits) and of the whole ciphertext."""
    u = 64 * p["kk"] * p["du"]
    return u, u + 64 * p["dv"]


@pytest.mark.parametrize("params", list(PARAMETER_SETS))
def test_Dec_ciphertext_length(material, capsys, params):
    mat, p = material[params], PARAMETER_SETS[params]
    u, full = ct_rows(p)
    sk = mat["sk"]
    with parameters(params):
        for size in sizes(full, u, u - 64 * p["du"], u + 64 * p["dv"] // 2):
            got = answered_natively(capsys, "Dec", resized(mat["c"], size), sk)
            assert (got[0] == "returned") == (size >= full and size % 2 == 0), size
        # Rows beyond those read change nothing.
        assert Latkem.Dec(mat["c"] + tail(full + 2), sk) == Latkem.Dec(mat["c"], sk)


@pytest.mark.parametrize("params", list(PARAMETER_SETS))
def test_Dec_key_length(material, capsys, params):
    mat, p = material[params], PARAMETER_SETS[params]
    full = ROW * p["kk"]
    with parameters(params):
        for size in sizes(full, *range(ROW, full, ROW)):
            key = resized(mat["sk"], size)
            answered_natively(capsys, "Dec", mat["c"], key)
            # A ciphertext too short fails before a key too short.
            answered_natively(capsys, "Dec", mat["c"][:-2], key)


@pytest.mark.parametrize("params", list(PARAMETER_SETS))
def test_Enc_key_length(material, capsys, params):
    mat, p = material[params], PARAMETER_SETS[params]
    full = ROW * p["kk"] + SEED
    with parameters(params):
        for size in sizes(full, SEED, *range(SEED + ROW, full, ROW)):
            got = answered_natively(capsys, "Enc", resized(mat["pk"], size), mat["m"], mat["coins"])
            assert (got[0] == "returned") == (size >= full and size % 2 == 0), size
        # t is read from the first rows, the seed from the end.
        longer = mat["pk"][:-SEED] + tail(ROW + 2) + mat["pk"][-SEED:]
        assert Latkem.Enc(longer, mat["m"], mat["coins"]) == mat["c"]


MESSAGE_FORMS = [
    ("bytes", lambda m: m, True),
    ("bytearray", bytearray, True),
    ("memoryview", memoryview, True),
    ("memoryview of bytearray", lambda m: memoryview(bytearray(m)), True),
    ("multi-byte memoryview", lambda m: memoryview(m[:len(m) // 2 * 2]).cast("H"), True),
    ("strided memoryview", lambda m: memoryview(m + m)[::2], True),
    ("str", lambda m: "m" * len(m), True),
    ("non-ASCII str", lambda m: "é" + m[1:].decode("latin-1"), True),
    ("int", lambda m: len(m), True),
    ("None", lambda m: None, True),
    ("str subclass", lambda m: Str(m.decode("latin-1")), True),
    ("bytes subclass", Bytes, False),
    ("array", lambda m: array.array("B", m), False),
]


@pytest.mark.parametrize("form, make, native", MESSAGE_FORMS, ids=[f[0] for f in MESSAGE_FORMS])
def test_Enc_message(material, capsys, form, make, native):
    mat = material["rank2"]
    for size in (0, 2, 30, 31, 32, 33, 34, 100):
        message = (mat["m"] * 4)[:size]
        got = answered_natively(capsys, "Enc", mat["pk"], make(message), mat["coins"], native=native)
        if size >= 32 and got[0] == "returned":
            assert got[1] == Latkem.Enc(mat["pk"], mat["m"], mat["coins"])
    # Coins that fail fail first.
    answered_natively(capsys, "Enc", mat["pk"], make(b""), b"0", native=True)


# Spellings of a hex text: (name, change, whether the native path answers).
TEXT_FORMS = [
    ("bytes", lambda t: t, True),
    ("upper case", lambda t: t.upper(), True),
    ("mixed case", lambda t: b"".join(t[i:i + 3].upper() + t[i + 3:i + 6] for i in range(0, len(t), 6)), True),
    ("str", lambda t: t.decode(), True),
    ("upper-case str", lambda t: t.upper().decode(), True),
    ("bytearray", bytearray, True),
    ("memoryview", memoryview, True),
    ("multi-byte memoryview", lambda t: memoryview(t + b"0" * (-len(t) % 4)).cast("I"), True),
    ("strided memoryview", lambda t: memoryview(t + t)[::2], True),
    ("non-hex first", lambda t: put(t, 0, b"g"), True),
    ("non-hex middle", lambda t: put(t, len(t) // 2, b" "), True),
    ("non-hex last", lambda t: put(t, -1, b"\xe9"), True),
    ("NUL", lambda t: put(t, 5, b"\x00"), True),
    ("one digit short", lambda t: t[:-1], True),
    ("non-ASCII str", lambda t: t[:-1].decode() + "é", True),
    ("non-hex bytearray", lambda t: bytearray(put(t, 3, b"x")), True),
    ("int", lambda t: 12, True),
    ("None", lambda t: None, True),
    ("list", lambda t: list(t), True),
    ("bytes subclass", Bytes, False),
    ("str subclass", lambda t: Str(t.decode()), False),
    ("array", lambda t: array.array("B", t), False),
]
TEXT_IDS = [f[0] for f in TEXT_FORMS]


@pytest.mark.parametrize("form, make, native", TEXT_FORMS, ids=TEXT_IDS)
def test_Dec_text_forms(material, capsys, form, make, native):
    mat = material["rank2"]
    c, sk = mat["c"], mat["sk"]
    answered_natively(capsys, "Dec", make(c), sk, native=native)
    answered_natively(capsys, "Dec", c, make(sk), native=native)
    # The key is read first: its error wins over the ciphertext's.
    answered_natively(capsys, "Dec", b"0", make(sk), native=native)
    answered_natively(capsys, "Dec", make(c), b"0")
    answered_natively(capsys, "Dec", make(c[:1024]), sk, native=native)


@pytest.mark.parametrize("form, make, native", TEXT_FORMS, ids=TEXT_IDS)
def test_Enc_text_forms(material, capsys, form, make, native):
    mat = material["rank2"]
    pk, m, coins = mat["pk"], mat["m"], mat["coins"]
    answered_natively(capsys, "Enc", make(pk), m, coins, native=native)
    answered_natively(capsys, "Enc", pk, m, make(coins), native=native)
    answered_natively(capsys, "Enc", make(pk[:ROW]), m, make(coins), native=native)
    # The coins are read first, then the message, then the key.
    answered_natively(capsys, "Enc", make(pk), m, b"x", native=True)
    answered_natively(capsys, "Enc", make(pk), m[:5], coins)
    if native:
        answered_natively(capsys, "Enc", b"00" * 31, m, make(coins))
        answered_natively(capsys, "Enc", make(pk), m, make(coins[:2] + coins * 5))


def test_Enc_coins_length(material, capsys):
    """Coins of any length are a seed; with the nonce they may fill a block of
    the noise hash (136 bytes) or run over it."""
    mat = material["rank2"]
    for size in (0, 1, 2, 62, 64, 66, 268, 270, 272, 545):
        answered_natively(capsys, "Enc", mat["pk"], mat["m"], resized(mat["coins"], size))
