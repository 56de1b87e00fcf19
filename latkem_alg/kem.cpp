#include "latkem.h"
namespace latkem {
Obj body_CCA_KeyGen(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "CCA_KeyGen"); raise(); }
Obj body_CCA_Enc(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "CCA_Enc"); raise(); }
Obj body_CCA_Dec(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "CCA_Dec"); raise(); }
}  // namespace latkem
