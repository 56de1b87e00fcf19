"""Wrong keys and ciphertexts for the KEM and the encryption scheme: every
wrong length and content gives an ordinary exception or, for decapsulation,
the rejection key; a ciphertext that does not match never yields the
encapsulated key; both paths answer alike wherever both run."""
import functools

import pytest

import Latkem
import kit
from kit import Draws, flip_digit, host_only, parameters, picture, rejection_key, seeded

pytestmark = pytest.mark.paths

# No input here makes the host raise SystemError: from the module it would be a fault.
both_paths = functools.partial(kit.both_paths, system_error_ok=False)
printed_both_paths = functools.partial(kit.printed_both_paths, system_error_ok=False)
outcome = functools.partial(kit.outcome, system_error_ok=False)

RANKS = [2, 3, 4]


@pytest.fixture(scope="module")
def material():
    """A key pair, a ciphertext and its key for every parameter set."""
    out = {}
    for r in RANKS:
        with seeded(100 + r), parameters("rank%d" % r):
            pk, sk = Latkem.CCA_KeyGen()
            c, key = Latkem.CCA_Enc(pk, b"message %d" % r)
        out[r] = dict(pk=pk, sk=sk, c=c, key=key, cpa_sk=sk[:768 * r])
    with seeded(99):
        out["other"] = dict(zip(("pk", "sk"), Latkem.CCA_KeyGen()))
    return out


def put(t, i, ch):
    i %= len(t)
    return t[:i] + ch + t[i + 1:]


# Malformed spellings of a hex text: (name, mutation).
MALFORMED = [
    ("empty", lambda t: b""),
    ("one digit short", lambda t: t[:-1]),
    ("one byte short", lambda t: t[:-2]),
    ("half", lambda t: t[: len(t) // 2]),
    ("one digit more", lambda t: t + b"0"),
    ("one byte more", lambda t: t + b"00"),
    ("doubled", lambda t: t + t),
    ("non-hex first", lambda t: put(t, 0, b"g")),
    ("non-hex last", lambda t: put(t, -1, b"z")),
    ("space inside", lambda t: put(t, len(t) // 2, b" ")),
    ("NUL inside", lambda t: put(t, 7, b"\x00")),
    ("high byte inside", lambda t: put(t, 9, b"\xe9")),
    ("non-ASCII str", lambda t: "é" + t[1:].decode()),
]
# Well-formed spellings that stand for other bytes or for the same ones.
RESPELLED = [
    ("upper case", lambda t: t.upper()),
    ("str", lambda t: t.decode()),
    ("upper-case str", lambda t: t.upper().decode()),
    ("bytearray", bytearray),
]
ALL = MALFORMED + RESPELLED
ids = [name for name, _ in ALL]


# --- decapsulation ---------------------------------------------------------------


@pytest.mark.parametrize("name, change", ALL, ids=ids)
def test_changed_ciphertext_never_yields_the_key(material, capsys, name, change):
    m = material[2]
    text = change(m["c"])
    result, printed = printed_both_paths(capsys, "CCA_Dec", text, m["sk"])
    if result[0] == "raised":
        return
    key = result[1]
    chars = text.encode() if isinstance(text, str) else bytes(text)
    if chars == m["c"]:  # the same ciphertext in another container
        assert (key, printed) == (m["key"], "")
        return
    assert key != m["key"]
    assert key == rejection_key(m["sk"], chars)
    assert printed == "错了\n"


@pytest.mark.parametrize("position", [0, 1, 639, 1279, 1280, 1535])
def test_every_changed_digit_gets_the_rejection_key(material, capsys, position):
    """One digit changed anywhere, in the u part and in the v part."""
    m = material[2]
    forged = flip_digit(m["c"], position)
    result, printed = printed_both_paths(capsys, "CCA_Dec", forged, m["sk"])
    assert result == ("returned", rejection_key(m["sk"], forged))
    assert result[1] != m["key"] and printed == "错了\n"


def test_valid_ciphertext_in_str_and_bytearray_gives_the_key(material, capsys):
    m = material[2]
    for text in (m["c"], m["c"].decode(), bytearray(m["c"])):
        assert printed_both_paths(capsys, "CCA_Dec", text, m["sk"]) == (("returned", m["key"]), "")


def test_ciphertext_for_another_key_pair_gets_the_rejection_key(material, capsys):
    m, other = material[2], material["other"]
    c, key = Latkem.CCA_Enc(other["pk"], b"meant for the other pair")
    result = both_paths("CCA_Dec", c, m["sk"], capsys=capsys)
    assert result == ("returned", rejection_key(m["sk"], c))
    assert result[1] != key
    # and the pair it was made for decapsulates it
    assert both_paths("CCA_Dec", c, other["sk"], capsys=capsys) == ("returned", key)


@pytest.mark.parametrize("name, change", ALL, ids=ids)
def test_changed_secret_key(material, capsys, name, change):
    """A secret key spelled otherwise gives the key where it still holds the
    same bytes; any other changed key raises or yields some other key."""
    m = material[2]
    sk = change(m["sk"])
    result = both_paths("CCA_Dec", m["c"], sk, capsys=capsys)
    if result[0] == "raised":
        return
    assert isinstance(result[1], bytes) and len(result[1]) == 32
    if name in dict(RESPELLED):
        assert result[1] == m["key"]


@pytest.mark.parametrize(
    "which",
    ["public key as secret key", "ciphertext as secret key", "secret key as ciphertext",
     "public key as ciphertext", "secret and ciphertext swapped"],
)
def test_swapped_arguments(material, capsys, which):
    m = material[2]
    args = {
        "public key as secret key": (m["c"], m["pk"]),
        "ciphertext as secret key": (m["c"], m["c"]),
        "secret key as ciphertext": (m["sk"], m["sk"]),
        "public key as ciphertext": (m["pk"], m["sk"]),
        "secret and ciphertext swapped": (m["sk"], m["c"]),
    }[which]
    result = both_paths("CCA_Dec", *args, capsys=capsys)
    assert result[0] == "raised" or result[1] != m["key"]


# --- other parameter sets ----------------------------------------------------------


@pytest.mark.parametrize("made, used", [(2, 3), (3, 2), (2, 4), (4, 2), (3, 4), (4, 3)])
def test_keys_of_another_parameter_set(material, capsys, made, used):
    """Keys and ciphertexts of one parameter set used while another is bound:
    an exception or a key, the same on both paths, never the key of the
    exchange they were made in."""
    m = material[made]
    with parameters("rank%d" % used):
        enc = both_paths("CCA_Enc", m["pk"], b"m", capsys=capsys)
        dec = both_paths("CCA_Dec", m["c"], m["sk"], capsys=capsys)
        both_paths("Enc", m["pk"], bytes(32), b"ab" * 32)
        both_paths("Dec", m["c"], m["cpa_sk"])
    assert enc[0] == "raised" or (len(enc[1]) == 2 and len(enc[1][1]) == 32)
    assert dec[0] == "raised" or dec[1] != m["key"]
    # back in its own set, the exchange still works
    with parameters("rank%d" % made):
        assert both_paths("CCA_Dec", m["c"], m["sk"], capsys=capsys) == ("returned", m["key"])


# --- encapsulation and the encryption scheme ---------------------------------------


@pytest.mark.parametrize("name, change", ALL, ids=ids)
def test_changed_public_key(material, capsys, name, change):
    m = material[2]
    pk = change(m["pk"])
    result = both_paths("CCA_Enc", pk, b"some message", capsys=capsys)
    if result[0] == "raised":
        return
    c, key = result[1]
    assert isinstance(c, bytes) and isinstance(key, bytes) and len(key) == 32
    if name in dict(RESPELLED):
        # the same public key: the exchange completes
        assert both_paths("CCA_Dec", c, m["sk"], capsys=capsys) == ("returned", key)


@pytest.mark.parametrize("slot", ["pk_cpa", "rand"])
@pytest.mark.parametrize("name, change", ALL, ids=ids)
def test_Enc_with_changed_key_or_coins(material, slot, name, change):
    m = material[2]
    args = {"pk_cpa": m["pk"], "ran_m": bytes(range(32)), "rand": b"ab" * 32}
    args[slot] = change(args[slot])
    result = both_paths("Enc", args["pk_cpa"], args["ran_m"], args["rand"])
    assert result[0] == "raised" or isinstance(result[1], bytes)


@pytest.mark.parametrize("slot", ["uv_code", "sk_cpa"])
@pytest.mark.parametrize("name, change", ALL, ids=ids)
def test_Dec_with_changed_ciphertext_or_key(material, slot, name, change):
    m = material[2]
    args = {"uv_code": m["c"], "sk_cpa": m["cpa_sk"]}
    args[slot] = change(args[slot])
    result = both_paths("Dec", args["uv_code"], args["sk_cpa"])
    if result[0] == "returned":
        assert len(result[1]) == 256 and set(result[1]) <= {0, 1}


@pytest.mark.parametrize(
    "message",
    [b"", b"x", bytes(31), bytes(33), "text", bytearray(32), memoryview(bytes(32)), 5, None,
     [0] * 32],
    ids=["empty", "one byte", "31 bytes", "33 bytes", "str", "bytearray", "memoryview", "int",
         "None", "list"],
)
def test_odd_random_values(material, capsys, message):
    m = material[2]
    result = both_paths("CCA_Enc", m["pk"], message, capsys=capsys)
    if result[0] == "returned":
        c, key = result[1]
        assert both_paths("CCA_Dec", c, m["sk"], capsys=capsys) == ("returned", key)


# --- key generation ------------------------------------------------------------------


@pytest.mark.parametrize(
    "d, z",
    [
        (bytes(31), bytes(32)),
        (bytes(33), bytes(32)),
        (b"", bytes(32)),
        (bytes(32), bytes(31)),
        (bytes(32), b""),
        (bytearray(32), bytes(32)),
        (bytes(32), bytearray(32)),
        ("x" * 32, bytes(32)),
        (bytes(32), "x" * 32),
        (None, bytes(32)),
        (bytes(32), 7),
        (memoryview(bytes(32)), bytes(32)),
    ],
    ids=["d short", "d long", "d empty", "z short", "z empty", "d bytearray", "z bytearray",
         "d str", "z str", "d None", "z int", "d memoryview"],
)
def test_key_generation_with_odd_draws(monkeypatch, capsys, d, z):
    """Odd values from the generator: an exception, or a key pair that works."""
    monkeypatch.setattr(Latkem, "random", Draws(d, z))
    native = outcome(Latkem.CCA_KeyGen)
    monkeypatch.setattr(Latkem, "random", Draws(d, z))
    with host_only():
        host = outcome(Latkem.CCA_KeyGen)
    assert picture(native) == picture(host)
    if native[0] == "raised":
        return
    pk, sk = native[1]
    assert len(pk) == 1600 and set(pk) <= set(b"0123456789abcdef")
    assert len(sk) == 1536 + 1600 + 64 + 2 * len(bytes(z))
    c, key = Latkem.CCA_Enc(pk, b"m")
    assert Latkem.CCA_Dec(c, sk) == key
    forged = flip_digit(c, 3)
    result = both_paths("CCA_Dec", forged, sk, capsys=capsys)
    assert result[0] == "raised" or result[1] != key
