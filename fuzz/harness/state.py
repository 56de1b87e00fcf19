"""The module as it was imported, put back after every input, and what an
input may switch: the parameter set, each function's path, the native core.

Empty until capture() (start-up, after the module's import); importing this
file imports nothing of the module's.  The other parts read these names as
attributes of this file (state.ORIGINAL), so that they see them filled.
"""
import ctypes
import os
import subprocess

PARAMETER_SETS = {
    2: dict(kk=2, eta1=3, eta2=2, du=10, dv=4),
    3: dict(kk=3, eta1=2, eta2=2, du=10, dv=4),
    4: dict(kk=4, eta1=2, eta2=2, du=11, dv=5),
}
# The module's lists that a step may change in place.
TABLES = ("zetas", "zetas_inv", "tree")
# The function objects' attributes a step may set.
FUNCTION_ATTRS = ("__name__", "__qualname__", "__module__", "__doc__")

latkem = None      # the module
MODULE = {}        # its dictionary (the module's own object)
SAVED = []         # its items as imported, in order
ORIGINAL = {}      # the same as a dictionary
FUNCTIONS = []     # the names of the 27 functions, in the module's order
PARAMS = {}        # function name: its parameters' names
SAVED_TABLES = {}  # table name: its items as imported
SAVED_ATTRS = {}   # function name: the values of FUNCTION_ATTRS
SET_PORTABLE = None
PORTABLE_AT_START = False


def capture(module):
    """Records the module as it is now: what restore() puts back."""
    global latkem, MODULE, SAVED, SET_PORTABLE, PORTABLE_AT_START
    latkem = module
    MODULE = vars(module)
    SAVED = list(MODULE.items())
    ORIGINAL.clear()
    ORIGINAL.update(SAVED)
    FUNCTIONS[:] = [name for name, value in SAVED if hasattr(value, "_native")]
    assert len(FUNCTIONS) == 27, FUNCTIONS
    PARAMS.clear()
    SAVED_ATTRS.clear()
    for name in FUNCTIONS:
        code = ORIGINAL[name].__code__
        PARAMS[name] = code.co_varnames[: code.co_argcount]
        SAVED_ATTRS[name] = [getattr(ORIGINAL[name], a) for a in FUNCTION_ATTRS]
    SAVED_TABLES.clear()
    SAVED_TABLES.update((name, list(ORIGINAL[name])) for name in TABLES)
    SET_PORTABLE = find_set_portable(module.__file__)
    PORTABLE_AT_START = os.environ.get("LATKEM_PORTABLE", "") not in ("", "0")


def find_set_portable(path):
    """The core's switch between its portable and its vector code, which the
    module does not export: found by its address in the (unstripped) fuzzing
    build, so that one run reaches both cores.  None where it cannot be
    found (no nm, no /proc, a stripped build)."""
    path = os.path.realpath(path)
    try:
        symbols = subprocess.run(["nm", "-C", path], capture_output=True, text=True,
                                 check=True).stdout
        offset = next(int(line.split()[0], 16) for line in symbols.splitlines()
                      if line.endswith(" latkem::native::set_portable(bool)"))
        with open("/proc/self/maps") as maps:
            base = min(int(line.split("-")[0], 16) for line in maps
                       if line.rstrip().endswith(path))
    except (OSError, subprocess.CalledProcessError, StopIteration, ValueError):
        return None
    return ctypes.CFUNCTYPE(None, ctypes.c_bool)(base + offset)


def restore():
    """The module as captured: its globals, its tables' items, the function
    objects' paths and attributes, the native core."""
    if [(k, id(v)) for k, v in MODULE.items()] != [(k, id(v)) for k, v in SAVED]:
        MODULE.clear()
        MODULE.update(SAVED)
    for name, items in SAVED_TABLES.items():
        ORIGINAL[name][:] = items
    for name in FUNCTIONS:
        fn = ORIGINAL[name]
        fn._native = True
        for attr, value in zip(FUNCTION_ATTRS, SAVED_ATTRS[name]):
            if getattr(fn, attr) is not value:
                setattr(fn, attr, value)
        if fn.__dict__:
            fn.__dict__.clear()
    if SET_PORTABLE is not None:
        SET_PORTABLE(PORTABLE_AT_START)


def use_parameters(rank):
    for name, value in PARAMETER_SETS[rank].items():
        setattr(latkem, name, value)


def set_paths(native):
    """Every module function on the native path (True) or the host path."""
    for name in FUNCTIONS:
        ORIGINAL[name]._native = native


def pick_function(fdp):
    """The name of one of the module's functions, as the input chooses."""
    return FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
