#include "latkem.h"
namespace latkem {
Obj body_CBD(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "CBD"); raise(); }
Obj body_Parse(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "Parse"); raise(); }
Obj body_generate_mat_a(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "generate_mat_a"); raise(); }
}  // namespace latkem
