"""Wrong keys, ciphertexts, messages and coins for the KEM and the encryption
scheme: any length, case, container or content, broken hex, the wrong type,
what a peer may send.  Every call is answered by the native path wherever it
can place the input, and exactly as the host path answers (the result and
its type, or the exception, its message and the module's traceback entries,
and the printed lines).  Decapsulation gives an ordinary exception or the
rejection key: a ciphertext that does not match never yields the
encapsulated key."""
import array
import binascii
import io
import sys

import pytest

import Latkem
from kit import (FORM, FORMS, PARAMETER_SETS, Bytes, Draws, Text, both_paths, chars, flip_digit,
                 host_only, module_entries, natively, outcome, parameters, picture,
                 printed_both_paths, rebound, rejection_key, seeded)

pytestmark = pytest.mark.paths

REJECTED = "错了\n"
# hex digits of one row at 12 bits, of the seed
ROW, SEED = 768, 64


@pytest.fixture(scope="module")
def material():
    """Per parameter set: a key pair, a ciphertext and its key; the secret key
    of the encryption scheme, a 32-byte message, coins and their ciphertext."""
    out = {}
    for name, p in PARAMETER_SETS.items():
        with seeded(7), parameters(name):
            pk, sk = Latkem.CCA_KeyGen()
            c, key = Latkem.CCA_Enc(pk, b"message")
            m, coins = b"\xa5" * 31 + b"\x3c", b"c0" * 32
            out[name] = dict(pk=pk, sk=sk, c=c, key=key, cpa_sk=sk[:ROW * p["kk"]], m=m,
                             coins=coins, cpa_c=Latkem.Enc(pk, m, coins))
    with seeded(99):
        out["other"] = dict(zip(("pk", "sk"), Latkem.CCA_KeyGen()))
    return out


def answered(capsys, name, *args, native=True):
    """Both paths answer alike (result, exception and printed lines), and the
    first call was answered by the native path (native=False: by the host
    path; None: by either).  No input here makes the host raise
    SystemError: from the module it would be a fault.  Returns the outcome and what was printed."""
    fn = getattr(Latkem, name)
    before = fn._native_calls
    got, printed = printed_both_paths(capsys, name, *args, system_error_ok=False)
    assert native is None or fn._native_calls - before == natively(int(native)), (name, args)
    return got, printed


# The same bytes in another container, with the case of the digits kept.
SAME = {"as given", "str", "bytearray", "bytes subclass", "str subclass"}
# The same bytes up to the case of the digits.
SAME_UP_TO_CASE = SAME | {"upper case", "str, upper case", "bytearray, upper case"}


def forms(*names):
    chosen = [f for f in FORMS if f[0] in names] if names else FORMS
    return pytest.mark.parametrize("form, change, native", chosen, ids=[f[0] for f in chosen])


# --- decapsulation -----------------------------------------------------------------


@forms()
def test_CCA_Dec_ciphertext(material, capsys, form, change, native):
    m = material["rank2"]
    text = change(m["c"])
    result, printed = answered(capsys, "CCA_Dec", text, m["sk"], native=native)
    if form in SAME:
        assert (result, printed) == (("returned", m["key"]), "")
    elif result[0] == "returned":
        assert result[1] == rejection_key(m["sk"], chars(text)) != m["key"]
        assert printed == REJECTED
    else:
        assert printed == ""


@pytest.mark.parametrize("position", [0, 1, 639, 1279, 1280, 1535])
def test_every_changed_digit_gets_the_rejection_key(material, capsys, position):
    """One digit changed anywhere, in the u part and in the v part."""
    m = material["rank2"]
    forged = flip_digit(m["c"], position)
    assert answered(capsys, "CCA_Dec", forged, m["sk"]) == (
        ("returned", rejection_key(m["sk"], forged)), REJECTED)


def test_ciphertext_for_another_key_pair_gets_the_rejection_key(material, capsys):
    m, other = material["rank2"], material["other"]
    c, key = Latkem.CCA_Enc(other["pk"], b"meant for the other pair")
    result, _ = answered(capsys, "CCA_Dec", c, m["sk"])
    assert result == ("returned", rejection_key(m["sk"], c)) and result[1] != key
    assert answered(capsys, "CCA_Dec", c, other["sk"]) == (("returned", key), "")


@forms()
def test_CCA_Dec_secret_key(material, capsys, form, change, native):
    """A secret key spelled otherwise gives the key where it still holds the
    same bytes; any other changed key raises or yields some other key."""
    m = material["rank2"]
    # The native path answers for a well-formed key only.
    result, _ = answered(capsys, "CCA_Dec", m["c"], change(m["sk"]), native=None)
    if form in SAME_UP_TO_CASE:
        assert result == ("returned", m["key"])
    elif result[0] == "returned":
        assert isinstance(result[1], bytes) and len(result[1]) == 32


@pytest.mark.parametrize("sk_form", ["str", "upper case"])
@forms("long by 2", "short by 2", "odd, one more", "str, non-ASCII last", "memoryview", "int")
def test_CCA_Dec_ciphertext_with_each_key_form(material, capsys, form, change, native, sk_form):
    m = material["rank2"]
    answered(capsys, "CCA_Dec", change(m["c"]), FORM[sk_form][0](m["sk"]))


@pytest.mark.parametrize(
    "which", ["pk as sk", "c as sk", "sk as c", "pk as c", "sk and c swapped"])
def test_swapped_arguments(material, capsys, which):
    m = material["rank2"]
    pk, sk, c = m["pk"], m["sk"], m["c"]
    args = {"pk as sk": (c, pk), "c as sk": (c, c), "sk as c": (sk, sk), "pk as c": (pk, sk),
            "sk and c swapped": (sk, c)}[which]
    result = both_paths("CCA_Dec", *args, capsys=capsys, system_error_ok=False)
    assert result[0] == "raised" or result[1] != m["key"]


def test_rejected_bytearray_read_before_the_print(material):
    """The rejection key hashes the text as it was before the print, when the
    print itself changes the bytearray and a global the last statement reads
    (so the rest runs as the host runs it)."""
    m = material["rank2"]
    outcomes = []
    for native in (True, False):
        text = bytearray(m["c"] + b"00")

        class Writer(io.StringIO):
            def write(self, s):
                text[:4] = b"ffff"
                Latkem.kdf = lambda data, size: kdf(data, size)  # same answers, other object
                return super().write(s)

        kdf = Latkem.kdf
        with rebound():
            saved, sys.stdout = sys.stdout, Writer()
            try:
                if native:
                    before = Latkem.CCA_Dec._native_calls
                    outcomes.append(Latkem.CCA_Dec(text, m["sk"]))
                    assert Latkem.CCA_Dec._native_calls == before + natively(1)
                else:
                    with host_only():
                        outcomes.append(Latkem.CCA_Dec(text, m["sk"]))
                printed = sys.stdout.getvalue()
            finally:
                sys.stdout = saved
        assert printed == REJECTED
    assert outcomes[0] == outcomes[1] == rejection_key(m["sk"], m["c"] + b"00")


# --- encapsulation ----------------------------------------------------------------


@forms()
def test_CCA_Enc_public_key(material, capsys, form, change, native):
    m = material["rank2"]
    result, _ = answered(capsys, "CCA_Enc", change(m["pk"]), b"message", native=native)
    if form in SAME_UP_TO_CASE | {"mixed case", "memoryview"}:
        assert result == ("returned", (m["c"], m["key"]))
    elif result[0] == "returned":
        c, key = result[1]
        assert isinstance(c, bytes) and isinstance(key, bytes) and len(key) == 32


@pytest.mark.parametrize("size", [0, 31, 32, 33, 799, 801, 1600])
def test_CCA_Enc_public_key_of_each_length(material, capsys, size):
    """Shorter than the seed, than the rows, or longer than both: the rows
    come from the front and the seed from the end."""
    raw = binascii.unhexlify(material["rank2"]["pk"])
    raw = (raw * 2)[:size - 32] + raw[-32:] if size >= 32 else raw[:size]
    answered(capsys, "CCA_Enc", binascii.hexlify(raw), b"message")


MESSAGES = [
    ("empty", b"", True), ("one byte", b"x", True), ("31 bytes", bytes(31), True),
    ("32 bytes", b"m" * 32, True), ("33 bytes", bytes(33), True),
    ("10240 bytes", bytes(range(256)) * 40, True), ("bytearray", bytearray(b"message"), True),
    ("memoryview", memoryview(b"message"), True),
    ("memoryview of 32-bit items", memoryview(bytes(range(32))).cast("I"), True),
    ("strided memoryview", memoryview(bytes(64))[::2], True), ("str", "message", True),
    ("non-ASCII str", "é", True), ("str subclass", Text("message"), True), ("int", 7, True),
    ("None", None, True), ("list", [1, 2], True), ("bytes subclass", Bytes(32), False),
    ("array", array.array("B", bytes(32)), False),
]


@pytest.mark.parametrize("message, native", [m[1:] for m in MESSAGES],
                         ids=[m[0] for m in MESSAGES])
def test_CCA_Enc_message(material, capsys, message, native):
    """Any message is hashed: a key pair that works, or an exception."""
    m = material["rank2"]
    result, _ = answered(capsys, "CCA_Enc", m["pk"], message, native=native)
    if result[0] == "returned":
        c, key = result[1]
        assert answered(capsys, "CCA_Dec", c, m["sk"]) == (("returned", key), "")
    # A message that fails fails before any key.
    answered(capsys, "CCA_Enc", b"zz", message, native=native)


def test_released_memoryview(material, capsys):
    # binascii refuses a memoryview it cannot read as bytes before running any
    # code of the caller's: the native path hands it over for that error.
    m = material["rank2"]

    def released(t):
        view = memoryview(t)
        view.release()
        return view

    answered(capsys, "CCA_Dec", released(m["c"]), m["sk"])
    answered(capsys, "CCA_Enc", released(m["pk"]), b"m")
    answered(capsys, "CCA_Enc", m["pk"], released(b"message"))


# --- the encryption scheme -----------------------------------------------------------


def tail(size):
    """`size` hex digits that are not the repetition of anything nearby."""
    return binascii.hexlify(bytes((i * 37 + 11) % 256 for i in range(size // 2 + 1)))[:size]


def resized(text, size):
    """The hex text cut or extended to `size` digits."""
    return text[:size] if size <= len(text) else text + tail(size - len(text))


def sizes(full, *rows):
    """Lengths around the full length and around each row boundary below it:
    empty, short by two, exact, long by two, much longer, odd."""
    out = {0, 2, full - 2, full, full + 2, 3 * full + 2, full - 1, full + 1}
    for r in rows:
        out |= {r - 2, r, r + 2}
    return sorted(s for s in out if s >= 0)


@pytest.mark.parametrize("params", list(PARAMETER_SETS))
def test_Dec_lengths(material, capsys, params):
    m, p = material[params], PARAMETER_SETS[params]
    u = 64 * p["kk"] * p["du"]
    full, key_full = u + 64 * p["dv"], ROW * p["kk"]
    with parameters(params):
        for size in sizes(full, u, u - 64 * p["du"], u + 64 * p["dv"] // 2):
            got, _ = answered(capsys, "Dec", resized(m["cpa_c"], size), m["cpa_sk"])
            assert (got[0] == "returned") == (size >= full and size % 2 == 0), size
        # Rows beyond those read change nothing.
        assert Latkem.Dec(m["cpa_c"] + tail(full + 2), m["cpa_sk"]) == \
            Latkem.Dec(m["cpa_c"], m["cpa_sk"])
        for size in sizes(key_full, *range(ROW, key_full, ROW)):
            key = resized(m["cpa_sk"], size)
            answered(capsys, "Dec", m["cpa_c"], key)
            # A ciphertext too short fails before a key too short.
            answered(capsys, "Dec", m["cpa_c"][:-2], key)


@pytest.mark.parametrize("params", list(PARAMETER_SETS))
def test_Enc_key_length(material, capsys, params):
    m, p = material[params], PARAMETER_SETS[params]
    full = ROW * p["kk"] + SEED
    with parameters(params):
        for size in sizes(full, SEED, *range(SEED + ROW, full, ROW)):
            got, _ = answered(capsys, "Enc", resized(m["pk"], size), m["m"], m["coins"])
            assert (got[0] == "returned") == (size >= full and size % 2 == 0), size
        # t is read from the first rows, the seed from the end.
        longer = m["pk"][:-SEED] + tail(ROW + 2) + m["pk"][-SEED:]
        assert Latkem.Enc(longer, m["m"], m["coins"]) == m["cpa_c"]


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
    ("str subclass", lambda m: Text(m.decode("latin-1")), True),
    ("bytes subclass", Bytes, False),
    ("array", lambda m: array.array("B", m), False),
]


@pytest.mark.parametrize("form, make, native", MESSAGE_FORMS, ids=[f[0] for f in MESSAGE_FORMS])
def test_Enc_message(material, capsys, form, make, native):
    m = material["rank2"]
    for size in (0, 2, 30, 31, 32, 33, 34, 100):
        got, _ = answered(capsys, "Enc", m["pk"], make((m["m"] * 4)[:size]), m["coins"],
                          native=native)
        if size >= 32 and got[0] == "returned":
            assert got[1] == m["cpa_c"]
    # Coins that fail fail first.
    answered(capsys, "Enc", m["pk"], make(b""), b"0")


@forms()
def test_Dec_text_forms(material, capsys, form, change, native):
    m = material["rank2"]
    c, sk = m["cpa_c"], m["cpa_sk"]
    got, _ = answered(capsys, "Dec", change(c), sk, native=native)
    if got[0] == "returned":
        assert len(got[1]) == 256 and set(got[1]) <= {0, 1}
    answered(capsys, "Dec", c, change(sk), native=native)
    # The key is read first: its error wins over the ciphertext's.
    answered(capsys, "Dec", b"0", change(sk), native=native)
    answered(capsys, "Dec", change(c), b"0")
    answered(capsys, "Dec", change(c[:1024]), sk, native=native)


@forms()
def test_Enc_text_forms(material, capsys, form, change, native):
    m = material["rank2"]
    pk, msg, coins = m["pk"], m["m"], m["coins"]
    answered(capsys, "Enc", change(pk), msg, coins, native=native)
    answered(capsys, "Enc", pk, msg, change(coins), native=native)
    answered(capsys, "Enc", change(pk[:ROW]), msg, change(coins), native=native)
    # The coins are read first, then the message, then the key.
    answered(capsys, "Enc", change(pk), msg, b"x")
    answered(capsys, "Enc", change(pk), msg[:5], coins)
    if native:
        answered(capsys, "Enc", b"00" * 31, msg, change(coins))
        answered(capsys, "Enc", change(pk), msg, change(coins[:2] + coins * 5))


def test_Enc_coins_length(material, capsys):
    """Coins of any length are a seed; with the nonce they may fill a block of
    the noise hash (136 bytes) or run over it."""
    m = material["rank2"]
    for size in (0, 1, 2, 62, 64, 66, 268, 270, 272, 545):
        answered(capsys, "Enc", m["pk"], m["m"], resized(m["coins"], size))


# --- other parameter sets -------------------------------------------------------------


@pytest.mark.parametrize("made, used", [("rank2", "rank3"), ("rank3", "rank2"), ("rank2", "rank4"),
                                        ("rank4", "rank2"), ("rank3", "rank4"), ("rank4", "rank3")])
def test_keys_of_another_parameter_set(material, capsys, made, used):
    """Keys and ciphertexts of one parameter set used while another is bound:
    an exception or a key, the same on both paths, never the key of the
    exchange they were made in."""
    m = material[made]
    with parameters(used):
        enc, _ = answered(capsys, "CCA_Enc", m["pk"], b"m", native=None)
        dec, _ = answered(capsys, "CCA_Dec", m["c"], m["sk"], native=None)
        answered(capsys, "Enc", m["pk"], bytes(32), b"ab" * 32, native=None)
        answered(capsys, "Dec", m["c"], m["cpa_sk"], native=None)
    assert enc[0] == "raised" or (len(enc[1]) == 2 and len(enc[1][1]) == 32)
    assert dec[0] == "raised" or dec[1] != m["key"]
    # back in its own set, the exchange still works
    with parameters(made):
        assert answered(capsys, "CCA_Dec", m["c"], m["sk"]) == (("returned", m["key"]), "")


@pytest.mark.parametrize("params", ["rank3", "rank4", "rank2-other-noise"])
def test_spellings_in_other_parameter_sets(material, capsys, params):
    """The lengths that separate results from errors follow the parameters."""
    m = material[params]
    with parameters(params):
        for form in ("short by 2", "long by 2", "mixed case", "str, non-ASCII last", "memoryview"):
            answered(capsys, "CCA_Enc", FORM[form][0](m["pk"]), b"m")
            answered(capsys, "CCA_Dec", FORM[form][0](m["c"]), m["sk"])
        answered(capsys, "CCA_Enc", m["pk"][:-64], b"m")


# --- key generation ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "d, z",
    [(bytes(31), bytes(32)), (bytes(33), bytes(32)), (b"", bytes(32)), (bytes(32), bytes(31)),
     (bytes(32), b""), (bytearray(32), bytes(32)), (bytes(32), bytearray(32)),
     ("x" * 32, bytes(32)), (bytes(32), "x" * 32), (None, bytes(32)), (bytes(32), 7),
     (memoryview(bytes(32)), bytes(32))],
    ids=["d short", "d long", "d empty", "z short", "z empty", "d bytearray", "z bytearray",
         "d str", "z str", "d None", "z int", "d memoryview"],
)
def test_key_generation_with_odd_draws(monkeypatch, capsys, d, z):
    """Odd values from the generator: an exception, or a key pair that works."""
    monkeypatch.setattr(Latkem, "random", Draws(d, z))
    native = outcome(Latkem.CCA_KeyGen, system_error_ok=False)
    monkeypatch.setattr(Latkem, "random", Draws(d, z))
    with host_only():
        host = outcome(Latkem.CCA_KeyGen, system_error_ok=False)
    assert picture(native) == picture(host)
    if native[0] == "raised":
        return
    pk, sk = native[1]
    assert len(pk) == 1600 and set(pk) <= set(b"0123456789abcdef")
    assert len(sk) == 1536 + 1600 + 64 + 2 * len(bytes(z))
    c, key = Latkem.CCA_Enc(pk, b"m")
    assert Latkem.CCA_Dec(c, sk) == key
    result = both_paths("CCA_Dec", flip_digit(c, 3), sk, capsys=capsys, system_error_ok=False)
    assert result[0] == "raised" or result[1] != key


# --- the line an error reports ------------------------------------------------------------


class Undecodable(bytes):
    """A ciphertext whose own decode fails (slices of it are plain bytes)."""

    def decode(self, *args):
        raise UnicodeError("undecodable")


@pytest.mark.parametrize(
    "call, exc, line",
    [
        (lambda pk, sk: Latkem.Dec(b"0" * 1535, sk[:1536]), binascii.Error, ("Dec", 447)),
        (lambda pk, sk: Latkem.Dec(b"0" * 1280, sk[:1536]), IndexError, ("Dec", 464)),
        (lambda pk, sk: Latkem.Enc(pk, b"short", b"00"), IndexError, ("Enc", 339)),
        (lambda pk, sk: Latkem.Enc(pk, bytes(32), b"0"), binascii.Error, ("Enc", 334)),
        (lambda pk, sk: Latkem.Enc(pk[-40:], bytes(32), b"00"), ValueError, ("Enc", 356)),
        (lambda pk, sk: Latkem.CCA_Enc(pk, "text"), TypeError, ("CCA_Enc", 668)),
        (lambda pk, sk: Latkem.CCA_Dec(b"00", 5), TypeError, ("CCA_Dec", 683)),
        (lambda pk, sk: Latkem.CCA_Dec(b"0", sk), binascii.Error, ("CCA_Dec", 688)),
        (lambda pk, sk: Latkem.CCA_Dec(Undecodable(Latkem.CCA_Enc(pk, b"m")[0]), sk),
         UnicodeError, ("CCA_Dec", 698)),
    ],
)
def test_failures_and_their_lines(keypair, call, exc, line):
    with pytest.raises(exc) as info:
        call(*keypair)
    name, number = line
    assert module_entries(info.value)[0] == ("Latkem." + name, number)
    if name == "CCA_Dec" and number == 683:
        assert str(info.value) == "'int' object is unsliceable"
