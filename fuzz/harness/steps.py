"""The steps an input is made of, as a table of named steps, and the steps
that change the module as a host program might: rebinding its globals,
switching the functions' paths and the native core, the function objects'
own attributes, and key exchanges whose outcome is checked.

An input is one to MAX_STEPS steps, each chosen by a selector of 16 values:
every step takes the selector's values of its share of the inputs, in the
order of the table.  A step reads its own choices after the selector and
answers whether the module is still untouched, which the checks of later
steps need (a valid parameter set counts as untouched).
"""
import binascii
import copy
import gc
import hashlib
import math
import pickle
import random

import numpy as np

from . import material, state
from .calls import Finding, call_function, outcome
from .changes import well_formed_call
from .encoding import Reader
from .faults import fault_call
from .values import Draws, Text, generate, mutate, raw_bytes


def parameter_value(fdp, name):
    choices = {
        "kk": [1, 2, 3, 4, 5, 0, -1, 2.0, True, None, "2", np.int64(3)],
        "eta1": [1, 2, 3, 4, 8, 0, -1, 3.0, None, np.int16(2)],
        "eta2": [1, 2, 3, 0, -2, 2.0, None],
        "du": [10, 11, 12, 9, 1, 0, -1, 10.0, None, 16],
        "dv": [4, 5, 3, 1, 0, 12, 4.0, None],
        "q": [3329, 3329.0, 3328, 17, 7681, 0, 1, -3329, None, "3329", np.int64(3329)],
        "n": [256, 128, 255, 512, 0, -256, 256.0, None, 8, np.int32(256)],
        "k": [13, 12, 0, 13.0, None],
        "mont": [2285, 0, 1, None],
        "tree": [None, [], list(range(128))],
    }
    return fdp.PickValueInList(choices[name])


def rebind(fdp, pristine):
    """A module global rebound or deleted: the module is no longer untouched."""
    latkem = state.latkem
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        name = fdp.PickValueInList(["kk", "eta1", "eta2", "du", "dv", "q", "n", "k", "mont",
                                    "tree"])
        setattr(latkem, name, parameter_value(fdp, name))
    elif kind == 4:  # a parameter set as a whole
        state.use_parameters(fdp.ConsumeIntInRange(2, 4))
    elif kind == 5:  # the tables
        table = fdp.PickValueInList(["zetas", "zetas_inv"])
        how = fdp.ConsumeIntInRange(0, 4)
        values = list(state.ORIGINAL[table])
        if how == 0:  # in place
            state.ORIGINAL[table][fdp.ConsumeIntInRange(0, 127)] = generate(fdp, 2)
        elif how == 1:
            setattr(latkem, table, values[: fdp.ConsumeIntInRange(0, 127)])
        elif how == 2:
            setattr(latkem, table, tuple(values))
        elif how == 3:
            setattr(latkem, table, np.array(values))
        else:
            setattr(latkem, table, None)
    elif kind == 6:  # a function rebound to another, or to a stand-in
        name = state.pick_function(fdp)
        how = fdp.ConsumeIntInRange(0, 3)
        if how == 0:
            other = state.ORIGINAL[state.pick_function(fdp)]
        elif how == 1:
            answer = generate(fdp, 2)
            other = lambda *a, **k: answer  # noqa: E731
        elif how == 2:
            def other(*a, **k):
                raise ValueError("stand-in")
        else:
            other = None
        setattr(latkem, name, other)
    elif kind == 7:  # imported modules and hash constructors
        name = fdp.PickValueInList(["binascii", "np", "hashlib", "math", "sha3_512",
                                    "shake_128", "shake_256", "sha3_256"])
        value = fdp.PickValueInList([None, hashlib.sha3_256, hashlib.shake_256, math, binascii,
                                     np, hashlib, 5])
        setattr(latkem, name, value)
    elif kind == 8:  # the generator CCA_KeyGen draws from
        latkem.random = Draws(generate(fdp, 2)) if fdp.ConsumeBool() else None
    else:  # a global deleted
        name = fdp.PickValueInList(["kk", "n", "q", "zetas", "G", "H", "binascii", "random"])
        state.MODULE.pop(name, None)
    return False


def toggle_native(fdp, pristine):
    """Functions switched between the paths: the module stays untouched for
    the checks."""
    if fdp.ConsumeBool():
        state.ORIGINAL[state.pick_function(fdp)]._native = fdp.ConsumeBool()
    else:
        state.set_paths(fdp.ConsumeBool())
    return pristine



ATTR_VALUES = [None, "x", "", 1, b"x", "Latkem.y", Text("z"), True, "é" * 3, {}]


def introspect(fdp, pristine):
    """The function objects' own attributes read, set and deleted, and the
    object handed to what a host program may hand it to."""
    fn = state.ORIGINAL[state.pick_function(fdp)]
    kind = fdp.ConsumeIntInRange(0, 11)
    value = fdp.PickValueInList(ATTR_VALUES)
    try:
        if kind == 0:
            repr(fn)
            str(fn)
        elif kind <= 3:
            setattr(fn, ["__name__", "__qualname__", "_native"][kind - 1], value)
        elif kind == 4:
            setattr(fn, fdp.PickValueInList(["__module__", "__doc__", "__dict__", "x",
                                             "__code__", "__globals__", "_core"]), value)
        elif kind == 5:
            fn.__reduce__()
            pickle.loads(pickle.dumps(fn))
        elif kind == 6:
            gc.get_referents(fn)
            gc.collect()
        elif kind == 7:
            for attr in ("__annotations__", "__defaults__", "__kwdefaults__", "__closure__",
                         "_core", "_native_calls", "__code__", "__globals__", "__dict__",
                         "__module__", "__doc__", "_native"):
                getattr(fn, attr)
        elif kind == 8:
            copy.copy(fn)
            copy.deepcopy(fn)
        elif kind == 9:
            delattr(fn, fdp.PickValueInList(["__name__", "__qualname__", "_native", "__doc__",
                                             "__module__", "__dict__"]))
        elif kind == 10:
            fn.__get__(value)
            type(fn).__call__(fn)
        else:
            fn == state.ORIGINAL[state.FUNCTIONS[0]]
            hash(fn)
            dir(fn)
    except Exception:
        pass
    return pristine


def switch_core(fdp, pristine):
    """The portable core, or the default one of this build and processor."""
    state.set_core("portable" if fdp.ConsumeBool() else state.CORES[0])
    return pristine



def rejection_key(sk, text):
    z = binascii.unhexlify(bytes(sk)[-64:])
    digest = hashlib.sha3_256(binascii.unhexlify(text)).digest()
    return hashlib.shake_256(z + digest).digest(32)


def as_bytes(text):
    """The characters of a ciphertext as bytes, or None for other objects."""
    if isinstance(text, str):
        try:
            return text.encode("latin-1")
        except UnicodeEncodeError:
            return None
    if isinstance(text, (bytes, bytearray, memoryview)):
        return bytes(text)
    return None


def key_exchange(fdp, pristine):
    """Encapsulation with a valid key, decapsulation of a possibly changed
    ciphertext.  On an untouched module: the unchanged ciphertext gives the
    encapsulated key, a changed one never does but gets the rejection key."""
    rank = fdp.ConsumeIntInRange(2, 4) if pristine else 2
    keys = material.KEYS[rank]
    if pristine:
        state.use_parameters(rank)
    m = raw_bytes(fdp, 40)
    state.set_paths(fdp.ConsumeBool())
    if not pristine:  # whatever the globals are now: only no crash
        outcome(state.MODULE.get("CCA_Enc"), [keys["pk"], m], {})
        outcome(state.MODULE.get("CCA_Dec"), [mutate(fdp, keys["c"]), keys["sk"]], {})
        return pristine
    encapsulated = outcome(state.latkem.CCA_Enc, [keys["pk"], m], {})
    if encapsulated[0] != "returned":
        raise Finding("encapsulation failed with a valid public key: %r" % (encapsulated,))
    c, key = encapsulated[1]
    text = mutate(fdp, c)
    decapsulated = outcome(state.latkem.CCA_Dec, [text, keys["sk"]], {})
    if decapsulated[0] != "returned":
        return pristine  # a malformed ciphertext may raise: it never yields a key
    got = decapsulated[1]
    chars = as_bytes(text)
    if chars == c:
        if got != key:
            raise Finding("a valid ciphertext %r gave the wrong key (rank %d)" % (text, rank))
        return pristine
    if got == key:
        raise Finding("a changed ciphertext %r gave the encapsulated key (rank %d)"
                      % (text, rank))
    try:
        expected = rejection_key(keys["sk"], chars)
    except (binascii.Error, ValueError, TypeError):
        return pristine
    if got != expected:
        raise Finding("a changed ciphertext %r did not get the rejection key (rank %d)"
                      % (text, rank))
    return pristine



def restore_step(fdp, pristine):
    state.restore()
    return True


def fault_step(fdp, pristine):
    fault_call(fdp)
    return False


class Step:
    """A named step: its share of the selector's values, and the function
    that reads the step's choices and runs it."""

    def __init__(self, name, share, run):
        self.name, self.share, self.run = name, share, run


STEPS = [  # in the selector's order; the shares add up to its 16 values
    Step("call", 6, call_function),            # arbitrary arguments (calls.py)
    Step("rebind", 2, rebind),                 # a module global rebound or deleted
    Step("toggle_native", 1, toggle_native),   # functions switched between the paths
    Step("key_exchange", 2, key_exchange),     # encapsulation, decapsulation, checked
    Step("restore", 1, restore_step),          # the module put back as imported
    Step("well_formed", 1, well_formed_call),  # a recorded call, changed (changes.py)
    Step("fault", 1, fault_step),              # a fault in a well-formed call (faults.py)
    Step("introspect", 1, introspect),         # the function objects' own attributes
    Step("switch_core", 1, switch_core),       # the portable or the default native core
]
SELECTOR = [step for step in STEPS for _ in range(step.share)]
assert len(SELECTOR) == 16, "the encoding reads the selector as one of 16 values"
MAX_STEPS = 4


def write_step(writer, name):
    """The selector of the named step."""
    first = next(i for i, step in enumerate(SELECTOR) if step.name == name)
    return writer.int_in(0, len(SELECTOR) - 1, first)


def run(data):
    """One input: its steps, then the module put back as it was."""
    fdp = Reader(data)
    random.seed(0)
    pristine = True
    try:
        for _ in range(fdp.ConsumeIntInRange(1, MAX_STEPS)):
            step = SELECTOR[fdp.ConsumeIntInRange(0, len(SELECTOR) - 1)]
            pristine = step.run(fdp, pristine)
    finally:
        state.restore()
