"""What the native paths leave in memory once a call has returned: no piece
of a secret on the stack below the call (the module's buffers, the core's
copies and frames), nor in the heap blocks the module freed meanwhile
(copies of a bytearray or memoryview argument, long decoded texts, the
building blocks' streams).  Needs the probe of a module built with
LATKEM_WIPE_PROBE=ON (latkem_alg/frame/probe.cpp, .ci/wipes); skipped on other
builds.  The core's operations are the C++ self-test's to check, on every
core."""
import array
import binascii
import ctypes
import hashlib
import random

import pytest

import Latkem
from kit import NATIVE, seeded


def load_probe():
    try:
        lib = ctypes.PyDLL(Latkem.__file__)
        arm, stack, freed = lib.latkem_probe_arm, lib.latkem_probe_stack, lib.latkem_probe_freed
    except (OSError, AttributeError):
        return None
    for read in (stack, freed):
        read.restype = ctypes.c_longlong
        read.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    return arm, stack, freed


PROBE = load_probe()
pytestmark = [pytest.mark.wipes,
              pytest.mark.skipif(PROBE is None or not NATIVE,
                                 reason="needs a native build made with LATKEM_WIPE_PROBE=ON")]


def read(fn):
    size = fn(None, 0)
    assert size >= 0, "more freed than the probe keeps"
    out = ctypes.create_string_buffer(max(size, 1))
    fn(out, size)
    return out.raw[:size]


def pieces(value):
    """The pieces of a secret that tell it apart from what other code leaves
    behind, as the core's self-test takes them: every 8-byte word with seven
    different byte values (nearly every word of random bytes, or of their
    hex; no pointer, counter or padding), and the 16-byte pieces at
    multiples of 8 with three and at most eight zero bytes (a polynomial of
    small coefficients)."""
    words = {value[i:i + 8] for i in range(len(value) - 7) if len(set(value[i:i + 8])) >= 7}
    return words | {value[i:i + 16] for i in range(0, len(value) - 15, 8)
                    if len(set(value[i:i + 16])) >= 3 and value[i:i + 16].count(0) <= 8}


def left_behind(call, secrets):
    """Calls call() with the probe armed; the names of the secrets a piece
    of which is then on the stack below the call or in a freed block."""
    arm, stack, freed = PROBE
    arm()
    result = call()
    memory = read(stack) + b"|" + read(freed)
    return [name for name, value in secrets(result).items()
            if any(piece in memory for piece in pieces(value))]


def secret_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def coefficients(values):
    """A polynomial as the module holds it: 16-bit coefficients."""
    return array.array("h", values).tobytes()


@pytest.fixture(scope="module")
def keys():
    rng = random.Random(2718)
    with seeded(2718):
        pk, sk = Latkem.CCA_KeyGen()
    cpa_pk, cpa_sk = Latkem.Genkey(secret_bytes(rng, 32))
    return dict(rng=rng, pk=pk, sk=sk, cpa_pk=cpa_pk, cpa_sk=cpa_sk)


def sk_parts(sk):
    raw = binascii.unhexlify(sk)
    return {"secret key": raw[:768], "z": raw[-32:]}


def encapsulation(m, pk, key):
    """The secrets of CCA_Enc(pk, m) that gave `key`."""
    m_hash = hashlib.sha3_256(m).digest()
    split = hashlib.sha3_512(m_hash + hashlib.sha3_256(binascii.unhexlify(pk)).digest()).digest()
    return {"message": m, "message digest": m_hash, "pre-key": split[:32], "coins": split[32:],
            "shared key": key}


def case_Genkey(k):
    seed = secret_bytes(k["rng"], 32)
    return lambda: Latkem.Genkey(seed), lambda r: {
        "seed": seed, "secret key": binascii.unhexlify(r[1])}


def case_Enc(k):
    # The message and the coins' hex in bytearrays: the module copies them.
    m, coins = secret_bytes(k["rng"], 32), secret_bytes(k["rng"], 32)
    hexed = binascii.hexlify(coins)
    return lambda: Latkem.Enc(k["cpa_pk"], bytearray(m), bytearray(hexed)), lambda r: {
        "message": m, "coins": coins, "coins' hex": hexed}


def case_Enc_long_coins(k):
    # Coins longer than any key: decoded into memory of their own.
    coins = secret_bytes(k["rng"], 2000)
    m = secret_bytes(k["rng"], 32)
    return lambda: Latkem.Enc(k["cpa_pk"], m, binascii.hexlify(coins)), lambda r: {
        "message": m, "coins": coins}


def case_Dec(k):
    m = secret_bytes(k["rng"], 32)
    ct = Latkem.Enc(k["cpa_pk"], m, binascii.hexlify(secret_bytes(k["rng"], 32)))
    return lambda: Latkem.Dec(ct, bytearray(k["cpa_sk"])), lambda r: {
        "message": m, "secret key": binascii.unhexlify(k["cpa_sk"]),
        "secret key's hex": k["cpa_sk"]}


def case_CCA_KeyGen(k):
    return Latkem.CCA_KeyGen, lambda r: sk_parts(r[1])


def case_CCA_Enc(k):
    m = secret_bytes(k["rng"], 32)
    return lambda: Latkem.CCA_Enc(k["pk"], bytearray(m)), lambda r: encapsulation(m, k["pk"], r[1])


def case_CCA_Enc_longer_key(k):
    # A key a byte longer: the hashes and the key derivation outside the
    # fused encapsulation.
    m, pk = secret_bytes(k["rng"], 32), k["pk"] + b"00"
    return lambda: Latkem.CCA_Enc(pk, m), lambda r: encapsulation(m, pk, r[1])


def case_CCA_Dec(k):
    ct, key = Latkem.CCA_Enc(k["pk"], secret_bytes(k["rng"], 32))
    return lambda: Latkem.CCA_Dec(ct, k["sk"]), lambda r: dict(sk_parts(k["sk"]), **{
        "shared key": key})


def case_CCA_Dec_longer_ciphertext(k):
    # Rejected without decryption: the rejection key from z and H(c).
    ct, _ = Latkem.CCA_Enc(k["pk"], secret_bytes(k["rng"], 32))
    return lambda: Latkem.CCA_Dec(ct + b"00", k["sk"]), lambda r: dict(sk_parts(k["sk"]), **{
        "rejection key": r})


def case_ntt3(k):
    poly = [k["rng"].randrange(3329) for _ in range(256)]
    return lambda: Latkem.ntt3(poly), lambda r: {
        "polynomial": coefficients(poly), "transform": coefficients(r)}


def case_intt3(k):
    poly = [k["rng"].randrange(3329) for _ in range(256)]
    return lambda: Latkem.intt3(poly), lambda r: {
        "transform": coefficients(poly), "polynomial": coefficients(r)}


def case_ntt3_mul(k):
    a, b = ([k["rng"].randrange(3329) for _ in range(256)] for _ in range(2))
    return lambda: Latkem.ntt3_mul(a, b), lambda r: {
        "factor": coefficients(a), "other factor": coefficients(b), "product": coefficients(r)}


def case_CBD(k):
    stream = binascii.hexlify(secret_bytes(k["rng"], 192))
    return lambda: Latkem.CBD(stream, 3), lambda r: {
        "stream": binascii.unhexlify(stream), "noise": coefficients(r)}


def case_PRF(k):
    seed = secret_bytes(k["rng"], 32)
    return lambda: Latkem.PRF(seed, b"\x01", 3), lambda r: {
        "seed": seed, "stream": binascii.unhexlify(r)}


def case_G(k):
    m = secret_bytes(k["rng"], 64)
    return lambda: Latkem.G(m), lambda r: {"input": m, "pre-key and coins": r[0] + r[1]}


def case_H(k):
    # H of a message's hex, as the host path of CCA_Enc takes it.
    m = secret_bytes(k["rng"], 32)
    return lambda: Latkem.H(binascii.hexlify(m)), lambda r: {
        "message": m, "digest": binascii.unhexlify(r)}


CASES = {name[5:]: case for name, case in dict(globals()).items() if name.startswith("case_")}


@pytest.mark.parametrize("name", CASES)
def test_no_secret_left_in_memory(keys, name, capsys):
    call, secrets = CASES[name](keys)
    fn = getattr(Latkem, name.split("_long")[0])
    # Once before the probe: the first time a call reaches a function of
    # the host's libraries (the rejection's print), their lazy binding saves
    # the vector registers on the stack, with what the native path left in
    # them: not a buffer of the module's.
    call()
    before = fn._native_calls
    assert left_behind(call, secrets) == []
    assert fn._native_calls == before + 1, "the native path did not answer"
    capsys.readouterr()
