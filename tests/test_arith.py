"""Tests of the modular reductions, the NTT and the transform-domain multiplication."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import Latkem

from kit import DELETE, N, Q, module_entries, rebound


# ---------------------------------------------------------------------------
# Independent references


def brv7(i):
    return int(format(i, "07b")[::-1], 2)


GAMMA_ZETA = [pow(17, brv7(i), Q) for i in range(128)]


def ntt_ref(f):
    """The transform written plainly (layers of butterflies), on plain residues."""
    f = [x % Q for x in f]
    i = 1
    length = 128
    while length >= 2:
        for start in range(0, 256, 2 * length):
            z = GAMMA_ZETA[i]
            i += 1
            for j in range(start, start + length):
                t = z * f[j + length] % Q
                f[j + length] = (f[j] - t) % Q
                f[j] = (f[j] + t) % Q
        length //= 2
    return f


def negacyclic(f, g):
    """f * g modulo X^256 + 1 and q, by schoolbook multiplication."""
    h = [0] * 256
    for i, a in enumerate(f):
        if a:
            for j, b in enumerate(g):
                k = i + j
                if k < 256:
                    h[k] += a * b
                else:
                    h[k - 256] -= a * b
    return [x % Q for x in h]


def monomial(k):
    v = [0] * N
    v[k] = 1
    return v


poly = st.lists(st.integers(-(10**6), 10**6), min_size=N, max_size=N)
residues = st.lists(st.integers(0, Q - 1), min_size=N, max_size=N)


# ---------------------------------------------------------------------------
# mont_red, mont_mul, barrett_red


@pytest.mark.parametrize(
    "xx, expected",
    [(0, 0), (1, 169), (2285, 1), (3329, 0), (-1, 3160), (10**20, 196)],
)
def test_mont_red_examples(xx, expected):
    r = Latkem.mont_red(xx)
    assert r == expected and type(r) is int


@pytest.mark.parametrize("xx, expected", [(2.5, 422.5), (-2.5, 2906.5)])
def test_mont_red_float_stays_float(xx, expected):
    r = Latkem.mont_red(xx)
    assert r == expected and type(r) is float


@pytest.mark.parametrize(
    "aa, bb, expected", [(2285, 2285, 2285), (3328, 3328, 169), (-1, 1, 3160)]
)
def test_mont_mul_examples(aa, bb, expected):
    assert Latkem.mont_mul(aa, bb) == expected


@pytest.mark.parametrize(
    "xx, expected",
    [
        (3329, 0),
        (6657, 3328),
        (-1, 3328),
        (-3330, 3328),
        (-23303, 0),
        (77519093, 3328),
        (77519094, 3329),
        (-23304, -1),
        (10**9, 41638),
        (2.9, 2),
        (-2.9, 3327),
        ("17", 17),
        (True, 1),
    ],
)
def test_barrett_red_examples(xx, expected):
    r = Latkem.barrett_red(xx)
    assert r == expected and type(r) is int


@given(st.integers(-(10**12), 10**12))
@settings(max_examples=25, deadline=None)
def test_reductions_congruent(x):
    assert Latkem.mont_red(x) == x * 169 % Q
    assert Latkem.mont_mul(x, 7) == x * 7 * 169 % Q
    r = Latkem.barrett_red(x)
    assert (r - x) % Q == 0
    if -23303 <= x <= 77519093:
        assert r == x % Q


@given(st.integers(-23303, 77519093))
@settings(max_examples=25, deadline=None)
def test_barrett_red_exact_range(x):
    assert Latkem.barrett_red(x) == x % Q


def test_reductions_read_globals_at_each_use():
    with rebound(q=17):
        assert Latkem.mont_red(1) == 169 % 17
    with rebound(mont_inv=1):
        assert Latkem.mont_red(5) == 5
        assert Latkem.mont_mul(3, 4) == 12
    calls = []
    with rebound(mont_red=lambda cc: calls.append(cc) or "seen"):
        assert Latkem.mont_mul(6, 7) == "seen"
    assert calls == [42]
    # bar_r = 0: no quotient estimate, so only the one conditional subtraction
    with rebound(bar_r=0):
        assert Latkem.barrett_red(5000) == 5000 - Q
        assert Latkem.barrett_red(100) == 100
    assert Latkem.mont_red(1) == 169


@pytest.mark.parametrize(
    "call, exc_type, message, entries",
    [
        (lambda: Latkem.barrett_red("abc"), ValueError, "invalid literal",
         [("Latkem.barrett_red", 93)]),
        (lambda: Latkem.barrett_red(None), TypeError, None, [("Latkem.barrett_red", 93)]),
        (lambda: Latkem.mont_red(None), TypeError, None, [("Latkem.mont_red", 81)]),
        # "x" * 169 is a string; the floor modulo then formats it
        (lambda: Latkem.mont_red("x"), TypeError, "not all arguments converted",
         [("Latkem.mont_red", 81)]),
        (lambda: Latkem.mont_mul("a", "b"), TypeError, None, [("Latkem.mont_mul", 87)]),
        (lambda: Latkem.mont_mul(None, 1), TypeError, None, [("Latkem.mont_mul", 87)]),
        (lambda: Latkem.mont_mul([1], 2), TypeError, None,
         [("Latkem.mont_mul", 89), ("Latkem.mont_red", 81)]),
    ],
)
def test_reduction_failures(call, exc_type, message, entries):
    with pytest.raises(exc_type) as info:
        call()
    if message:
        assert message in str(info.value)
    assert module_entries(info.value) == entries


@pytest.mark.parametrize(
    "name, call, entries",
    [
        ("q", lambda: Latkem.mont_red(1), [("Latkem.mont_red", 81)]),
        ("mont_inv", lambda: Latkem.mont_red(1), [("Latkem.mont_red", 81)]),
        ("mont_red", lambda: Latkem.mont_mul(1, 2), [("Latkem.mont_mul", 89)]),
        ("bar_r", lambda: Latkem.barrett_red(1), [("Latkem.barrett_red", 95)]),
        ("bar_k", lambda: Latkem.barrett_red(1), [("Latkem.barrett_red", 95)]),
        ("q", lambda: Latkem.barrett_red(1), [("Latkem.barrett_red", 97)]),
        ("q", lambda: Latkem.ntt3(list(range(N))), [("Latkem.ntt3", 182)]),
        ("n", lambda: Latkem.ntt3(list(range(N))), [("Latkem.ntt3", 177)]),
        ("zetas", lambda: Latkem.ntt3(list(range(N))), [("Latkem.ntt3", 178)]),
        ("zetas", lambda: Latkem.intt3(list(range(N))), [("Latkem.intt3", 204)]),
        ("q", lambda: Latkem.ntt3_mul0(1, 2, 3, 4, 5), [("Latkem.ntt3_mul0", 154)]),
        ("ntt3_mul0", lambda: Latkem.ntt3_mul([0] * N, [0] * N), [("Latkem.ntt3_mul", 139)]),
        ("n", lambda: Latkem.ntt3_mul([0] * N, [0] * N), [("Latkem.ntt3_mul", 144)]),
    ],
)
def test_missing_global(name, call, entries):
    with rebound(**{name: DELETE}):
        with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
            call()
    assert module_entries(info.value)[: len(entries)] == entries


# ---------------------------------------------------------------------------
# ntt3, intt3


def test_ntt3_of_one():
    assert Latkem.ntt3([1] + [0] * (N - 1)) == [1, 0] * 128


def test_ntt3_of_zero_is_ints():
    r = Latkem.ntt3([0] * N)
    assert r == [0] * N and all(type(x) is int for x in r)


def test_transform_examples():
    assert Latkem.ntt3(list(range(N)))[:4] == [2429, 2845, 425, 795]
    assert Latkem.intt3(list(range(N)))[:4] == [127, 128, 2133, 2133]


def test_negative_entry_same_as_its_residue():
    f = list(range(N))
    g = list(f)
    f[5], g[5] = -1, 3328
    assert Latkem.ntt3(f) == Latkem.ntt3(g)


def test_long_input():
    v = [x * 1000 for x in range(300)]
    r = Latkem.ntt3(v)
    assert len(r) == 300
    assert r[:N] == Latkem.ntt3(v[:N])
    assert r[N:] == [x % Q for x in v[N:]]
    r = Latkem.intt3(v)
    assert len(r) == 300
    assert r[:N] == Latkem.intt3(v[:N])
    assert r[N:] == v[N:]


@pytest.mark.parametrize(
    "fn, vvv, exc_type, line",
    [
        (Latkem.ntt3, [0] * 100, IndexError, 182),
        (Latkem.intt3, [0] * 100, IndexError, 208),
        (Latkem.intt3, [0] * 99, IndexError, 209),
        (Latkem.ntt3, [0] * 255, IndexError, 182),
        (Latkem.ntt3, 5, TypeError, 169),
        (Latkem.intt3, 5, TypeError, 195),
        (Latkem.ntt3, {1: 1}, KeyError, 171),
        (Latkem.intt3, {1: 1}, KeyError, 197),
        (Latkem.ntt3, [None] * N, TypeError, 182),
        (Latkem.intt3, [None] * N, TypeError, 209),
        (Latkem.ntt3, ["a"] * N, TypeError, 182),
    ],
)
def test_transform_failures(fn, vvv, exc_type, line):
    with pytest.raises(exc_type) as info:
        fn(vvv)
    assert module_entries(info.value) == [("Latkem." + fn.__name__, line)]


def test_transform_global_n_is_read_by_the_loops():
    # a float n still works where n is only compared, but range(n) refuses it
    with rebound(n=256.0):
        assert Latkem.ntt3(list(range(N)))[:4] == [2429, 2845, 425, 795]
        with pytest.raises(TypeError) as info:
            Latkem.intt3(list(range(N)))
        assert module_entries(info.value) == [("Latkem.intt3", 215)]
        with pytest.raises(TypeError) as info:
            Latkem.ntt3_mul([0] * N, [0] * N)
        assert module_entries(info.value) == [("Latkem.ntt3_mul", 144)]
    # n = 512 lets the group loop run past the 128 table entries
    with rebound(n=512):
        with pytest.raises(IndexError) as info:
            Latkem.ntt3([0] * 512)
        assert module_entries(info.value) == [("Latkem.ntt3", 178)]


def test_transforms_use_literal_169_not_mont_inv():
    expected = Latkem.ntt3(list(range(N)))
    with rebound(mont_inv=1):
        assert Latkem.ntt3(list(range(N))) == expected


def test_rebound_zetas_seen_at_next_use():
    v = list(range(N))
    expected = Latkem.ntt3(v)
    with rebound(zetas=[0] * 128):
        # every twiddle product vanishes: each butterfly copies its lower entry
        # up, so entry j ends as v[j % 2]
        assert Latkem.ntt3(v) == [0, 1] * 128
    assert Latkem.ntt3(v) == expected


@given(poly)
@settings(max_examples=25, deadline=None)
def test_ntt3_matches_the_reference(f):
    assert Latkem.ntt3(f) == ntt_ref(f)


@given(poly)
@settings(max_examples=25, deadline=None)
def test_roundtrip(f):
    r = Latkem.intt3(Latkem.ntt3(f))
    assert r == [x % Q for x in f]
    assert all(type(x) is int for x in r)


@given(residues)
@settings(max_examples=15, deadline=None)
def test_float64_gives_the_int_results_as_floats(f):
    arr = np.array(f, dtype=np.float64)
    fwd = Latkem.ntt3(arr)
    assert all(type(x) is np.float64 for x in fwd)
    assert [int(x) for x in fwd] == Latkem.ntt3(f)
    inv = Latkem.intt3(arr)
    assert all(type(x) is np.float64 for x in inv)
    assert [int(x) for x in inv] == Latkem.intt3(f)
    # a row of a two-dimensional array, as the scheme passes it
    mat = np.zeros((2, N))
    mat[1, :] = f
    assert Latkem.ntt3(mat[1]) == fwd
    # a plain list of Python floats
    assert Latkem.ntt3([float(x) for x in f]) == [float(x) for x in Latkem.ntt3(f)]


@given(poly)
@settings(max_examples=15, deadline=None)
def test_arguments_left_unchanged(f):
    before = list(f)
    for fn in (Latkem.ntt3, Latkem.intt3):
        r = fn(f)
        assert f == before and r is not f and type(r) is list
    arr = np.array([x % Q for x in f], dtype=np.float64)
    copy = arr.copy()
    Latkem.ntt3(arr)
    Latkem.intt3(arr)
    assert np.array_equal(arr, copy)
    t = tuple(f)
    assert Latkem.ntt3(t) == Latkem.ntt3(f)


# ---------------------------------------------------------------------------
# ntt3_mul0, ntt3_mul


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1, 2, 3, 4, 5), (1100, 1690)),
        ((1, 1, 1044, 1044, 7), (5474, 6656)),
        ((0, 0, 0, 0, 0), (0, 0)),
        ((1, 0, 1, 0, -2285), (169, 0)),
    ],
)
def test_ntt3_mul0_examples(args, expected):
    r = Latkem.ntt3_mul0(*args)
    assert r == expected and type(r) is tuple


@given(st.lists(st.integers(0, 4095), min_size=4, max_size=4), st.integers(-Q + 1, Q - 1))
@settings(max_examples=25, deadline=None)
def test_ntt3_mul0_formula(abcd, ze):
    a0, a1, b0, b1 = abcd
    r0, r1 = Latkem.ntt3_mul0(a0, a1, b0, b1, ze)
    assert r0 == (a1 * b1 * 169 % Q) * ze * 169 % Q + a0 * b0 * 169 % Q
    assert r1 == a0 * b1 * 169 % Q + a1 * b0 * 169 % Q
    assert (r0, r1) == Latkem.ntt3_mul0(b0, b1, a0, a1, ze)


def test_ntt3_mul_identity():
    one = [1, 0] * 128
    g = [(x * 37 + 5) % 4096 for x in range(N)]
    assert Latkem.ntt3_mul(one, g) == [x % Q for x in g]


def test_ntt3_mul_x_times_x255():
    r = Latkem.intt3(Latkem.ntt3_mul(Latkem.ntt3(monomial(1)), Latkem.ntt3(monomial(255))))
    assert r == [3328] + [0] * 255


def test_ntt3_mul_x_squared():
    x = Latkem.ntt3(monomial(1))
    r = Latkem.ntt3_mul(x, x)
    assert r[:4] == [17, 0, 3312, 0]
    assert r == Latkem.ntt3(monomial(2))


@given(residues, residues)
@settings(max_examples=10, deadline=None)
def test_ntt3_mul_matches_schoolbook(f, g):
    fh, gh = Latkem.ntt3(f), Latkem.ntt3(g)
    prod = Latkem.ntt3_mul(fh, gh)
    assert len(prod) == N and all(type(x) is int and 0 <= x < Q for x in prod)
    assert Latkem.intt3(prod) == negacyclic(f, g)
    assert Latkem.ntt3_mul(gh, fh) == prod


@given(residues, residues)
@settings(max_examples=10, deadline=None)
def test_ntt3_mul_float64_and_unchanged_arguments(f, g):
    fa, ga = np.array(f, dtype=np.float64), np.array(g, dtype=np.float64)
    fc, gc = fa.copy(), ga.copy()
    fl, gl = list(f), list(g)
    r = Latkem.ntt3_mul(fa, ga)
    assert all(type(x) is np.float64 for x in r)
    assert [int(x) for x in r] == Latkem.ntt3_mul(f, g)
    assert np.array_equal(fa, fc) and np.array_equal(ga, gc)
    assert f == fl and g == gl


def test_ntt3_mul_ignores_entries_from_256_on():
    f = list(range(300))
    g = [7] * 300
    assert Latkem.ntt3_mul(f, g) == Latkem.ntt3_mul(f[:N], g[:N])


def test_ntt3_mul_calls_the_global_with_the_negated_entry():
    calls = []
    real = Latkem.ntt3_mul0

    def spy(a0, a1, b0, b1, ze):
        calls.append((a0, a1, b0, b1, ze))
        return real(a0, a1, b0, b1, ze)

    f = list(range(N))
    g = list(range(N, 2 * N))
    expected = Latkem.ntt3_mul(f, g)
    with rebound(ntt3_mul0=spy):
        assert Latkem.ntt3_mul(f, g) == expected
    zetas = Latkem.zetas
    assert len(calls) == 128
    for ic in range(64):
        assert calls[2 * ic] == (4 * ic, 4 * ic + 1, N + 4 * ic, N + 4 * ic + 1, zetas[64 + ic])
        assert calls[2 * ic + 1] == (
            4 * ic + 2, 4 * ic + 3, N + 4 * ic + 2, N + 4 * ic + 3, -zetas[64 + ic])


@pytest.mark.parametrize(
    "result, message, line",
    [
        ((1, 2, 3), "too many values to unpack (expected 2)", 139),
        ((1,), "need more than 1 value to unpack", 139),
        ((), "need more than 0 values to unpack", 139),
        (iter([1, 2, 3]), "too many values to unpack (expected 2)", 139),
    ],
)
def test_ntt3_mul_unpacks_exactly_two(result, message, line):
    with rebound(ntt3_mul0=lambda *args: result):
        with pytest.raises(ValueError) as info:
            Latkem.ntt3_mul([0] * N, [0] * N)
    assert str(info.value) == message
    assert module_entries(info.value) == [("Latkem.ntt3_mul", line)]


def test_ntt3_mul_second_call_failure_line():
    # two values for the positive table entry, three for the negated one
    with rebound(ntt3_mul0=lambda a0, a1, b0, b1, ze: (0, 0) if ze > 0 else (0, 0, 0)):
        with pytest.raises(ValueError, match="too many values") as info:
            Latkem.ntt3_mul([0] * N, [0] * N)
    assert module_entries(info.value) == [("Latkem.ntt3_mul", 140)]


@pytest.mark.parametrize(
    "fff, ggg, exc_type, entries",
    [
        ([0] * 100, [0] * N, IndexError, [("Latkem.ntt3_mul", 139)]),
        ([0] * N, [0] * 1, IndexError, [("Latkem.ntt3_mul", 139)]),
        ([0] * N, [0] * 2, IndexError, [("Latkem.ntt3_mul", 140)]),
        ([0] * 255, [0] * N, IndexError, [("Latkem.ntt3_mul", 140)]),
        ([None] * N, [0] * N, TypeError, [("Latkem.ntt3_mul", 139), ("Latkem.ntt3_mul0", 154)]),
    ],
)
def test_ntt3_mul_failures(fff, ggg, exc_type, entries):
    with pytest.raises(exc_type) as info:
        Latkem.ntt3_mul(fff, ggg)
    assert module_entries(info.value) == entries


@pytest.mark.parametrize(
    "args, line",
    [
        ((1, None, 1, 1, 1), 154),
        ((1, 1, 1, 1, None), 155),
        ((None, 1, 1, 1, 1), 157),
        ((1, 1, 1, None, 1), 154),
    ],
)
def test_ntt3_mul0_failure_lines(args, line):
    with pytest.raises(TypeError) as info:
        Latkem.ntt3_mul0(*args)
    assert module_entries(info.value) == [("Latkem.ntt3_mul0", line)]


def test_ntt3_mul0_r1_failure_line():
    class Picky(int):
        """An int that refuses to be multiplied by 2."""

        def __mul__(self, other):
            if other == 2:
                raise TypeError("picky")
            return int(self) * other

    # a0 * b1 fails (line 160) only after r0 is complete
    a0 = Picky(1)
    with pytest.raises(TypeError, match="picky") as info:
        Latkem.ntt3_mul0(a0, 1, 3, 2, 1)
    assert module_entries(info.value) == [("Latkem.ntt3_mul0", 160)]
