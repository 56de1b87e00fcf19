// The native paths of the module's functions, as the bodies take them:
//     if (Obj r = f.try_native(bridge::native_X, args...)) return r;
// Each answers true with `result` set, or false to leave the call to the host
// path (Frame::try_native in frame/latkem.h).  Defined in the bridge's file of
// the function's subsystem, which hands the typed inputs to the core in
// native/; this header needs none of the core.
#pragma once

#include "frame/latkem.h"

namespace latkem {
namespace bridge {

// arith.cpp
bool native_ntt3(PyObject* vvv, Obj& result);
bool native_intt3(PyObject* vvv, Obj& result);
bool native_ntt3_mul(PyObject* fff, PyObject* ggg, Obj& result);

// hashing.cpp
bool native_H(PyObject* data, Obj& result);
bool native_G(PyObject* bytes32, Obj& result);
bool native_PRF(PyObject* ss, PyObject* bd, PyObject* eta, Obj& result);
bool native_XOF(PyObject* bytes32, PyObject* int_a, PyObject* int_b, Obj& result);
bool native_kdf(PyObject* in_str, PyObject* length, Obj& result);

// sampling.cpp
bool native_CBD(PyObject* stream, PyObject* eta_obj, Obj& result);
bool native_Parse(PyObject* stream, Obj& result);

// encoding.cpp
bool native_hex_to_bits(PyObject* hex, Obj& result);
bool native_bits_to_bytes(PyObject* ss, Obj& result);
bool native_encode(PyObject* fff, PyObject* l_obj, Obj& result);
bool native_decode(Frame& f, PyObject* bits_obj, PyObject* l_obj, Obj& result);

// pke.cpp
bool native_Genkey(PyObject* dd, Obj& result);
bool native_Enc(Frame& f, PyObject* pk_cpa, PyObject* ran_m, PyObject* rand, Obj& result);
bool native_Dec(Frame& f, PyObject* uv_code, PyObject* sk_cpa, Obj& result);

// kem.cpp
bool native_CCA_KeyGen(Frame& f, PyObject* dd, Obj& result);
bool native_CCA_Enc(Frame& f, PyObject* cca_pk, PyObject* m_unhex, Obj& result);
bool native_CCA_Dec(Frame& f, PyObject* c_text, PyObject* cca_sk, Obj& result);

}  // namespace bridge
}  // namespace latkem
