"""CCA_Enc and CCA_Dec on what a peer may send: keys and ciphertexts of any
length, case and container, broken hex, the wrong type.  Each case runs on
the native path (the call is counted there) and gives exactly what the host
path gives: the result and its type, or the exception, its message and the
module's traceback entries, and the printed lines."""
import array
import binascii
import io
import sys

import pytest

import Latkem
from kit import (PARAMETER_SETS, flip_digit, host_only, natively, printed_both_paths, rebound,
                 rejection_key, seeded)

pytestmark = pytest.mark.paths

REJECTED = "错了\n"


def native_as_host(capsys, name, *args):
    """The outcome of a call that the native path answers, checked against
    the host path's; returns it with what was printed."""
    fn = getattr(Latkem, name)
    before = fn._native_calls
    result, printed = printed_both_paths(capsys, name, *args, system_error_ok=False)
    assert fn._native_calls == before + natively(1), "not answered by the native path"
    return result, printed


@pytest.fixture(scope="module")
def exchange():
    with seeded(77):
        pk, sk = Latkem.CCA_KeyGen()
    c, key = Latkem.CCA_Enc(pk, b"message")
    return pk, sk, c, key


class Bytes(bytes):
    pass


class Text(str):
    pass


def mixed_case(text):
    return text[:len(text) // 2].upper() + text[len(text) // 2:]


# Hex text in each form, from the bytes version of a valid key or ciphertext.
FORMS = {
    "as given": lambda t: t,
    "empty": lambda t: b"",
    "short by 2": lambda t: t[:-2],
    "long by 2": lambda t: t + b"00",
    "much longer": lambda t: t * 5,
    "odd, one more": lambda t: t + b"0",
    "odd, one less": lambda t: t[:-1],
    "non-hex at start": lambda t: b"g" + t[1:],
    "non-hex in middle": lambda t: t[:701] + b"x" + t[702:],
    "non-hex at end": lambda t: t[:-1] + b"z",
    "non-hex past the end": lambda t: t + b"zz",
    "upper case": lambda t: t.upper(),
    "mixed case": mixed_case,
    "one digit changed": lambda t: flip_digit(t, 9),
    "str": lambda t: t.decode(),
    "str, long by 2": lambda t: t.decode() + "00",
    "str, short by 2": lambda t: t.decode()[:-2],
    "str, upper case": lambda t: t.decode().upper(),
    "str, non-ASCII": lambda t: t.decode()[:-1] + "é",
    "bytearray": bytearray,
    "bytearray, long by 2": lambda t: bytearray(t + b"00"),
    "bytearray, short by 2": lambda t: bytearray(t[:-2]),
    "bytearray, upper case": lambda t: bytearray(t.upper()),
    "memoryview": memoryview,
    "memoryview, long by 2": lambda t: memoryview(t + b"00"),
    "memoryview, short by 2": lambda t: memoryview(t[:-2]),
    "memoryview, non-hex": lambda t: memoryview(b"x" + t[1:]),
    "memoryview of 32-bit items": lambda t: memoryview(t).cast("I"),
    "int": lambda t: 5,
    "None": lambda t: None,
    "list": lambda t: list(t[:4]),
    "float": lambda t: 1.5,
}


@pytest.mark.parametrize("form", FORMS)
def test_CCA_Dec_ciphertext(capsys, exchange, form):
    pk, sk, c, key = exchange
    text = FORMS[form](c)
    result, printed = native_as_host(capsys, "CCA_Dec", text, sk)
    if result[0] == "raised":
        assert printed == ""
        return
    accepted = form in ("as given", "str", "bytearray")
    raw = text.encode() if isinstance(text, str) else bytes(text)
    assert result[1] == (key if accepted else rejection_key(sk, raw))
    assert printed == ("" if accepted else REJECTED)


@pytest.mark.parametrize("sk_form", ["bytes", "str", "upper case"])
@pytest.mark.parametrize("form", ["long by 2", "short by 2", "odd, one more", "str, non-ASCII",
                                  "memoryview", "int"])
def test_CCA_Dec_ciphertext_with_each_key_form(capsys, exchange, form, sk_form):
    pk, sk, c, key = exchange
    sk = {"bytes": sk, "str": sk.decode(), "upper case": sk.upper()}[sk_form]
    native_as_host(capsys, "CCA_Dec", FORMS[form](c), sk)


@pytest.mark.parametrize("form", FORMS)
def test_CCA_Enc_public_key(capsys, exchange, form):
    pk, sk, c, key = exchange
    result, _ = native_as_host(capsys, "CCA_Enc", FORMS[form](pk), b"message")
    if form in ("as given", "upper case", "mixed case", "str", "str, upper case", "bytearray",
                "bytearray, upper case", "memoryview"):
        assert result == ("returned", (c, key))


@pytest.mark.parametrize("size", [0, 31, 32, 33, 799, 801, 1600])
def test_CCA_Enc_public_key_of_each_length(capsys, exchange, size):
    """Shorter than the seed, than the rows, or longer than both: the rows
    come from the front and the seed from the end."""
    pk = exchange[0]
    raw = (binascii.unhexlify(pk) * 2)[:size - 32] + binascii.unhexlify(pk)[-32:] if size >= 32 \
        else binascii.unhexlify(pk)[:size]
    native_as_host(capsys, "CCA_Enc", binascii.hexlify(raw), b"message")


@pytest.mark.parametrize("m", [
    b"", b"m" * 32, bytes(range(256)) * 40, bytearray(b"message"), memoryview(b"message"),
    memoryview(bytes(range(32))).cast("I"), "message", "é", Text("message"), 7, None, [1, 2]],
    ids=["empty", "32 bytes", "10240 bytes", "bytearray", "memoryview",
         "memoryview of 32-bit items", "str", "non-ASCII str", "str subclass", "int", "None",
         "list"])
def test_CCA_Enc_message(capsys, exchange, m):
    native_as_host(capsys, "CCA_Enc", exchange[0], m)


def test_CCA_Enc_message_error_comes_before_the_key(capsys, exchange):
    native_as_host(capsys, "CCA_Enc", b"zz", "message")
    native_as_host(capsys, "CCA_Enc", b"00", "message")


@pytest.mark.parametrize("form", ["bytes subclass", "str subclass", "array", "strided memoryview",
                                  "released memoryview"])
def test_inputs_the_native_path_cannot_place(capsys, exchange, form):
    pk, sk, c, key = exchange

    def make(t):
        if form == "released memoryview":
            view = memoryview(t)
            view.release()
            return view
        return {"bytes subclass": Bytes, "str subclass": lambda t: Text(t.decode()),
                "array": lambda t: array.array("B", t),
                "strided memoryview": lambda t: memoryview(t * 2)[::2]}[form](t)

    calls = [("CCA_Dec", (make(c), sk)), ("CCA_Enc", (make(pk), b"m"))]
    if form != "str subclass":  # as a message, refused for certain (below)
        calls.append(("CCA_Enc", (pk, make(b"message"))))
    # binascii refuses a memoryview it cannot read as bytes before running any
    # code of the caller's: the native path hands it over for that error.
    native = form.endswith("memoryview")
    for name, args in calls:
        fn = getattr(Latkem, name)
        before = fn._native_calls
        printed_both_paths(capsys, name, *args, system_error_ok=False)
        assert fn._native_calls == before + natively(native)


@pytest.mark.parametrize("params", ["rank3", "rank4", "rank2-other-noise"])
def test_other_parameter_sets(capsys, params):
    """The lengths that separate results from errors follow the parameters."""
    with rebound(**PARAMETER_SETS[params]):
        with seeded(5):
            pk, sk = Latkem.CCA_KeyGen()
        c, key = Latkem.CCA_Enc(pk, b"m")
        for form in ("short by 2", "long by 2", "mixed case", "str, non-ASCII"):
            native_as_host(capsys, "CCA_Enc", FORMS[form](pk), b"m")
            native_as_host(capsys, "CCA_Dec", FORMS[form](c), sk)
        native_as_host(capsys, "CCA_Dec", memoryview(c), sk)
        native_as_host(capsys, "CCA_Enc", pk[:-64], b"m")


def test_rejected_bytearray_read_before_the_print(exchange):
    """The rejection key hashes the text as it was before the print, when the
    print itself changes the bytearray and a global the last statement reads
    (so the rest runs as the host runs it)."""
    pk, sk, c, key = exchange
    outcomes = []
    for native in (True, False):
        text = bytearray(c + b"00")

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
                    outcomes.append(Latkem.CCA_Dec(text, sk))
                    assert Latkem.CCA_Dec._native_calls == before + natively(1)
                else:
                    with host_only():
                        outcomes.append(Latkem.CCA_Dec(text, sk))
                printed = sys.stdout.getvalue()
            finally:
                sys.stdout = saved
        assert printed == REJECTED
    assert outcomes[0] == outcomes[1] == rejection_key(sk, c + b"00")
