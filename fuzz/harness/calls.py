"""Calls of the module's functions and what counts as a finding: a call's
outcome, and the native and the host path compared on the same arguments."""
import copy
import ctypes
import random

import numpy as np

from . import state
from .values import SIZE_LIKE, generate, plain, small_rank


class Finding(AssertionError):
    pass


PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.restype = ctypes.py_object
PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]

# SystemErrors the host's own libraries raise, passed on by the module: the
# message and the innermost entry of the traceback (module function, line).
# On 3.9 to 3.13 hashlib's shake digest(n) with a negative n raises
# SystemError("Negative size passed to PyBytes_FromStringAndSize").
HOST_SYSTEM_ERRORS = {
    ("Negative size passed to PyBytes_FromStringAndSize", "Latkem.kdf", 614),
    ("Negative size passed to PyBytes_FromStringAndSize", "Latkem.PRF", 62),
}


def host_made(exc):
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    where = (tb.tb_frame.f_code.co_name, tb.tb_lineno) if tb is not None else (None, None)
    return (str(exc),) + where in HOST_SYSTEM_ERRORS


# Where the last call that raised failed: the traceback's entries (function,
# line), for make_corpus.py, which keeps one fault per place it reaches.
LAST_FAILURE = ()


def failure_place(exc):
    places = []
    tb = exc.__traceback__
    while tb is not None:
        places.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return tuple(places)


def outcome(fn, args, kwargs):
    global LAST_FAILURE
    LAST_FAILURE = ()
    try:
        return ("returned", fn(*args, **kwargs))
    except SystemError as exc:
        if not host_made(exc):
            raise
        LAST_FAILURE = failure_place(exc)
        return ("raised", SystemError, str(exc))
    except Exception as exc:  # every ordinary exception is an accepted answer
        LAST_FAILURE = failure_place(exc)
        return ("raised", type(exc), str(exc))


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":
            return bool(np.array_equal(a, b, equal_nan=True))
        return same(a.tolist(), b.tolist())
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, (float, complex, np.generic)):
        return bool(a == b) or (bool(a != a) and bool(b != b))  # nan is nan
    return a == b


def both_paths(name, args, kwargs, context=""):
    """The function called on each path, on copies of the arguments and from
    the same random state; the two outcomes must be the same."""
    fn = state.ORIGINAL[name]
    saved = random.getstate()
    first = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    random.setstate(saved)
    fn._native = False
    try:
        second = outcome(fn, copy.deepcopy(args), copy.deepcopy(kwargs))
    finally:
        fn._native = True
    if not same(first, second):
        raise Finding("%s: native and host paths disagree%s\n  args=%r kwargs=%r\n"
                      "  native: %r\n  host:   %r" % (name, context, args, kwargs, first, second))


def call_args(fdp, name):
    """Positional and keyword arguments for one call, with the binding mixes."""
    params = state.PARAMS[name]
    values = [small_rank(name, p, generate(fdp, size_like=(name, p) in SIZE_LIKE))
              for p in params]
    mix = fdp.ConsumeIntInRange(0, 9)
    if mix <= 4 or not params:
        args, kwargs = values, {}
    elif mix == 5:  # some by keyword, in any order
        cut = fdp.ConsumeIntInRange(0, len(params))
        args = values[:cut]
        kwargs = {p: v for p, v in zip(params[cut:], values[cut:])}
    elif mix == 6:  # a parameter twice
        args = values
        kwargs = {params[fdp.ConsumeIntInRange(0, len(params) - 1)]: generate(fdp, 2)}
    elif mix == 7:  # an unknown name
        args, kwargs = values, {fdp.PickValueInList(["x", "data", "self", "c_text", "eta",
                                                     "é", ""]): generate(fdp, 2)}
    elif mix == 8:  # a key that is not a string
        args, kwargs = values[:-1], {fdp.PickValueInList([1, None, b"x", 2.5]): values[-1]}
    else:  # too few or too many
        args, kwargs = values[: fdp.ConsumeIntInRange(0, len(values) + 2)], {}
        args = args + [generate(fdp, 2) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    if name == "CCA_KeyGen" and fdp.ConsumeIntInRange(0, 3) == 0:
        args = [generate(fdp, 2)]
    return list(args), kwargs


def call_function(fdp, pristine):
    """A call of one function with arbitrary arguments, through the module or
    the function object, in one of the ways a host program can call it; on
    an untouched module, on both paths."""
    name = state.pick_function(fdp)
    original = state.ORIGINAL[name]
    fn = state.MODULE.get(name) if fdp.ConsumeIntInRange(0, 7) else original
    args, kwargs = call_args(fdp, name)
    route = fdp.ConsumeIntInRange(0, 4)
    if route == 1:
        fn = getattr(fn, "__call__", fn)
    elif route == 2:
        fn = type(original).__call__.__get__(original)
    elif route == 3:
        # A C-level call with the keyword dictionary as it is: keys that are
        # not strings reach the function's own check.
        target, keywords = fn, kwargs
        fn, kwargs = (lambda *a: PyObject_Call(target, a, keywords)), {}
    if (pristine and route == 0 and fn is original
            and plain(args) and plain(list(kwargs.values()))):
        both_paths(name, args, kwargs)
    else:
        outcome(fn, args, kwargs)
    return pristine
