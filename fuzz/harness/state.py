"""The module as it was imported, put back after every input, and what an
input may switch: the parameter set, each function's path, the native core.

Empty until capture() (start-up, after the module's import); importing this
file imports nothing of the module's (nor does the test kit it shares the
parameter sets and switches with).  The other parts read these names as
attributes of this file (state.ORIGINAL), so that they see them filled.
"""
import kit

# The parameter sets by rank (the kit's of each rank with the default noise).
PARAMETER_SETS = {kk: kit.PARAMETER_SETS["rank%d" % kk] for kk in (2, 3, 4)}
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
CORES = []         # the native cores this build and processor run, the default first
START_CORE = None  # the core in use as captured


def capture(module):
    """Records the module as it is now: what restore() puts back."""
    global latkem, MODULE, SAVED, START_CORE
    latkem = module
    MODULE = vars(module)
    SAVED = list(MODULE.items())
    ORIGINAL.clear()
    ORIGINAL.update(SAVED)
    FUNCTIONS[:] = kit.function_names(module)
    assert len(FUNCTIONS) == 27, FUNCTIONS
    PARAMS.clear()
    SAVED_ATTRS.clear()
    for name in FUNCTIONS:
        code = ORIGINAL[name].__code__
        PARAMS[name] = code.co_varnames[: code.co_argcount]
        SAVED_ATTRS[name] = [getattr(ORIGINAL[name], a) for a in FUNCTION_ATTRS]
    SAVED_TABLES.clear()
    SAVED_TABLES.update((name, list(ORIGINAL[name])) for name in TABLES)
    START_CORE = ORIGINAL["H"]._core
    CORES[:] = kit.cores(module)


def set_core(name):
    """Selects the native core of the whole process, the one way the harness
    switches it: the functions' own `_core` (any function's does for all)."""
    ORIGINAL["H"]._core = name


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
    set_core(START_CORE)


def use_parameters(rank):
    MODULE.update(PARAMETER_SETS[rank])


def set_paths(native):
    """Every module function on the native path (True) or the host path."""
    kit.set_paths(native, [ORIGINAL[name] for name in FUNCTIONS])


def pick_function(fdp):
    """The name of one of the module's functions, as the input chooses."""
    return FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
