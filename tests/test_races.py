"""Races with threads: another thread changes what a call reads while the
call has released the lock, the interpreter exits while threads are inside
calls, and a second interpreter is refused."""
import binascii
import collections
import json
import os
import subprocess
import sys
import time
import types

import numpy as np
import pytest

import Latkem
from kit import (DELETE, NATIVE, PARAMETER_SETS, natively, outcome, parameters, picture, rebound,
                 run_threads_beside, seeded)

pytestmark = [pytest.mark.threads, pytest.mark.paths]

# ---------------------------------------------------------------------------
# Another thread changes what a call reads, at the moment the call has
# released the lock (or, on a host path, would release it in a callee).


def raising(message):
    def rebound_function(*args):
        raise LookupError(message)
    return rebound_function


def module_with(module, **attrs):
    copy = types.ModuleType(module.__name__)
    vars(copy).update(vars(module))
    vars(copy).update(attrs)
    return copy


def key_length(c_text, cpa_sk):
    raise LookupError(len(cpa_sk))


class Same:
    """Stands in for `random`: every draw is `size` bytes of `byte`."""

    def __init__(self, byte, size):
        self.draw = bytes([byte]) * size

    def randbytes(self, count):
        return self.draw


class Globals:
    """A change of module globals: rebound, or removed with DELETE."""

    def __init__(self, **binding):
        self.binding = binding

    def prepare(self):
        self.saved = {k: vars(Latkem)[k] for k in self.binding}

    def apply(self):
        d = vars(Latkem)
        for k, v in self.binding.items():
            if v is DELETE:
                d.pop(k, None)
            else:
                d[k] = v

    def undo(self):
        vars(Latkem).update(self.saved)


class Attribute:
    """A host module's attribute changed in place."""

    def __init__(self, owner, name, value):
        self.owner, self.name, self.value = owner, name, value

    def prepare(self):
        self.saved = getattr(self.owner, self.name)

    def apply(self):
        setattr(self.owner, self.name, self.value)

    def undo(self):
        setattr(self.owner, self.name, self.saved)


class Overwrite:
    """An argument of the call, a bytearray, overwritten at its start."""

    def __init__(self, buffer, data):
        self.buffer, self.data = buffer, data

    def prepare(self):
        self.saved = bytes(self.buffer[:len(self.data)])

    def apply(self):
        self.buffer[:len(self.data)] = self.data

    def undo(self):
        self.buffer[:len(self.data)] = self.saved


LONG = 1 << 19  # hex digits: a native path that decodes them runs a while without the lock
Case = collections.namedtuple("Case", "fn args change setting host", defaults=({}, False))


@pytest.fixture(scope="module")
def racing_calls():
    """name -> Case: a call, the change another thread makes while it runs,
    the globals bound for the case, and whether the call takes its host
    path.  Each call's native path works out without the lock where the host
    path fails (or what the rejection gives), and has a host statement to
    run once it has the lock back, which the change affects; the host path of
    the last calls its callees with inputs long enough for their native paths
    to release the lock."""
    with seeded(99):
        pk, sk = Latkem.CCA_KeyGen()
    ct, _ = Latkem.CCA_Enc(pk, b"m" * 32)
    cpa_pk, cpa_sk = Latkem.Genkey(b"d" * 32)
    with parameters("rank4"):
        pk4, _ = Latkem.Genkey(b"d" * 32)
    not_hex = b"ab" * LONG + b"zz"
    no_unhexlify = module_with(binascii, unhexlify=raising("unhexlify"))
    return {
        "Enc, key not hex": Case(
            "Enc", (cpa_pk + not_hex, b"m" * 32, b"ab" * 32), Globals(binascii=no_unhexlify)),
        "Dec, ciphertext not hex": Case(
            "Dec", (Latkem.Enc(cpa_pk, b"m" * 32, b"ab" * 32) + not_hex, cpa_sk),
            Globals(binascii=DELETE)),
        # One row of t: the matrix is expanded without the lock, a second
        # time, by the portable core (slower: a longer time to act in).
        "Enc, key short of rows": Case(
            "Enc", (pk4[:768] + pk4[-64:], b"m" * 32, b"ab" * 32),
            Attribute(np, "zeros", raising("zeros")),
            dict(PARAMETER_SETS["rank4"], _core="portable")),
        "CCA_Enc, key not hex": Case(
            "CCA_Enc", (pk + not_hex, b"m" * 32), Globals(H=raising("H"))),
        "CCA_Enc, key too short": Case(
            "CCA_Enc", (pk[:200], b"m" * LONG), Globals(G=raising("G"), Enc=raising("Enc"))),
        # Read at 670 (too short), and again by Enc at 674.
        "CCA_Enc, key too short, overwritten": Case(
            "CCA_Enc", (bytearray(pk[:200]), b"m" * LONG), None),
        "CCA_Dec, ciphertext not hex": Case(
            "CCA_Dec", (ct + not_hex, sk), Globals(kk=3, Dec=key_length)),
        # Longer than the module's: the rejection, with its print.
        "CCA_Dec, long ciphertext": Case(
            "CCA_Dec", (ct + b"ab" * LONG, sk),
            Globals(Dec=raising("Dec"), kdf=lambda s, n: b"k" * n)),
        # A seed as long as the draws give: the key pair takes a while.
        "CCA_KeyGen, long seed": Case(
            "CCA_KeyGen", (), Globals(H=raising("H"), random=Same(2, 32)),
            dict(random=Same(1, LONG))),
        "CCA_Enc on its host path, long message": Case(
            "CCA_Enc", (pk, b"m" * LONG), Globals(H=raising("H"), G=raising("G")), host=True),
    }


@pytest.mark.skipif(not NATIVE, reason="host paths only: they let other threads act midway")
@pytest.mark.parametrize("name", [
    "Enc, key not hex", "Dec, ciphertext not hex", "Enc, key short of rows",
    "CCA_Enc, key not hex", "CCA_Enc, key too short", "CCA_Enc, key too short, overwritten",
    "CCA_Dec, ciphertext not hex", "CCA_Dec, long ciphertext", "CCA_KeyGen, long seed",
    "CCA_Enc on its host path, long message"])
def test_change_while_the_lock_is_released(racing_calls, name, capsys):
    """A call that releases the lock (or whose host path calls functions that
    would) while another thread changes what a later statement reads.  The
    call gives what it gives with the change made before it or after it,
    never what no serial order gives: after a release a native path asks the
    guard again, and hands callees the arguments as it read them; calls made
    inside another keep the lock (README, "Threads")."""
    case = racing_calls[name]
    fn = getattr(Latkem, case.fn)
    args = case.args
    change = case.change
    if change is None:
        change = Overwrite(args[0], b"zz")
    setting = dict(case.setting)
    core = setting.pop("_core", Latkem.H._core)
    saved_core, saved_native = Latkem.H._core, fn._native
    with rebound(**setting):
        try:
            Latkem.H._core = core
            fn._native = not case.host
            change.prepare()
            before = fn._native_calls
            old = picture(outcome(fn, *args))
            assert fn._native_calls == before + natively(not case.host)
            change.apply()
            try:
                new = picture(outcome(fn, *args))
            finally:
                change.undo()
            assert new != old
            calling = [False]

            def changer(stop):
                while not stop.is_set():
                    if calling[0]:
                        calling[0] = False
                        change.apply()
                    time.sleep(1e-5)

            def work(index):
                for _ in range(150):
                    calling[0] = True
                    try:
                        got = picture(outcome(fn, *args))
                    finally:
                        calling[0] = False
                        change.undo()
                    assert got in (old, new)

            # The change must land while the call has released the lock.  User
            # code the call runs (the print of a rejection, a draw) is a switch
            # point of the host path too, and a change made there gives an
            # outcome of its own (the key from a rebound kdf after the print);
            # a long switch interval keeps the changer out of it, and makes its
            # two-global change one step for the call.
            saved_interval = sys.getswitchinterval()
            sys.setswitchinterval(1.0)
            try:
                run_threads_beside(changer, work, 1)
            finally:
                sys.setswitchinterval(saved_interval)
        finally:
            Latkem.H._core, fn._native = saved_core, saved_native
    capsys.readouterr()


# ---------------------------------------------------------------------------
# The interpreter exits while daemon threads are inside calls: up to 3.13 it
# ends each of them where it asks for the lock back, inside a call or inside
# a host call of a host path.

EXIT_WITH_THREADS = r"""
import os, sys, threading
sys.path[:0] = {path!r}
import Latkem

pk, sk = Latkem.CCA_KeyGen()
c, key = Latkem.CCA_Enc(pk, os.urandom(32))
if {host!r}:
    for fn in vars(Latkem).values():
        if hasattr(fn, "_native"):
            fn._native = False
looping = threading.Semaphore(0)


def exchanges():
    looping.release()
    while True:
        Latkem.CCA_Enc(pk, os.urandom(32))
        Latkem.CCA_Dec(c, sk)
        Latkem.CCA_KeyGen()


for _ in range(2):
    threading.Thread(target=exchanges, daemon=True).start()
for _ in range(2):
    looping.acquire()
"""


# The host path runs no core.  Under the sanitizers (.ci/sanitize) the
# undefined-behaviour check reports the catch clause that lets a thread's
# forced unwinding through: the unwinding carries no C++ exception object,
# and the clause binds its reference to it as the C++ runtime prescribes.
@pytest.mark.slow
@pytest.mark.installed
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers report the forced unwinding's catch clause")
@pytest.mark.parametrize("which, core", [("native", "default"), ("native", "portable"),
                                         ("host", "default")])
def test_exit_while_threads_are_inside_calls(tmp_path, which, core):
    script = tmp_path / "exit.py"
    script.write_text(EXIT_WITH_THREADS.format(path=sys.path, host=which == "host"))
    env = dict(os.environ)
    env.pop("LATKEM_PORTABLE", None)
    if core == "portable":
        env["LATKEM_PORTABLE"] = "1"
    runs = [subprocess.Popen([sys.executable, str(script)], cwd=str(tmp_path), env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True)
            for _ in range(10)]
    ends = []
    try:
        for run in runs:
            out, err = run.communicate(timeout=120)
            ends.append((run.returncode, out + err))
    finally:
        for run in runs:
            if run.poll() is None:
                run.kill()
                run.communicate()
    # Exit status 0 and nothing printed: no crash, no "exception not rethrown".
    assert [end for end in ends if end != (0, "")] == []


# ---------------------------------------------------------------------------
# A second interpreter in the same process.

SUBINTERPRETER = r"""
import json, re, sys
sys.path[:0] = {path!r}
import Latkem

code = "import sys; sys.path[:0] = %r\nimport Latkem\n" % (sys.path,)
outcomes = {{}}


def failure(run, interp):
    # The exception of the script as "Type: message", or None.
    try:
        result = run(interp, code)
    except Exception as exc:  # RunFailedError of the older modules
        return re.sub(r"^<class '(\w+)'>", r"\1", str(exc))
    if result is None:
        return None
    return "%s: %s" % (result.type.__name__, result.msg)


try:
    import _interpreters as low
except ImportError:
    try:
        import _xxsubinterpreters as low
    except ImportError:
        low = None

if low is not None and hasattr(low, "new_config"):
    for kind in ("legacy", "isolated"):
        interp = low.create(low.new_config(kind))
        outcomes[kind] = failure(low.exec, interp)
        low.destroy(interp)
elif low is not None and sys.version_info >= (3, 12):
    for kind, isolated in (("legacy", False), ("isolated", True)):
        interp = low.create(isolated=isolated)
        outcomes[kind] = failure(low.run_string, interp)
        low.destroy(interp)
elif low is not None:
    interp = low.create()
    outcomes["legacy"] = failure(low.run_string, interp)
    low.destroy(interp)
else:
    try:
        from test.support import interpreters
    except ImportError:
        interpreters = None
    if interpreters is not None:
        interp = interpreters.create()
        try:
            (getattr(interp, "exec", None) or interp.run)(code)
            outcomes["isolated"] = None
        except Exception as exc:
            info = getattr(exc, "excinfo", None)
            outcomes["isolated"] = ("%s: %s" % (info.type.__name__, info.msg) if info
                                    else str(exc))

# The first interpreter's module goes on working.
pk, sk = Latkem.CCA_KeyGen()
c, key = Latkem.CCA_Enc(pk, b"after")
outcomes["still works"] = Latkem.CCA_Dec(c, sk) == key
print(json.dumps(outcomes))
"""

REFUSAL = ("ImportError: Interpreter change detected - this module can only be loaded "
           "into one interpreter per process.")


def test_second_interpreter_is_refused(run_python):
    proc = run_python(SUBINTERPRETER.format(path=sys.path))
    assert proc.returncode == 0, proc.stderr
    outcomes = json.loads(proc.stdout.strip().splitlines()[-1])
    assert outcomes.pop("still works") is True
    if not outcomes:
        pytest.skip("this host has no way to create a second interpreter")
    # One that shares the first interpreter's lock reaches the module, which
    # refuses it.
    if "legacy" in outcomes:
        assert outcomes["legacy"] == REFUSAL
    # One with a lock of its own may be refused by the host first.
    if "isolated" in outcomes:
        assert outcomes["isolated"] is not None
        assert outcomes["isolated"].startswith("ImportError: ")
