#include "latkem.h"
namespace latkem {
Obj body_Genkey(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "Genkey"); raise(); }
Obj body_Enc(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "Enc"); raise(); }
Obj body_Dec(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "Dec"); raise(); }
}  // namespace latkem
