#include "latkem.h"
namespace latkem {
Obj body_mont_red(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "mont_red"); raise(); }
Obj body_mont_mul(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "mont_mul"); raise(); }
Obj body_barrett_red(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "barrett_red"); raise(); }
Obj body_ntt3_mul(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "ntt3_mul"); raise(); }
Obj body_ntt3_mul0(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "ntt3_mul0"); raise(); }
Obj body_ntt3(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "ntt3"); raise(); }
Obj body_intt3(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "intt3"); raise(); }
}  // namespace latkem
