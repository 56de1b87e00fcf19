"""Leak loops: each of the 27 functions called over and over, on its native
path and on its host path, with arguments it takes and with arguments it
refuses (wrong types or lengths, binding errors, a global removed).  After a
warm-up call nothing may grow over a loop: the memory tracemalloc traces, the
reference counts of the arguments and of the module's globals, and on a
debug interpreter the total reference count, beside a control loop that makes
and drops the same kind of outcome without the module.

The total is the exact check: one reference kept in one call shows.  Traced
memory shows an object kept per call where the host does not hand it out
from a free list (ints and floats come from one until it runs dry).

numpy's release wheels are built without reference debugging: their own
reference operations are left out of a debug interpreter's total (about 9
per `np.zeros(256) * 2`), so where numpy does not keep the total, the loops
that run numpy code leave it unchecked.  A numpy built for the debug
interpreter (`pip install --no-binary numpy numpy`) keeps it, and then every
loop is checked."""
import binascii
import contextlib
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import Latkem

from kit import DELETE, FUNCTIONS, host_only, rebound, seeded

pytestmark = pytest.mark.slow

total_refs = getattr(sys, "gettotalrefcount", None)

# Calls per run of a loop: one on the host path of the operations that take
# up to a tenth of a second there, ten elsewhere, so that an int kept per
# call (32 bytes) stands out of the traced memory once the free list is dry.
CALLS = 10
SLOW_CALLS = 1
SLOW = {"CCA_KeyGen", "CCA_Enc", "CCA_Dec", "Genkey", "Enc", "Dec", "encode", "decode", "kdf", "CBD"}
# Runs of a loop in a row; a leak grows in each.
RUNS = 2
# Traced bytes a run may leave behind (allocator caches settling).
TRACED_SLACK = 200


@pytest.fixture(scope="module")
def data():
    with seeded(4242):
        pk, sk = Latkem.CCA_KeyGen()
    m = bytes(range(32))
    c, _ = Latkem.CCA_Enc(pk, m)
    seed = bytes(range(64, 96))
    pk_cpa, sk_cpa = Latkem.Genkey(seed)
    coins = bytes(range(7, 39)).hex().encode()
    rho = bytes(range(1, 33))
    stream = Latkem.XOF(rho, 0, 1)
    poly = Latkem.Parse(stream)
    noise = Latkem.PRF(rho, 1, 3)
    matrix = Latkem.generate_mat_a(rho, 2)
    return dict(pk=pk, sk=sk, m=m, c=c, forged=c[:-1] + (b"0" if c[-1:] != b"0" else b"1"),
                seed=seed, pk_cpa=pk_cpa, sk_cpa=sk_cpa, coins=coins,
                c_cpa=Latkem.Enc(pk_cpa, m, coins), rho=rho, stream=stream, poly=poly,
                poly_ntt=Latkem.ntt3(poly), noise=noise, rows=[matrix[0]],
                packed=Latkem.encode([matrix[0]], 12), bits=Latkem.hex_to_bits(noise[:64]))


def case(name, *args, raises=None, without=None, host=True, **kwargs):
    """A loop: Latkem.<name>(*args, **kwargs) returns, or raises `raises`;
    `without` names a global removed for the loop; host=False: the host
    path of the call already runs in another loop (Genkey's, Enc's and Dec's
    inside CCA_KeyGen's, CCA_Enc's and CCA_Dec's, which call them through
    their globals), at a tenth of a second a call."""
    return name, args, kwargs, raises, without, host


def cases(d):
    TE, VE, IE, NE, BE = TypeError, ValueError, IndexError, NameError, binascii.Error
    return [
        case("CCA_KeyGen"),
        case("CCA_KeyGen", 1, raises=TE),
        case("CCA_KeyGen", raises=NE, without="random"),
        case("CCA_Enc", d["pk"], d["m"]),
        case("CCA_Enc", d["pk"], "text", raises=TE),
        case("CCA_Enc", b"zz" * 800, d["m"], raises=BE),
        case("CCA_Enc", d["pk"], d["m"], raises=NE, without="H"),
        case("CCA_Dec", d["c"], d["sk"]),
        case("CCA_Dec", d["forged"], d["sk"], host=False),  # the rejection
        case("CCA_Dec", d["c"][:-1], d["sk"], raises=BE),
        case("CCA_Dec", d["c"], d["sk"], raises=NE, without="kk"),
        case("Genkey", d["seed"], host=False),
        case("Genkey", 5, raises=TE),
        case("Enc", d["pk_cpa"], d["m"], d["coins"], host=False),
        case("Enc", d["pk_cpa"], d["m"], "zz" * 32, raises=BE),
        case("Dec", d["c_cpa"], d["sk_cpa"], host=False),
        case("Dec", d["c_cpa"][:-1], d["sk_cpa"], raises=BE),
        case("H", d["m"].hex()),
        case("H", 5, raises=TE),
        case("G", d["seed"]),
        case("G", 5, raises=TE),
        case("PRF", d["rho"], 1, 3),
        case("PRF", d["rho"], 1, "x", raises=TE),
        case("XOF", d["rho"], 0, 1),
        case("XOF", d["rho"], raises=TE),
        case("kdf", length=32, in_str=d["m"]),
        case("kdf", d["m"], size=32, raises=TE),
        case("mont_red", 12345),
        case("mont_red", 12345, raises=NE, without="mont_inv"),
        case("mont_mul", 1234, 5678),
        case("mont_mul", "a", "b", raises=TE),
        case("barrett_red", 99999),
        case("barrett_red", "x", raises=VE),
        case("ntt3", d["poly"]),
        case("ntt3", [1, 2, 3], raises=IE),
        case("intt3", d["poly_ntt"]),
        case("intt3", [1, 2, 3], raises=IE),
        case("ntt3_mul", d["poly_ntt"], d["poly_ntt"]),
        case("ntt3_mul", [1, 2], [3, 4], raises=IE),
        case("ntt3_mul0", 1000, 2000, 3000, 17, 1729),
        case("ntt3_mul0", None, 2000, 3000, 17, 1729, raises=TE),
        case("CBD", d["noise"], 3),
        case("CBD", "zz" * 192, 3, raises=VE),
        case("Parse", d["stream"]),
        case("Parse", b"ab", raises=IE),
        case("generate_mat_a", d["rho"], 2),
        case("generate_mat_a", d["rho"], 2, raises=NE, without="np"),
        case("compress", 1234, 10),
        case("compress", "x", 10, raises=TE),
        case("decompress", 300, 10),
        case("decompress", "x", 10, raises=TE),
        case("encode", d["rows"], 12),
        case("encode", [[[1]]], 12, raises=IE),
        case("decode", d["packed"], 12),
        case("decode", d["packed"], 12, raises=NE, without="n"),
        case("hex_to_bits", d["noise"][:64]),
        case("hex_to_bits", "zz", raises=VE),
        case("bits_to_bytes", d["bits"]),
        case("bits_to_bytes", "0a" * 4, raises=VE),
    ]


def run(fn, args, kwargs, calls):
    """The class of the last call's exception, or None (the exception itself
    would be kept alive in a cycle through this frame)."""
    raised = None
    for _ in range(calls):
        try:
            fn(*args, **kwargs)
        except Exception as exc:
            raised = type(exc)
        else:
            raised = None
    return raised


def control(raises):
    """Makes and drops an outcome of the same kind as the module's call."""
    def made(*args, **kwargs):
        if raises is not None:
            raise raises("control")
        return [args, kwargs]
    return made


def fill_free_lists():
    """Fills the host's free lists of ints, floats and small dictionaries'
    key tables: some operations make these without taking one from the list
    (a call with **keywords copies the dictionary's keys), and freeing them
    puts them on it, so a list filling up during a loop would pass for
    growth."""
    held = ([i * 7 for i in range(1 << 20, (1 << 20) + 300)], [i / 7 for i in range(300)],
            [{"key": i} for i in range(100)])
    del held


def reading():
    return tracemalloc.get_traced_memory()[0], total_refs() if total_refs else 0


def growth(fn, args, kwargs, calls):
    """(the class of the warm-up call's exception or None, traced bytes,
    total references): the smallest growth of RUNS runs of `calls` calls.
    The host's caches (attribute lookups, numpy's), which the first calls
    after other code refill, mostly settle within the first run; now and
    then they take a few calls more, so a loop that grew is looked at again
    right after."""
    fill_free_lists()
    raised = run(fn, args, kwargs, 1)
    readings = [reading()]
    # A run of one call (the host path's slow ones) settles fewer caches
    # than a run of many: twice the runs.
    for _ in range(RUNS if calls > 1 else 2 * RUNS):
        run(fn, args, kwargs, calls)
        readings.append(reading())
    return (raised,) + tuple(min(b - a for a, b in zip(series, series[1:]))
                             for series in zip(*readings))


def numpy_keeps_total():
    return not total_refs or growth(lambda: np.zeros(256) * 2, (), {}, 20)[2] < 10


def holds_array(value):
    return isinstance(value, np.ndarray) or (
        isinstance(value, (list, tuple)) and any(holds_array(v) for v in value))


def counts(values):
    """Reference counts of the values and of the module's globals, but for
    the objects every piece of code shares (None, booleans, small ints and
    one-character strings), whose counts move for reasons of their own where
    they are not immortal (before 3.12)."""
    def shared(v):
        return v is None or isinstance(v, bool) or (type(v) is int and -5 <= v <= 256) or (
            isinstance(v, (str, bytes)) and len(v) <= 1)
    return [sys.getrefcount(v) for v in list(values) + list(vars(Latkem).values())
            if not shared(v)]


@pytest.fixture
def quiet():
    """Memory traced, no garbage collection between the readings (the loops
    make no cycles, and a collection would free other tests' garbage), and
    the rejection lines printed to nowhere rather than to a growing buffer."""
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    gc.collect()
    gc.disable()
    try:
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            yield
    finally:
        gc.enable()
        if started:
            tracemalloc.stop()


@pytest.mark.parametrize("path", ["native", "host"])
def test_loops_leave_nothing_behind(data, quiet, path):
    all_cases = cases(data)
    assert sorted({c[0] for c in all_cases}) == sorted(fn.__name__ for fn in FUNCTIONS)
    numpy_counted = numpy_keeps_total()
    problems = []
    for number, (name, args, kwargs, raises, removed, on_host) in enumerate(all_cases):
        if path == "host" and not on_host:
            continue
        fn = getattr(Latkem, name)
        calls = SLOW_CALLS if path == "host" and name in SLOW else CALLS
        arguments = list(args) + list(kwargs.values())
        control_refs = growth(control(raises), args, kwargs, calls)[2]
        count_total = numpy_counted or not ("np" in fn._reads or holds_array(arguments))

        def excess():
            raised, traced, refs = growth(fn, args, kwargs, calls)
            return raised, traced, refs - control_refs if count_total else 0

        with rebound(**({removed: DELETE} if removed else {})), \
                (host_only() if path == "host" else contextlib.nullcontext()):
            before = counts(arguments)
            raised, traced, extra = excess()
            if traced > TRACED_SLACK or extra > calls // 2:  # a second look: a leak grows again
                raised, traced, extra = excess()
            after = counts(arguments)
        assert raised is raises, (number, name, raised)
        label = "case %d, %s(%s)%s%s" % (
            number, name, ", ".join(type(a).__name__ for a in arguments),
            " raising %s" % raises.__name__ if raises else "",
            " without %s" % removed if removed else "")
        if traced > TRACED_SLACK:
            problems.append("%s: %d bytes more traced" % (label, traced))
        if after != before:
            problems.append("%s: reference counts of arguments or globals moved" % label)
        if extra > calls // 2:
            problems.append("%s: %d references more in total than the control" % (label, extra))
    assert not problems, "\n".join(problems)
