"""Key exchanges from many threads at once, on both paths, while other
threads switch paths and cores, rebind globals and change inputs in place."""
import binascii
import hashlib
import os
import random
import sys
import threading
import time

import pytest

import Latkem
from kit import (FUNCTIONS, THREADS, cores, flip_digit, natively, rebound, rejection_key,
                 run_threads, run_threads_beside, seeded)

pytestmark = [pytest.mark.threads, pytest.mark.paths]



@pytest.fixture
def busy_switching():
    """Threads switch as often as the host allows."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


@pytest.fixture(scope="module")
def reference():
    """Key pairs, ciphertexts and keys computed one at a time."""
    cases = []
    with seeded(4242):
        for i in range(THREADS):
            pk, sk = Latkem.CCA_KeyGen()
            m = bytes([i]) * 32
            c, key = Latkem.CCA_Enc(pk, m)
            cases.append(dict(pk=pk, sk=sk, m=m, c=c, key=key, forged=flip_digit(c, 97 * i)))
    return cases


@pytest.mark.parametrize("which, rounds", [("native", 25), ("host", 1)])
def test_key_exchanges_in_parallel(reference, path, busy_switching, capsys, which, rounds):
    path(which)
    rejected = []

    def work(index):
        for r in range(rounds):
            case = reference[(index + r) % THREADS]
            # The same exchange as computed alone.
            assert Latkem.CCA_Enc(case["pk"], case["m"]) == (case["c"], case["key"])
            assert Latkem.CCA_Dec(case["c"], case["sk"]) == case["key"]
            got = Latkem.CCA_Dec(case["forged"], case["sk"])
            assert got == rejection_key(case["sk"], case["forged"]) != case["key"]
            rejected.append(1)
            # A fresh key pair of this thread's own.
            pk, sk = Latkem.CCA_KeyGen()
            c, key = Latkem.CCA_Enc(pk, os.urandom(32))
            assert Latkem.CCA_Dec(c, sk) == key

    run_threads(work)
    # One line per rejection (print may interleave the line ends of threads).
    out = capsys.readouterr().out
    assert out.replace("\n", "") == "错了" * len(rejected) and out.count("\n") == len(rejected)
    assert len(rejected) == THREADS * rounds


def test_paths_switched_while_threads_run(reference, path, busy_switching, capsys):
    """Switching functions between the paths during the calls of other
    threads changes no result."""
    def switcher(stop):
        rng = random.Random(1)
        while not stop.is_set():
            rng.choice(FUNCTIONS)._native = rng.random() < 0.5

    def work(index):
        case = reference[index]
        for _ in range(3):
            assert Latkem.CCA_Enc(case["pk"], case["m"]) == (case["c"], case["key"])
            assert Latkem.CCA_Dec(case["c"], case["sk"]) == case["key"]

    path("native")
    run_threads_beside(switcher, work, 4)
    assert capsys.readouterr().out == ""


class PerThread:
    """Stands in for the `random` module: each thread draws from a generator
    of its own, so that its key pairs do not depend on the other threads."""

    def __init__(self):
        self.local = threading.local()

    def seed(self, value):
        self.local.rng = random.Random(value)

    def randbytes(self, count):
        return self.local.rng.getrandbits(8 * count).to_bytes(count, "little")


def test_core_switch():
    in_use = Latkem.H._core
    assert "portable" in cores() and Latkem.H._core == in_use
    for bad, error in (("sse", ValueError), ("portable\0", ValueError), (b"portable", TypeError)):
        with pytest.raises(error):
            Latkem.H._core = bad
    assert Latkem.H._core == in_use


def test_exchanges_while_other_threads_rebind_globals(reference, busy_switching, capsys):
    """While one thread rebinds globals, to equivalent values (some keeping the
    native path, some sending the key exchange to the host path) and to
    values that change results, and switches the native core, every call of
    the others returns what it returns with one of those bindings in force."""
    H, G, kdf = Latkem.H, Latkem.G, Latkem.kdf
    bindings = [
        {},
        dict(H=lambda data: H(data), G=lambda data: G(data), kdf=lambda s, n: kdf(s, n)),
        dict(q=int("3329"), kk=int("2")),
        dict(eta1=2),
        dict(eta2=3),
        dict(kdf=lambda s, n: kdf(s, n)[::-1]),
    ]
    rounds = 12
    draws = PerThread()
    with rebound(random=draws):
        # What each call may return: its result under each binding, one at a time.
        allowed = [[set(), set(), set()] for _ in reference]
        key_pairs = [[set() for _ in range(rounds)] for _ in range(THREADS)]
        for binding in bindings:
            with rebound(**binding):
                for case, (enc, dec, forged) in zip(reference, allowed):
                    enc.add(Latkem.CCA_Enc(case["pk"], case["m"]))
                    dec.add(Latkem.CCA_Dec(case["c"], case["sk"]))
                    forged.add(Latkem.CCA_Dec(case["forged"], case["sk"]))
                for index in range(THREADS):
                    draws.seed(index)
                    for found in key_pairs[index]:
                        found.add(Latkem.CCA_KeyGen())
        assert all(len(found) > 1 for results in allowed + key_pairs for found in results)
        # A call that runs host code midway (the wrappers above, the print of
        # a rejection) may see one binding before it and another after: its
        # key then comes from either kdf.
        for enc, dec, forged in allowed:
            enc |= {(c, key[::-1]) for c, key in enc}
            dec |= {key[::-1] for key in dec}
        capsys.readouterr()

        names = cores()

        def rebinder(stop):
            rng = random.Random(5)
            while not stop.is_set():
                Latkem.H._core = rng.choice(names)
                binding = rng.choice(bindings)
                saved = {name: getattr(Latkem, name) for name in binding}
                for name, value in binding.items():
                    setattr(Latkem, name, value)
                time.sleep(rng.choice((0, 1e-4)))
                for name, value in saved.items():
                    setattr(Latkem, name, value)

        def work(index):
            draws.seed(index)
            for r in range(rounds):
                at = (index + r) % THREADS
                case, (enc, dec, forged) = reference[at], allowed[at]
                assert Latkem.CCA_Enc(case["pk"], case["m"]) in enc
                assert Latkem.CCA_Dec(case["c"], case["sk"]) in dec
                assert Latkem.CCA_Dec(case["forged"], case["sk"]) in forged
                assert Latkem.CCA_KeyGen() in key_pairs[index][r]

        try:
            run_threads_beside(rebinder, work)
        finally:
            Latkem.H._core = names[0]
    capsys.readouterr()


def test_calls_that_release_the_lock_in_parallel(busy_switching):
    """Calls whose core work runs without the host's lock, many at once on
    the same input objects: the results of a serial run, every call counted
    once, and the inputs' reference counts as they were."""
    seed = bytes(range(32))
    text = binascii.hexlify(bytes(range(256)) * 16)
    calls = [(Latkem.Genkey, seed), (Latkem.H, text), (Latkem.kdf, seed, 3000),
             (Latkem.G, text)]
    expected = [fn(*args) for fn, *args in calls]
    assert expected[1] == binascii.hexlify(hashlib.sha3_256(bytes(range(256)) * 16).digest())
    counts = [fn._native_calls for fn, *_ in calls]
    references = [sys.getrefcount(seed), sys.getrefcount(text)]
    rounds = 40

    def work(index):
        for _ in range(rounds):
            assert [fn(*args) for fn, *args in calls] == expected

    run_threads(work)
    assert [fn._native_calls - c for (fn, *_), c in zip(calls, counts)] == [natively(THREADS * rounds)] * 4
    assert [sys.getrefcount(seed), sys.getrefcount(text)] == references


def test_inputs_changed_in_place_by_another_thread(reference, busy_switching):
    """A bytearray argument that another thread overwrites meanwhile is read
    as it was before or as it was after, never half of each."""
    case = reference[0]
    messages = [bytes([1]) * 32, bytes([2]) * 32]
    texts = [binascii.hexlify(bytes([i]) * 32768) for i in (1, 2)]
    encapsulated = {Latkem.CCA_Enc(case["pk"], m) for m in messages}
    digests = {Latkem.H(t) for t in texts}
    message, text = bytearray(messages[0]), bytearray(texts[0])
    def overwrite(stop):
        i = 0
        while not stop.is_set():
            i ^= 1
            message[:] = messages[i]
            text[:] = texts[i]

    def work(index):
        for _ in range(100):
            assert Latkem.CCA_Enc(case["pk"], message) in encapsulated
            assert Latkem.H(text) in digests

    run_threads_beside(overwrite, work, 4)


def test_failures_in_parallel_keep_their_own_traceback_entries(reference, busy_switching):
    """Exceptions raised at once in many threads each carry the entries of the
    call that raised them."""

    def work(index):
        sk = reference[index]["sk"]
        for _ in range(30):
            with pytest.raises(TypeError) as info:
                Latkem.CCA_Dec(b"00", 5)
            names = [tb.tb_frame.f_code.co_name for tb in walk(info.value.__traceback__)]
            assert names[-1] == "Latkem.CCA_Dec"
            with pytest.raises(binascii.Error) as info:
                Latkem.CCA_Dec(b"0", sk)
            names = [tb.tb_frame.f_code.co_name for tb in walk(info.value.__traceback__)]
            assert names[-2:] == ["Latkem.CCA_Dec", "Latkem.Dec"]

    run_threads(work)


def walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next
