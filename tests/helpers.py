"""Helpers shared by the test modules."""
import contextlib

import numpy as np

import Latkem

Q = 3329
N = 256
# File name every traceback entry of the module reports.
TB_FILE = "latkem_alg\\Latkem"
# Stands for "remove this global" in `rebound`.
DELETE = object()
# The 27 function objects as the module bound them.
FUNCTIONS = [value for value in vars(Latkem).values() if hasattr(value, "_native")]


def module_entries(exc):
    """(function, line) of every traceback entry the module added, outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == TB_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


@contextlib.contextmanager
def rebound(**values):
    """Rebinds (or, with DELETE, removes) module globals; on exit puts the module
    dictionary back as it was, with its values and its key order."""
    d = vars(Latkem)
    saved = list(d.items())
    try:
        for name, value in values.items():
            if value is DELETE:
                d.pop(name, None)
            else:
                d[name] = value
        yield
    finally:
        if [(k, id(v)) for k, v in d.items()] != [(k, id(v)) for k, v in saved]:
            d.clear()
            d.update(saved)


@contextlib.contextmanager
def host_only():
    """Every function of the module on its host path."""
    saved = [fn._native for fn in FUNCTIONS]
    for fn in FUNCTIONS:
        fn._native = False
    try:
        yield
    finally:
        for fn, value in zip(FUNCTIONS, saved):
            fn._native = value


def same_nan(x):
    return "nan" if isinstance(x, float) and x != x else x


def describe(value):
    """A comparable picture of a result, element types included."""
    if isinstance(value, np.ndarray):
        return (type(value), value.dtype.str, value.shape, value.flags.c_contiguous,
                [same_nan(x) for x in value.ravel().tolist()])
    if isinstance(value, list):
        return (list, [(type(x), same_nan(x)) for x in value])
    if isinstance(value, tuple):
        return (tuple, [describe(x) for x in value])
    return (type(value), value)


def outcome(fn, *args):
    """What a call did: its result, or its exception with the module's entries."""
    try:
        result = fn(*args)
    except Exception as exc:  # compared field by field
        return ("raised", type(exc), str(exc), module_entries(exc))
    return ("returned", describe(result))
