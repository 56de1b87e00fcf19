"""The native paths of the hash wrappers, the encryption scheme and the key
encapsulation give exactly what the host path gives: results, types, errors,
traceback entries and printed lines."""
import binascii
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Latkem
from helpers import host_only, outcome

SLOW = settings(max_examples=8, deadline=None, suppress_health_check=list(HealthCheck))
FAST = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))


def same_both_ways(name, *args, capsys=None):
    fn = getattr(Latkem, name)
    native = outcome(fn, *args)
    printed = capsys.readouterr().out if capsys else None
    with host_only():
        host = outcome(fn, *args)
    if capsys:
        assert capsys.readouterr().out == printed
    assert native == host
    return native


@pytest.fixture(scope="module")
def keys():
    state = random.getstate()
    random.seed(7)
    try:
        return Latkem.CCA_KeyGen()
    finally:
        random.setstate(state)


hex_text = st.binary(max_size=48).map(binascii.hexlify)
mangled_hex = st.one_of(
    hex_text.map(lambda h: h.upper()),
    hex_text.map(lambda h: h.decode()),
    hex_text.map(lambda h: h + b"0"),
    hex_text.map(lambda h: h + b"zz"),
    hex_text.map(lambda h: "é" + h.decode()),
    st.integers(),
    st.none(),
    st.binary(max_size=8).map(bytearray),
)


@FAST
@given(st.one_of(hex_text, mangled_hex))
def test_H(data):
    same_both_ways("H", data)


@FAST
@given(st.one_of(st.binary(max_size=200), st.text(max_size=4), st.binary(max_size=8).map(bytearray)))
def test_G(data):
    same_both_ways("G", data)


@FAST
@given(
    st.one_of(st.binary(max_size=40), st.integers(0, 3), st.text(max_size=2)),
    st.one_of(st.binary(max_size=2), st.integers(0, 3), st.lists(st.integers(0, 255), max_size=2)),
    st.one_of(st.integers(-1, 4), st.floats(0, 2), st.none()),
)
def test_PRF(ss, bd, eta):
    same_both_ways("PRF", ss, bd, eta)


@FAST
@given(
    st.one_of(st.binary(min_size=30, max_size=34), st.text(max_size=2)),
    st.one_of(st.integers(-1, 256), st.floats(0, 2)),
    st.integers(-1, 256),
)
def test_XOF(seed, a, b):
    same_both_ways("XOF", seed, a, b)


@FAST
@given(st.one_of(st.binary(max_size=80), st.text(max_size=2)), st.one_of(st.integers(-2, 300), st.none()))
def test_kdf(data, length):
    same_both_ways("kdf", data, length)


@SLOW
@given(st.one_of(st.binary(max_size=70), st.text(max_size=2), st.binary(max_size=8).map(bytearray)))
def test_Genkey(seed):
    same_both_ways("Genkey", seed)


@SLOW
@given(
    st.sampled_from(["as-is", "upper", "str", "short", "long", "bad-digit"]),
    st.binary(min_size=30, max_size=40),
    st.one_of(hex_text, mangled_hex),
)
def test_Enc(keys, form, message, coins):
    pk = keys[0]
    pk = {
        "as-is": pk,
        "upper": pk.upper(),
        "str": pk.decode(),
        "short": pk[:-2],
        "long": pk + b"00",
        "bad-digit": b"g" + pk[1:],
    }[form]
    same_both_ways("Enc", pk, message, coins)


@SLOW
@given(
    st.binary(min_size=768, max_size=768).map(binascii.hexlify),
    st.sampled_from(["as-is", "upper", "str", "short", "long", "bad-digit"]),
)
def test_Dec(keys, ciphertext, form):
    sk = keys[1][:1536]
    text = {
        "as-is": ciphertext,
        "upper": ciphertext.upper(),
        "str": ciphertext.decode(),
        "short": ciphertext[:-2],
        "long": ciphertext + b"00",
        "bad-digit": ciphertext[:-1] + b"x",
    }[form]
    same_both_ways("Dec", text, sk)
    same_both_ways("Dec", ciphertext, bytes(sk).upper())


@SLOW
@given(st.integers(0, 2**32))
def test_CCA_KeyGen_with_the_same_draws(seed):
    state = random.getstate()
    try:
        random.seed(seed)
        native = Latkem.CCA_KeyGen()
        random.seed(seed)
        with host_only():
            host = Latkem.CCA_KeyGen()
    finally:
        random.setstate(state)
    assert native == host


@SLOW
@given(st.one_of(st.binary(max_size=64), st.text(max_size=2), st.binary(max_size=8).map(bytearray)))
def test_CCA_Enc(keys, m):
    same_both_ways("CCA_Enc", keys[0], m)


@SLOW
@given(
    st.binary(max_size=32),
    st.sampled_from(["valid", "upper", "str", "flipped", "short", "random"]),
    st.sampled_from(["as-is", "str", "upper", "short"]),
)
def test_CCA_Dec(keys, capsys, m, c_form, sk_form):
    pk, sk = keys
    c, _ = Latkem.CCA_Enc(pk, m)
    text = {
        "valid": c,
        "upper": c.upper(),
        "str": c.decode(),
        "flipped": c[:-1] + (b"1" if c[-1:] == b"0" else b"0"),
        "short": c[:-2],
        "random": binascii.hexlify(bytes(random.Random(len(m)).getrandbits(8) for _ in range(768))),
    }[c_form]
    key = {"as-is": sk, "str": sk.decode(), "upper": sk.upper(), "short": sk[:-2]}[sk_form]
    same_both_ways("CCA_Dec", text, key, capsys=capsys)


@pytest.mark.parametrize(
    "params",
    [dict(kk=3, eta1=2), dict(kk=4, eta1=2, du=11, dv=5), dict(kk=2, eta1=2, eta2=3, du=11, dv=5)],
    ids=["rank3", "rank4", "rank2-other-noise"],
)
def test_other_parameter_sets(monkeypatch, capsys, params):
    for name, value in params.items():
        monkeypatch.setattr(Latkem, name, value)
    state = random.getstate()
    try:
        random.seed(11)
        pk, sk = Latkem.CCA_KeyGen()
        random.seed(11)
        with host_only():
            assert Latkem.CCA_KeyGen() == (pk, sk)
    finally:
        random.setstate(state)
    same_both_ways("CCA_Enc", pk, b"m")
    c, key = Latkem.CCA_Enc(pk, b"m")
    same_both_ways("CCA_Dec", c, sk, capsys=capsys)
    assert Latkem.CCA_Dec(c, sk) == key
    forged = c[:-1] + (b"1" if c[-1:] == b"0" else b"0")
    same_both_ways("CCA_Dec", forged, sk, capsys=capsys)


@pytest.mark.parametrize(
    "name, value",
    [
        ("q", 3329.0),
        ("n", 128),
        ("kk", 1),
        ("eta1", 1),
        ("du", 12),
        ("zetas", None),
        ("binascii", None),
        ("G", None),
    ],
)
def test_rebound_globals_are_honoured(keys, monkeypatch, capsys, name, value):
    """A global that no longer holds its initial value sends every call that
    relies on it to the host path, whatever the change does there."""
    if name == "zetas":
        value = list(Latkem.zetas)
        value[5] = 0
    elif name == "binascii":
        class Proxy:
            hexlify = staticmethod(binascii.hexlify)
            unhexlify = staticmethod(lambda data: binascii.unhexlify(data)[::-1])
        value = Proxy()
    elif name == "G":
        value = lambda data: (b"\x01" * 32, b"\x02" * 32)  # noqa: E731
    pk, sk = keys
    monkeypatch.setattr(Latkem, name, value)
    c = pk[:1536]
    for call in (("Genkey", b"seed"), ("Enc", pk, b"m" * 32, b"00"), ("Dec", c, sk[:1536]),
                 ("CCA_Enc", pk, b"m"), ("CCA_Dec", c, sk), ("H", pk)):
        same_both_ways(*call, capsys=capsys)


def test_table_changed_in_place(keys, capsys):
    pk, sk = keys
    saved = Latkem.zetas[7]
    Latkem.zetas[7] = 1
    try:
        same_both_ways("CCA_Enc", pk, b"m")
        same_both_ways("Genkey", b"seed")
    finally:
        Latkem.zetas[7] = saved


def test_native_path_is_taken_for_well_formed_input(keys):
    pk, sk = keys
    c, _ = Latkem.CCA_Enc(pk, b"m")
    calls = [("H", pk), ("G", b"x"), ("PRF", b"s" * 32, b"\x00", 3), ("XOF", b"s" * 32, 0, 1),
             ("kdf", b"x", 32), ("Genkey", b"d" * 32), ("Enc", pk, b"m" * 32, b"00" * 32),
             ("Dec", c, sk[:1536]), ("CCA_KeyGen",), ("CCA_Enc", pk, b"m"), ("CCA_Dec", c, sk)]
    for name, *args in calls:
        fn = getattr(Latkem, name)
        before = fn._native_calls
        fn(*args)
        assert fn._native_calls == before + 1, name
    with host_only():
        for name, *args in calls:
            fn = getattr(Latkem, name)
            before = fn._native_calls
            fn(*args)
            assert fn._native_calls == before, name
