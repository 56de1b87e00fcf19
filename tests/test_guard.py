"""When the native path may answer: each function's `_reads` checked against
what its host path does, and host programs that try to make the two paths
disagree (switched module classes, user code inside the guard's own check or
inside a call, the recursion limit, a `random` without the draw methods)."""
import binascii
import contextlib
import ctypes
import hashlib
import io
import operator
import random
import sys
import types

import numpy as np
import pytest

import Latkem
from kit import FUNCTIONS, NATIVE, host_only, outcome, picture, rebound

pytestmark = pytest.mark.guard

# Hosts from 3.12 on count calls from C against a limit of their own; from
# 3.14 on they check the machine stack instead of counting.
C_LIMIT = sys.version_info >= (3, 12)
STACK_RULE = sys.version_info >= (3, 14)
BY_NAME = {fn.__name__: fn for fn in FUNCTIONS}


def function(name):
    return BY_NAME["CCA_Dec" if name == "rejected" else name]


@pytest.fixture(scope="module")
def samples():
    """Arguments for every function, all of a kind its native path takes."""
    random.seed(7)
    pk, sk = Latkem.CCA_KeyGen()
    ct, _ = Latkem.CCA_Enc(pk, b"m" * 32)
    cpa_pk, cpa_sk = Latkem.Genkey(b"d" * 32)
    poly = [random.randrange(3329) for _ in range(256)]
    bits = "01" * 1536
    forged = ct[:-1] + (b"0" if ct[-1:] != b"0" else b"1")
    return {
        "CBD": (Latkem.PRF(b"s" * 32, b"\x01", 3), 3), "PRF": (b"s" * 32, b"\x01", 3),
        "H": (b"00ff",), "ntt3_mul": (poly, poly[::-1]), "ntt3": (poly,), "intt3": (poly,),
        "Genkey": (b"d" * 32,), "Enc": (cpa_pk, b"m" * 32, b"ab" * 32),
        "Dec": (Latkem.Enc(cpa_pk, b"m" * 32, b"ab" * 32), cpa_sk), "XOF": (b"r" * 32, 1, 0),
        "G": (b"g" * 32,), "Parse": (Latkem.XOF(b"r" * 32, 0, 0),),
        "encode": ([Latkem.decode(bits, 12)], 12), "decode": (bits, 12),
        "hex_to_bits": (b"00ff",), "bits_to_bytes": ("01" * 128,), "kdf": (b"k" * 64, 32),
        "CCA_KeyGen": (), "CCA_Enc": (pk, b"m" * 32), "CCA_Dec": (ct, sk),
        "rejected": (forged, sk),
    }


def run(name, args, native=True):
    """Outcome and whether the native path answered, with the draws seeded and
    standard output caught."""
    fn = function(name)
    before = fn._native_calls
    random.seed(11)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        if native:
            got = picture(outcome(fn, *args))
        else:
            with host_only():
                got = picture(outcome(fn, *args))
    return (got, out.getvalue()), fn._native_calls > before


class Int(int):
    pass


def stand_in(value):
    """A different object that behaves as `value` does."""
    if isinstance(value, types.ModuleType):
        copy = types.ModuleType(value.__name__)
        vars(copy).update(vars(value))
        return copy
    if type(value) is int:
        return Int(value)
    if type(value) is list:
        return list(value)
    if callable(value):
        return lambda *a, **k: value(*a, **k)
    pytest.fail("no stand-in for %r" % (value,))


# Tests of when the guard lets the native path answer; a build with host
# paths only has no guard to test.
guarded = pytest.mark.skipif(not NATIVE, reason="host paths only: no native path to guard")


@guarded
def test_reads_are_what_the_host_path_reads(samples):
    """Rebinding a global outside `_reads` keeps the native path and the result;
    rebinding one inside it hands the call to the host path.  And the host path
    does not touch any global outside the set (`random` is drawn from on both
    paths alike)."""
    names = [k for k in vars(Latkem) if not k.startswith("__")]
    for name, args in samples.items():
        fn = function(name)
        expected, went_native = run(name, args)
        assert went_native, name
        reads = fn._reads
        assert reads <= set(names) | {r for r in reads if "." in r}, name
        for g in names:
            with rebound(**{g: stand_in(vars(Latkem)[g])}):
                got, went_native = run(name, args)
            assert (got, went_native) == (expected, g not in reads), (name, g)
        for dotted in sorted(r for r in reads if "." in r):
            owner, attr = dotted.split(".")
            module = vars(Latkem)[owner]
            original = getattr(module, attr)
            setattr(module, attr, stand_in(original))
            try:
                got, went_native = run(name, args)
            finally:
                setattr(module, attr, original)
            assert (got, went_native) == (expected, False), (name, dotted)
        poison = {g: object() for g in names if g not in reads and g != "random"}
        # Host modules keep only the attributes the set names.
        for g in [r for r in reads if "." not in r]:
            if isinstance(vars(Latkem)[g], types.ModuleType):
                poison[g] = types.ModuleType(g)
                for dotted in reads:
                    if dotted.startswith(g + "."):
                        attr = dotted[len(g) + 1:]
                        setattr(poison[g], attr, getattr(vars(Latkem)[g], attr))
        with rebound(**poison):
            assert run(name, args, native=False)[0] == expected, name


def upper_hexlify(data):
    return binascii.hexlify(data).upper()


@guarded
@pytest.mark.parametrize("owner, attr, replacement, name", [
    ("binascii", "hexlify", upper_hexlify, "H"),
    ("hashlib", "sha3_256", hashlib.sha3_512, "H"),
    ("hashlib", "shake_256", hashlib.shake_128, "PRF"),
    ("math", "gcd", lambda a, b: 2, "Genkey"),
    ("np", "zeros", np.ones, "decode"),
])
def test_module_class_switched_to_one_with_its_own_lookup(samples, owner, attr, replacement,
                                                          name):
    module = vars(Latkem)[owner]

    class Lazy(types.ModuleType):
        def __getattribute__(self, key):
            if key == attr:
                return replacement
            return super().__getattribute__(key)

    module.__class__ = Lazy
    try:
        native = run(name, samples[name])
        host = run(name, samples[name], native=False)
    finally:
        module.__class__ = types.ModuleType
    assert native == (host[0], False)
    assert run(name, samples[name])[1]


def test_user_code_inside_the_guards_check(samples):
    """Keys whose hashes collide with the names the guard looks up run user
    code inside its lookups; what that code changes is seen, not absorbed."""
    changed = []

    class Colliding:
        armed = False

        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            # The callee is looked up after the globals: rebind one of those.
            if Colliding.armed and not changed and self.name == "ntt3_mul0":
                changed.append(self.name)
                vars(Latkem)["q"] = 3331
                # A call from here works the guard's answer out anew inside
                # the outer check; the outer one must still see the change.
                BY_NAME["ntt3_mul"](*samples["ntt3_mul"])
            return False

    with rebound():
        # Put in first, the colliding keys come first in the lookups.
        d = vars(Latkem)
        saved = dict(d)
        d.clear()
        for name in saved["ntt3_mul"]._reads:
            d[Colliding(name)] = None
        d.update(saved)
        Colliding.armed = True
        native = run("ntt3_mul", samples["ntt3_mul"])
        assert changed and Latkem.q == 3331
        host = run("ntt3_mul", samples["ntt3_mul"], native=False)
    assert native == (host[0], False)


@guarded
def test_guard_check_that_never_settles(samples):
    """User code that changes the module dictionary in every round of the
    guard's check, however many rounds it makes: each round sees `q` as
    bound, and each leaves it rebound.  The guard gives up and the host path
    answers, with `q` as it is then, not the native path with `q` as the
    last round saw it."""

    class Colliding:
        # The guard looks up "math" first and "CCA_Dec" last in each round.
        armed = False

        def __init__(self, name, q):
            self.name, self.q = name, q

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            if Colliding.armed:
                vars(Latkem)["q"] = self.q()
            return False

    args = samples["ntt3_mul"]
    with rebound(q=3331):
        expected = run("ntt3_mul", args, native=False)[0]
    with rebound():
        d = vars(Latkem)
        saved = dict(d)
        d.clear()
        d[Colliding("math", lambda: int("3329"))] = None
        d[Colliding("CCA_Dec", lambda: 3331)] = None
        d.update(saved)
        Colliding.armed = True
        got = run("ntt3_mul", args)
        Colliding.armed = False
    assert got == (expected, False)


class Rebinding:
    """Draws from the real generator; the draw numbered `at` rebinds a global."""

    def __init__(self, at, **values):
        self.at, self.values, self.count = at, values, 0

    def randbytes(self, n):
        self.count += 1
        if self.count == self.at:
            vars(Latkem).update(self.values)
        return random.randbytes(n) if hasattr(random, "randbytes") else \
            random.getrandbits(8 * n).to_bytes(n, "little")


def odd_hash(data):
    return b"0" * 64


def hex_module(**attrs):
    m = stand_in(binascii)
    vars(m).update(attrs)
    return m


@pytest.mark.parametrize("at, values", [
    (1, {"H": odd_hash}),
    (1, {"binascii": hex_module(hexlify=upper_hexlify)}),
    (2, {"binascii": hex_module(hexlify=upper_hexlify)}),
    (2, {"binascii": hex_module(unhexlify=lambda x: binascii.unhexlify(x)[::-1])}),
], ids=["H-first", "hexlify-first", "hexlify-second", "unhexlify-second"])
def test_draws_that_rebind_globals(at, values):
    results = []
    for native in (True, False):
        with rebound(random=Rebinding(at, **values)):
            results.append(run("CCA_KeyGen", (), native)[0])
    assert results[0] == results[1]


@pytest.mark.parametrize("values", [
    {"kdf": lambda data, size: b"k" * size},
    {"H": odd_hash},
    {"binascii": hex_module(unhexlify=lambda x: binascii.unhexlify(x)[::-1])},
], ids=["kdf", "H", "unhexlify"])
def test_rejection_print_that_rebinds_globals(samples, values):
    class Out(io.StringIO):
        def write(self, text):
            vars(Latkem).update(values)
            return super().write(text)

    results = []
    for native in (True, False):
        with rebound():
            fn = Latkem.CCA_Dec
            random.seed(11)
            with contextlib.redirect_stdout(Out()) as out:
                if native:
                    got = picture(outcome(fn, *samples["rejected"]))
                else:
                    with host_only():
                        got = picture(outcome(fn, *samples["rejected"]))
            results.append((got, out.getvalue()))
    assert results[0] == results[1]
    assert results[0][1] == "错了\n"


def chain_call(depth, fn, args):
    """Calls fn beneath `depth` nested calls from C."""
    return operator.call(*([operator.call] * depth), fn, *args)


def beneath(fn, *args):
    """fn(*args), called from C."""
    return list(map(lambda _: fn(*args), (0,)))[0]


class SoftLimit:
    """The thread's soft stack limit moved to a chosen address, through the
    host's unstable interface for stack protection (3.14 on): the host
    checks calls from C against that limit, failing those made below it
    and within two margins (32 KiB) of it."""

    api = ctypes.pythonapi

    def __init__(self):
        self.api.PyThreadState_Get.restype = ctypes.c_void_p
        self.api.PyUnstable_ThreadState_SetStackProtection.argtypes = [
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.api.PyUnstable_ThreadState_ResetStackProtection.argtypes = [ctypes.c_void_p]

    def call(self, soft, fn, args):
        """fn(*args) with the soft limit at `soft`.  The call is made from
        beneath two calls from C into Python, so that the limit is put back
        from a frame well above any check it fails."""
        state = self.api.PyThreadState_Get()
        reset = self.api.PyUnstable_ThreadState_ResetStackProtection
        start = soft - (32 << 10)
        assert self.api.PyUnstable_ThreadState_SetStackProtection(state, start, 1 << 24) == 0
        try:
            return beneath(beneath, fn, *args)
        finally:
            reset(state)

    def passes(self, soft):
        try:
            self.call(soft, len, ((),))
            return True
        except RecursionError:
            return False

    @staticmethod
    def stack_top():
        """The top of this thread's stack, as the host itself finds it."""
        libc = ctypes.CDLL(None)
        libc.pthread_self.restype = ctypes.c_ulong
        attr = ctypes.create_string_buffer(256)
        assert libc.pthread_getattr_np(ctypes.c_ulong(libc.pthread_self()), attr) == 0
        base, size = ctypes.c_void_p(), ctypes.c_size_t()
        assert libc.pthread_attr_getstack(attr, ctypes.byref(base), ctypes.byref(size)) == 0
        libc.pthread_attr_destroy(attr)
        return base.value + size.value

    def highest(self):
        """The highest soft limit a trivial call from here passes with."""
        soft = self.stack_top() - (2 << 20)
        while self.passes(soft):  # from far below the stack pointer up to it
            soft += 512
        lo, hi = soft - 512, soft
        while hi - lo > 1:
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if self.passes(mid) else (lo, mid)
        return lo


def budget_limits():
    """The budgets to try, from none left to plenty, and a way to call with one."""
    if STACK_RULE:
        limit = SoftLimit()
        top = limit.highest()
        # Budgets in steps of 64 bytes of stack, up to 256 KiB.
        return [lambda fn, args, k=k: limit.call(top - 64 * k, fn, args) for k in range(4096)]
    if C_LIMIT:
        lo, hi = 0, 100000
        while lo < hi:  # the deepest chain a trivial call survives
            mid = (lo + hi + 1) // 2
            try:
                chain_call(mid, len, ((),))
                lo = mid
            except RecursionError:
                hi = mid - 1
        return [lambda fn, args, k=k: chain_call(lo - k, fn, args) for k in range(0, 80)]

    def with_limit(fn, args, k):
        old = sys.getrecursionlimit()
        lowest = len(inspect_stack())
        while True:  # the lowest limit the host accepts here
            try:
                sys.setrecursionlimit(lowest)
                break
            except RecursionError:
                lowest += 1
        try:
            sys.setrecursionlimit(lowest + k)
            return descend(40, fn, args)
        finally:
            sys.setrecursionlimit(old)

    return [lambda fn, args, k=k: with_limit(fn, args, k) for k in range(0, 80)]


def descend(levels, fn, args):
    """Calls fn `levels` Python frames further down."""
    return descend(levels - 1, fn, args) if levels else fn(*args)


def inspect_stack():
    frames, f = [], sys._getframe()
    while f is not None:
        frames.append(f)
        f = f.f_back
    return frames


def near_limit(name, args, call, native):
    fn = function(name)
    random.seed(11)
    with contextlib.redirect_stdout(io.StringIO()):
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(host_only())
            return picture(outcome(call, fn, args))


@pytest.mark.parametrize("name", [
    "CBD", "PRF", "H", "ntt3_mul", "ntt3", "intt3", "Genkey", "Enc", "Dec", "XOF", "G", "Parse",
    "encode", "decode", "hex_to_bits", "bits_to_bytes", "kdf", "CCA_KeyGen", "CCA_Enc", "CCA_Dec",
    "rejected"])
def test_near_the_recursion_limit(samples, name):
    """The native path answers only where the host path has the depth it needs,
    and every failure keeps its traceback entries, the second one too."""
    calls = budget_limits()
    args = samples[name]
    host = {}

    def host_at(i):
        if i not in host:
            host[i] = near_limit(name, args, calls[i], False)
        return host[i]

    lo, hi = 0, len(calls) - 1  # the least budget the host path returns with
    assert host_at(lo)[:2] == ("raised", RecursionError) and host_at(hi)[0] == "returned"
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if host_at(mid)[0] == "returned" else (mid, hi)
    # One level short, the call fails inside the function, which says so.
    assert host_at(lo)[3][:1] == [("Latkem." + function(name).__name__, host_at(lo)[3][0][1])]

    fn = function(name)

    def native_at(i):  # at the same depth as host_at; and whether it answered
        before = fn._native_calls
        got = near_limit(name, args, calls[i], True)
        return got, fn._native_calls > before

    for i in (lo, lo, hi, len(calls) - 1):
        assert native_at(i)[0] == host_at(i), i
    if not NATIVE:
        return  # host paths only: nothing answers natively
    # The least budget the native path answers with is one the host path
    # returns with.  Where the host checks the stack, the native path keeps
    # a bound of the host path's stack between itself and the limit: closer
    # than that it steps aside, and the outcome is the host path's.
    n_lo, n_hi = lo, len(calls) - 1
    assert not native_at(n_lo)[1] and native_at(n_hi)[1]
    while n_hi - n_lo > 1:
        mid = (n_lo + n_hi) // 2
        n_lo, n_hi = (n_lo, mid) if native_at(mid)[1] else (mid, n_hi)
    assert n_hi >= hi and native_at(n_hi)[0] == host_at(n_hi), (n_hi, hi)
    if STACK_RULE:
        print("stack", name, "host needs", 64 * hi, "native steps aside below", 64 * n_hi)


@pytest.mark.parametrize("native", [True, False])
def test_random_without_the_draw_methods(entries, native):
    class Plain:
        pass

    class Bits:
        def getrandbits(self, k):
            return random.getrandbits(k)

    with rebound(random=Plain()):
        with contextlib.ExitStack() as stack:
            if not native:
                stack.enter_context(host_only())
            with pytest.raises(AttributeError) as info:
                Latkem.CCA_KeyGen()
            assert str(info.value) == "'Plain' object has no attribute 'randbytes'"
            assert entries(info.value) == [("Latkem.CCA_KeyGen", 652)]
            with rebound(random=Bits()):
                random.seed(5)
                got = Latkem.CCA_KeyGen()
    random.seed(5)
    assert got == Latkem.CCA_KeyGen()
