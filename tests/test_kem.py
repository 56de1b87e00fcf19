"""Key generation, encryption and key encapsulation end to end."""
import binascii
import hashlib
import json
import os
import random
import subprocess
import sys

import pytest

import Latkem
from kit import PARAMETER_SETS, BitsOnly, Draws, flip_digit, module_entries, rejection_key

pytestmark = [pytest.mark.paths, pytest.mark.emulated, pytest.mark.installed]

VECTORS = os.path.join(os.path.dirname(__file__), "vectors")


def load(kind):
    with open(os.path.join(VECTORS, "%s.json" % kind)) as f:
        return json.load(f)["tests"]


def is_lower_hex(data):
    return isinstance(data, bytes) and all(c in b"0123456789abcdef" for c in data)


# --- formats -----------------------------------------------------------------


def test_key_and_ciphertext_formats(keypair):
    pk, sk = keypair
    assert is_lower_hex(pk) and len(pk) == 1600
    assert is_lower_hex(sk) and len(sk) == 3264
    assert sk[1536:3136] == pk
    assert sk[3136:3200] == Latkem.H(pk)
    c, key = Latkem.CCA_Enc(pk, b"\x01" * 32)
    assert is_lower_hex(c) and len(c) == 1536
    assert type(key) is bytes and len(key) == 32


def test_genkey_layout_and_determinism():
    seed = bytes(range(32))
    result = Latkem.Genkey(seed)
    assert type(result) is list and len(result) == 2
    pk, sk = result
    assert (len(pk), len(sk)) == (1600, 1536)
    assert pk[-64:] == binascii.hexlify(hashlib.sha3_512(seed).digest()[:32])
    assert Latkem.Genkey(seed) == result
    assert Latkem.Genkey(b"") != result
    # every 12-bit field of both keys holds a residue
    for key in (binascii.unhexlify(pk)[:768], binascii.unhexlify(sk)):
        for i in range(0, len(key), 3):
            assert key[i] + 256 * (key[i + 1] & 15) < 3329
            assert (key[i + 1] >> 4) + 16 * key[i + 2] < 3329


# --- the public vectors ----------------------------------------------------------


def cases(kind, host_count):
    """All vectors on the native path; the first few on the host path too."""
    tests = load(kind)
    return [pytest.param(c, "native", id="tc%d-native" % c["tcId"]) for c in tests] + [
        pytest.param(c, "host", id="tc%d-host" % c["tcId"]) for c in tests[:host_count]
    ]


@pytest.mark.parametrize("case, which", cases("keygen", 3))
@pytest.mark.vectors
def test_keygen_vectors(case, which, rebind, path):
    path(which)
    d, z = bytes.fromhex(case["d"]), bytes.fromhex(case["z"])
    draws = Draws(d, z)
    rebind(random=draws)
    pk, sk = Latkem.CCA_KeyGen()
    assert draws.asked == [32, 32]
    assert pk == case["ek"].encode()
    assert sk == case["dk"].encode()
    assert Latkem.Genkey(d) == [case["ek"].encode(), case["dk"][:1536].encode()]


@pytest.mark.parametrize("case, which", cases("encap", 3))
@pytest.mark.vectors
def test_encapsulation_vectors(case, which, path):
    path(which)
    ek, m = case["ek"].encode(), bytes.fromhex(case["m"])
    K, r = Latkem.G(m + binascii.unhexlify(Latkem.H(ek)))
    assert Latkem.Enc(ek, m, binascii.hexlify(r)) == case["c"].encode()
    assert K.hex() == case["k"]


@pytest.mark.parametrize("case, which", cases("decap", 2))
@pytest.mark.vectors
def test_decapsulation_vectors(case, which, path):
    path(which)
    dk, c = case["dk"], case["c"]
    bits = Latkem.Dec(c, dk[:1536])
    m = Latkem.bits_to_bytes("".join(str(b) for b in bits))
    K, r = Latkem.G(m + binascii.unhexlify(dk[3136:3200]))
    again = Latkem.Enc(dk[1536:3136], m, binascii.hexlify(r))
    if case["reason"] == "no modification":
        assert again == c.encode()
        assert K.hex() == case["k"]
    else:
        assert again != c.encode()


# --- key exchange ------------------------------------------------------------------


@pytest.mark.parametrize("which", ["native", "host"])
@pytest.mark.parametrize("as_text", [False, True])
def test_round_trip(keypair, as_text, which, path, capsys):
    path(which)
    pk, sk = keypair
    c, key = Latkem.CCA_Enc(pk, os.urandom(32))
    if as_text:
        c, sk = c.decode(), sk.decode()
    assert Latkem.CCA_Dec(c, sk) == key
    assert capsys.readouterr().out == ""


def test_encapsulation_is_deterministic(keypair):
    pk, _ = keypair
    assert Latkem.CCA_Enc(pk, b"seed") == Latkem.CCA_Enc(pk, b"seed")
    assert Latkem.CCA_Enc(pk, b"") != Latkem.CCA_Enc(pk, b"seed")


@pytest.mark.parametrize(
    "forge",
    [
        lambda c: c.upper(),
        lambda c: c[:100] + (b"0" if c[100:101] != b"0" else b"1") + c[101:],
        lambda c: c[:-1] + (b"0" if c[-1:] != b"0" else b"1"),
    ],
    ids=["upper-case", "digit-changed", "last-digit-changed"],
)
@pytest.mark.parametrize("which", ["native", "host"])
def test_forged_ciphertext_gets_the_rejection_key(keypair, forge, which, path, capsys):
    path(which)
    pk, sk = keypair
    c, key = Latkem.CCA_Enc(pk, b"\x07" * 32)
    forged = forge(c)
    result = Latkem.CCA_Dec(forged, sk)
    assert result != key
    assert result == rejection_key(sk, forged)
    assert Latkem.CCA_Dec(forged, sk) == result
    assert capsys.readouterr().out == "错了\n错了\n"


def claiming(answer):
    """A str subclass whose equality answers `answer` whatever it is compared with."""

    class Claiming(str):
        def __eq__(self, other):
            return answer

        __hash__ = str.__hash__

    return Claiming


class Plain(str):
    pass


def key_if_taken(sk, text):
    """The key CCA_Dec gives for a ciphertext that its comparison takes for
    the re-encryption: from the message it decrypts to, computed beside the
    module's own decryption."""
    rows = 2 * 256
    bits = Latkem.Dec(text, sk[:3 * rows])
    m = bytes(sum(bits[8 * i + j] << j for j in range(8)) for i in range(32))
    k_bar = hashlib.sha3_512(m + binascii.unhexlify(sk[6 * rows + 64:6 * rows + 128])).digest()[:32]
    digest = hashlib.sha3_256(binascii.unhexlify(text)).digest()
    return hashlib.shake_256(k_bar + digest).digest(32)


@pytest.mark.parametrize("which", ["native", "host"])
def test_ciphertext_comparison_of_str_subclasses(keypair, which, path, capsys):
    """The comparison with the re-encryption is the host's `==`, in which the
    ciphertext's own __eq__ comes first when it is a str subclass."""
    path(which)
    pk, sk = keypair
    c, key = Latkem.CCA_Enc(pk, b"\x07" * 32)
    forged = flip_digit(c, 100)
    assert key_if_taken(sk, c) == key
    # Told it differs: the rejection.
    assert Latkem.CCA_Dec(claiming(False)(c.decode()), sk) == rejection_key(sk, c)
    assert capsys.readouterr().out == "错了\n"
    # Told it is the same: the key of the message the forgery decrypts to.
    assert Latkem.CCA_Dec(claiming(True)(forged.decode()), sk) == key_if_taken(sk, forged)
    assert capsys.readouterr().out == ""
    # Without an __eq__ of its own, str's.
    assert Latkem.CCA_Dec(Plain(c.decode()), sk) == key
    assert Latkem.CCA_Dec(Plain(forged.decode()), sk) == rejection_key(sk, forged)
    assert capsys.readouterr().out == "错了\n"


class Unwritable:
    def write(self, text):
        raise OSError("stream closed")

    def flush(self):
        pass


@pytest.mark.parametrize("which", ["native", "host"])
def test_failing_rejection_print(keypair, path, monkeypatch, which):
    path(which)
    pk, sk = keypair
    c, _ = Latkem.CCA_Enc(pk, b"m")
    monkeypatch.setattr(sys, "stdout", Unwritable())
    with pytest.raises(OSError, match="stream closed") as info:
        Latkem.CCA_Dec(flip_digit(c, 5), sk)
    assert module_entries(info.value) == [("Latkem.CCA_Dec", 704)]


def test_upper_case_ciphertext_still_decrypts_to_the_message(keypair):
    pk, sk = keypair
    m = bytes(range(32))
    c = Latkem.Enc(pk, m, b"00" * 32)
    bits = Latkem.Dec(c.upper(), sk[:1536].upper())
    assert Latkem.bits_to_bytes("".join(map(str, bits))) == m


def test_reproducible_after_seeding():
    state = random.getstate()
    try:
        random.seed(99)
        first = Latkem.CCA_KeyGen()
        second = Latkem.CCA_KeyGen()
        random.seed(99)
        assert Latkem.CCA_KeyGen() == first
    finally:
        random.setstate(state)
    assert first != second


def test_generator_without_randbytes(rebind):
    rebind(random=BitsOnly(5))
    keys = Latkem.CCA_KeyGen()
    r = random.Random(5)
    d = r.getrandbits(256).to_bytes(32, "little")
    z = r.getrandbits(256).to_bytes(32, "little")
    rebind(random=Draws(d, z))
    assert Latkem.CCA_KeyGen() == keys


@pytest.mark.parametrize("params, sizes", [("rank3", (2368, 4800, 2176)),
                                           ("rank4", (3136, 6336, 3136))])
@pytest.mark.parametrize("which", ["native", "host"])
def test_larger_ranks(rebind, params, sizes, which, path, capsys):
    path(which)
    rebind(**PARAMETER_SETS[params])
    pk, sk = Latkem.CCA_KeyGen()
    c, key = Latkem.CCA_Enc(pk, b"rank")
    assert (len(pk), len(sk), len(c)) == sizes
    assert Latkem.CCA_Dec(c, sk) == key
    assert capsys.readouterr().out == ""


# --- CPA encryption and decryption ----------------------------------------------------


def test_message_bits_and_bit_order(keypair):
    pk, sk = keypair
    cpa_sk = sk[:1536]
    coins = b"ab" * 32
    for m in (bytes(32), b"\xff" * 32, bytes(range(1, 33))):
        bits = Latkem.Dec(Latkem.Enc(pk, m, coins), cpa_sk)
        assert type(bits) is list and len(bits) == 256
        assert bits == [(m[i // 8] >> (i % 8)) & 1 for i in range(256)]
    plain = Latkem.Enc(pk, bytes(32), coins)
    one = Latkem.Enc(pk, b"\x01" + bytes(31), coins)
    assert one[:1280] == plain[:1280] and one != plain
    # a longer message is cut to its first 32 bytes
    assert Latkem.Enc(pk, bytes(32) + b"tail", coins) == plain


def test_special_ciphertexts(keypair):
    _, sk = keypair
    assert Latkem.Dec(b"0" * 1536, sk[:1536]) == [0] * 256
    assert Latkem.Dec(b"0" * 1280 + b"8" * 256, sk[:1536]) == [1] * 256


# --- failures ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "params, message, line",
    [
        (dict(n=6), "n值应为为2的幂次", 268),
        (dict(k=12), "q should be equal to k*n+1", 271),
        (dict(n=8, k=6, q=49), "q should be prime", 275),
    ],
)
def test_parameter_checks(rebind, params, message, line):
    rebind(**params)
    with pytest.raises(ValueError) as info:
        Latkem.CCA_KeyGen()
    assert str(info.value) == message
    assert module_entries(info.value) == [("Latkem.CCA_KeyGen", 654), ("Latkem.Genkey", line)]


# --- the self-demonstration -----------------------------------------------------------


def test_self_demonstration_runs_a_key_exchange():
    out = subprocess.run(
        [sys.executable, "-m", "latkem_demo"], capture_output=True, text=True, check=True
    ).stdout.splitlines()
    labels = [line.split(" ", 1)[0] for line in out]
    assert labels == ["cca_pk:", "cca_sk:", "Cipher:", "K1:", "K2:"]
    assert out[3].split(" ", 1)[1] == out[4].split(" ", 1)[1]
