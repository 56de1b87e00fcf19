"""What the harness does once, at the first input (start()): imports of the
module that fail, the module's own import, the record of it and the valid
material, then every place in the module's code that makes a host call made
to fail once, and every function's well-formed calls on each native core.
They run while the fuzzer counts edges, so the edges only they reach (the
module's initialisation, the unwinding after each host call, each core's
code for every width) count as covered: every run takes them.
"""
import copy
import hashlib
import importlib
import importlib.util
import random
import sys
import types

from . import faults, material, state
from .calls import Finding, outcome, same

STARTED = False


def start():
    """The start-up, once; the harness's steps need it."""
    global STARTED
    if STARTED:
        return
    if "Latkem" not in sys.modules:
        import_failing()
    import Latkem
    state.capture(Latkem)
    material.make()
    faults.STARVE = faults.find_starve()
    faults.ARM = faults.find_fault_arm(Latkem.__file__)
    fail_each_place()
    every_core()
    STARTED = True


# ---------------------------------------------------------------------------
# Imports that fail.  A failed import leaves nothing behind, so the real
# import follows.

class Uncomparable(str):
    """A module name whose comparison raises: an import under it fails at
    the end, when the module compares its name with "__main__"."""

    def __eq__(self, other):
        raise RuntimeError("raised by the fuzzer's module name")

    __hash__ = str.__hash__


class MainLike(str):
    """A name that passes for "__main__": the module then runs its
    demonstration (a key exchange, printed); printing it fails (Unwritable),
    so that the import still fails at the end."""

    def __eq__(self, other):
        return other == "__main__" or str.__eq__(self, other)

    __hash__ = str.__hash__


class Unwritable:
    def write(self, text):
        raise RuntimeError("raised by the fuzzer's output")


class Raising(types.ModuleType):
    def __getattr__(self, name):
        raise RuntimeError("raised by the fuzzer's stand-in")


def left_behind():
    if "Latkem" in sys.modules:
        raise Finding("an import that failed left the module in sys.modules")


def import_replaced(replacements):
    """The module imported with some of sys.modules replaced: it must fail."""
    saved = {name: sys.modules.get(name) for name in replacements}
    sys.modules.update(replacements)
    try:
        importlib.import_module("Latkem")
    except Exception:
        pass
    else:
        raise Finding("the module imported with %r" % (replacements,))
    finally:
        for name, value in saved.items():
            if value is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = value
    left_behind()


def import_as(spec, name, arm, disarm):
    """One import under `name` (which makes it fail at the end, if not
    before) between arm() and disarm(); whether it got to the end (a
    RuntimeError from the name or the output)."""
    spec.name = name
    saved_stdout = sys.stdout
    if isinstance(name, MainLike):
        sys.stdout = Unwritable()
    arm()
    try:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    except RuntimeError as exc:
        return "raised by the fuzzer's" in str(exc)
    except Exception:
        return False
    else:
        raise Finding("the module imported under the name %r" % (name,))
    finally:
        disarm()
        sys.stdout = saved_stdout
        left_behind()


def import_failing():
    """Imports of the module that fail at each statement of its
    initialisation that can fail with the host's modules: memory running
    out, each module it imports missing, hashlib without the names taken
    from it or with an attribute that raises, each place that makes a host
    call failing."""
    spec = importlib.util.find_spec("Latkem")
    # Memory running out at each point of the initialisation: the at-th
    # allocation fails, for every at until 20 imports have got to the end.
    # First, while the process has none of what the module makes once
    # (interned names, types).
    starve = faults.find_starve()
    for name, next_at in ((Uncomparable("Latkem"), lambda at: at + 1),
                          (MainLike("Latkem"), lambda at: max(at + 1, int(at * 1.01)))):
        at, at_end = 0, 0
        while starve is not None and at_end < 20:
            at_end += import_as(spec, name, lambda: starve.set_nomemory(at, at + 1),
                                starve.remove_mem_hooks)
            at = next_at(at)

    for name in ("math", "random", "binascii", "numpy", "hashlib"):
        import_replaced({name: None})
    partial = types.ModuleType("hashlib")
    partial.sha3_256 = hashlib.sha3_256
    import_replaced({"hashlib": partial})
    nameless = types.ModuleType("hashlib")
    del nameless.__name__
    import_replaced({"hashlib": nameless})
    import_replaced({"hashlib": Raising("hashlib")})

    # Each place in the initialisation's code that makes a host call made
    # to fail in turn (fuzzing builds: faults.find_fault_arm), until an
    # import gets through with none left.
    arm = faults.find_fault_arm(spec.origin)
    for name in (Uncomparable("Latkem"), MainLike("Latkem")):
        fired = arm is not None
        while fired:
            import_as(spec, name, lambda: arm(-1), lambda: None)
            fired = arm(0) < 0


# ---------------------------------------------------------------------------
# Start-up checks.

def fail_each_place():
    """Every place in the module's code that makes a host call, made to fail
    once: a well-formed call of each function, on each path, repeated with
    the first place not yet made to fail failing, until a call gets through.
    So the unwinding after every host call of every body counts as covered;
    then a key exchange on both paths must still come out right."""
    arm = faults.ARM
    if arm is None:
        return
    for host in (True, False):
        for name in state.FUNCTIONS:
            args = material.TEMPLATES[name][2][0]
            while True:
                state.set_paths(not host)
                arm(-1)
                try:
                    outcome(state.ORIGINAL[name], copy.deepcopy(args), {})
                finally:
                    fired = arm(0) < 0
                    state.restore()
                if not fired:
                    break
    keys = material.KEYS[2]
    for native in (True, False):
        state.set_paths(native)
        c, key = state.latkem.CCA_Enc(keys["pk"], bytes(32))
        if state.latkem.CCA_Dec(c, keys["sk"]) != key:
            raise Finding("a key exchange went wrong after host calls were made to fail")
    state.restore()


def every_core():
    """Every function's well-formed calls, at every parameter set, on each
    native core this build and processor have: the cores must agree.  So
    each core's code for every width counts as covered."""
    answers = {}
    for core in state.CORES:
        state.set_core(core)
        for rank in state.PARAMETER_SETS:
            state.use_parameters(rank)
            for name in state.FUNCTIONS:
                for i, args in enumerate(material.TEMPLATES[name][rank]):
                    random.seed(i)  # CCA_KeyGen's draws
                    got = outcome(state.ORIGINAL[name], copy.deepcopy(args), {})
                    first = answers.setdefault((rank, name, i), (core, got))
                    if not same(first[1], got):
                        raise Finding("%s (rank %d) answers differently on the %s and the %s "
                                      "core" % (name, rank, first[0], core))
        state.restore()
    state.restore()
