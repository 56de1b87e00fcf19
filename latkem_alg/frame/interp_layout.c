/* Where the thread state keeps its soft stack limit, from the host's own internal
   headers (3.14 and 3.15; see interp.h).  C, not C++: those headers are
   written for the host's C compiler.  Elsewhere the offsets are 0. */
#include <stddef.h>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX >= 0x030E0000 && (PY_VERSION_HEX >> 16) <= 0x030F && \
    !defined(LATKEM_UNCHECKED_HOST) && !defined(Py_GIL_DISABLED)
#define Py_BUILD_CORE 1
#include "internal/pycore_tstate.h"
const size_t latkem_stack_soft_limit_offset = offsetof(_PyThreadStateImpl, c_stack_soft_limit);
#else
const size_t latkem_stack_soft_limit_offset = 0;
#endif
