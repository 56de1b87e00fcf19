"""Faults in the middle of a well-formed call.

Most of the host path's edges are where an operation fails and the
statement's objects are released: a well-formed call never takes them.  Here
every module function and every callable of the host modules the bodies use
is rebound to a stand-in that counts calls; at the chosen count it fails,
returns something else, or deletes or rebinds a module global (seen at the
next use of that name), so the call fails at that statement of whatever body
is running.  Other actions make a parameter run out after a number of uses
(a Tick), the n-th memory allocation of the call fail (the interpreter's
test hooks), or the n-th place in the module's code that makes a host call
fail (the fuzzing build's fault sites, armed through ctypes).

Encoding, after the step's selector: the well-formed call's first three
choices, then whether every function runs on the host path, the count (two
bytes), the target (0: any call), the action, its argument.
"""
import copy
import ctypes
import os

import numpy as np

from . import material, state
from .calls import outcome
from .values import Countdown, Tick

# The actions, in the order the encoding numbers them.
RAISE = 0    # the call raises
NONE = 1     # the call returns None
DELETE = 2   # a module global deleted after the call
REBIND = 3   # a module global rebound after the call
RESIZE = 4   # the call's result an item shorter or longer
OTHER = 5    # the call's result a value of another kind
TICK = 6     # a parameter that runs out after a number of uses; no other fault
NOMEM = 7    # the n-th memory allocation of the call fails
SITE = 8     # the n-th place in the module's code that makes a host call fails
FAULT_ACTIONS = 9

FAULT_GLOBALS = ["q", "n", "kk", "eta1", "eta2", "du", "dv", "k", "mont", "zetas", "zetas_inv",
                 "np", "binascii", "hashlib", "G", "H", "XOF", "PRF", "CBD", "ntt3", "intt3",
                 "compress", "decompress", "encode", "decode", "hex_to_bits", "bits_to_bytes",
                 "generate_mat_a", "Parse", "ntt3_mul", "ntt3_mul0", "kdf", "Enc", "Dec", "Genkey",
                 "math", "sha3_512", "shake_128", "shake_256", "tree"]
HOST_CALLABLES = ["np", "binascii", "hashlib", "math", "sha3_512", "shake_128", "shake_256"]
# The callables the bodies take from a host module, which a fault may wait
# for besides the module's functions (targets()).
HOST_TARGETS = ["zeros", "hexlify", "unhexlify", "sha3_256", "shake_256", "sqrt", "gcd",
                "sha3_512", "shake_128"]
TICK_PARAMS = ["q", "n", "kk", "eta1", "eta2", "du", "dv", "k", "mont", "mont_inv", "ted",
               "bar_k", "bar_r"]

# Found at start-up: the interpreter's test hooks that make an allocation
# fail (its _testcapi module; None where it has none, and NOMEM steps do
# nothing), and the fuzzing build's switch of its fault sites (None in other
# builds, and SITE steps do nothing).
STARVE = None
ARM = None


def targets():
    """What a fault may wait for: a module function, or a host callable."""
    return state.FUNCTIONS + HOST_TARGETS


def find_starve():
    try:
        import _testcapi as hooks
        hooks.set_nomemory, hooks.remove_mem_hooks
    except (ImportError, AttributeError):
        return None
    return hooks


def find_fault_arm(path):
    """The fuzzing build's switch that makes a chosen host call of the
    module's code fail (latkem_fault_arm, host.cpp), from the module's file;
    None in other builds.  arm(k) makes the k-th place first reached fail,
    arm(-1) the first place never yet made to fail; arm(0) disarms and
    answers below 0 if the armed place was not reached."""
    try:
        arm = ctypes.PyDLL(os.path.realpath(path)).latkem_fault_arm
    except (OSError, AttributeError):
        return None
    arm.restype = ctypes.c_longlong
    arm.argtypes = [ctypes.c_longlong]
    return arm


class Counter:
    """Counts the calls of the stand-ins; acts at the chosen one: the at-th
    call of any of them (target None) or the at-th call of the target."""

    def __init__(self, target, at, action, arg):
        self.target, self.left, self.action, self.arg = target, at, action, arg
        self.calls = {}  # name: count, for make_corpus.py

    def wrap(self, fn, name):
        def counted(*args, **kwargs):
            self.calls[name] = self.calls.get(name, 0) + 1
            if self.target is None or self.target == name:
                self.left -= 1
            if self.left != -1:
                return fn(*args, **kwargs)
            return self.act(fn, args, kwargs)
        return counted

    def act(self, fn, args, kwargs):
        if self.action == RAISE:
            raise Countdown("fault injected by the fuzzer")
        if self.action == NONE:
            return None
        result = fn(*args, **kwargs)
        victim = FAULT_GLOBALS[self.arg % len(FAULT_GLOBALS)]
        if self.action == DELETE:
            state.MODULE.pop(victim, None)
        elif self.action == REBIND:
            choices = [None, 0, -1, 1.5, "x", b"", (), 3329.0, 5]
            setattr(state.latkem, victim, choices[self.arg % len(choices)])
        elif self.action == RESIZE:  # one item fewer, or one more
            if isinstance(result, np.ndarray) and result.ndim:
                result = result[:-1] if self.arg & 1 else np.concatenate([result, result[:1]])
            elif isinstance(result, (tuple, list, bytes, str)):
                result = result[:-1] if self.arg & 1 else result + result[:1]
        else:  # a value of another kind
            result = [np.float64("nan"), 3329, -1, 2 ** 70, "0", b"00", [0],
                      np.zeros((2, 2))][self.arg % 8]
        return result


class Proxy:
    """A host module (or callable) whose callables count."""

    def __init__(self, target, counter, name):
        self._target, self._counter, self._name = target, counter, name

    def __getattr__(self, name):
        value = getattr(self._target, name)
        return self._counter.wrap(value, name) if callable(value) else value

    def __call__(self, *args, **kwargs):
        return self._counter.wrap(self._target, self._name)(*args, **kwargs)


def fault_call(fdp):
    """One fault step; its Counter (the calls it counted, for make_corpus.py)."""
    name = state.pick_function(fdp)
    rank = fdp.ConsumeIntInRange(2, 4)
    calls = material.TEMPLATES[name][rank]
    args = copy.deepcopy(calls[fdp.ConsumeIntInRange(0, 3) % len(calls)])
    host = fdp.ConsumeBool()
    at = fdp.ConsumeIntInRange(0, 0xFFFF)
    target = fdp.ConsumeIntInRange(0, 0xFF)
    if target:
        choices = targets()
        target = choices[(target - 1) % len(choices)]
    else:
        target = None
    action = fdp.ConsumeIntInRange(0, FAULT_ACTIONS - 1)
    arg = fdp.ConsumeIntInRange(0, 0xFF)
    counter = Counter(target, at % 4096 if target is None else at % 32, action, arg)
    state.use_parameters(rank)
    fn = state.ORIGINAL[name]
    if action == TICK:  # a parameter that runs out after `at` uses; no other fault
        counter.left = -2
        param = TICK_PARAMS[arg % len(TICK_PARAMS)]
        setattr(state.latkem, param, Tick(state.MODULE[param], at))
    if action in (NOMEM, SITE):
        # The call as it is, on the path `host` says, with its at-th memory
        # allocation failing (where the host can make one fail), or the
        # at-th place in the module's code that makes a host call.
        counter.left = -2
        if host:
            state.set_paths(False)
        if action == NOMEM and STARVE is not None:
            outcome(starved, [fn, args, at], {})
        if action == SITE and ARM is not None:
            outcome(failing_site, [fn, args, at + 1], {})
        return counter
    for fn_name in state.FUNCTIONS:
        original = state.ORIGINAL[fn_name]
        setattr(state.latkem, fn_name, counter.wrap(original, fn_name))
        if host:
            original._native = False
    for module_name in HOST_CALLABLES:
        setattr(state.latkem, module_name,
                Proxy(state.ORIGINAL[module_name], counter, module_name))
    fn._native = False
    outcome(fn, args, {})
    return counter


def starved(fn, args, at):
    STARVE.set_nomemory(at, at + 1)
    try:
        return fn(*args)
    finally:
        STARVE.remove_mem_hooks()


def failing_site(fn, args, at):
    ARM(at)
    try:
        return fn(*args)
    finally:
        ARM(0)


def write_fault(writer, name, rank, template=0, host=False, at=0, target=None, action=0, arg=0):
    """The bytes of one fault step after its selector."""
    writer.int_in(0, len(state.FUNCTIONS) - 1, state.FUNCTIONS.index(name))
    writer.int_in(2, 4, rank).int_in(0, 3, template).bool(host).int_in(0, 0xFFFF, at)
    writer.int_in(0, 0xFF, 0 if target is None else 1 + targets().index(target))
    return writer.int_in(0, FAULT_ACTIONS - 1, action).int_in(0, 0xFF, arg)
