#include "latkem.h"
namespace latkem {
Obj body_compress(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "compress"); raise(); }
Obj body_decompress(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "decompress"); raise(); }
Obj body_encode(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "encode"); raise(); }
Obj body_decode(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "decode"); raise(); }
Obj body_hex_to_bits(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "hex_to_bits"); raise(); }
Obj body_bits_to_bytes(Frame&, Obj*) { PyErr_SetString(PyExc_NotImplementedError, "bits_to_bytes"); raise(); }
}  // namespace latkem
