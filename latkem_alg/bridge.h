// Bridge helpers of the native paths: reading host objects the native core
// can take as they are, and making the host objects it answers with.
#pragma once

#include "obj.h"
#include "native/core.h"

namespace latkem {
namespace fast {

// Hex text held by an exact bytes object or an exact ASCII str.
inline bool text_of(PyObject* o, const char*& data, Py_ssize_t& size) {
  if (PyBytes_CheckExact(o)) {
    data = PyBytes_AS_STRING(o);
    size = PyBytes_GET_SIZE(o);
    return true;
  }
  if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o)) {
    data = static_cast<const char*>(PyUnicode_DATA(o));
    size = PyUnicode_GET_LENGTH(o);
    return true;
  }
  return false;
}

// The bytes that hex text of exactly `size` bytes encodes, or false.
inline bool unhex(PyObject* o, uint8_t* out, size_t size) {
  const char* data;
  Py_ssize_t len;
  return text_of(o, data, len) && static_cast<size_t>(len) == 2 * size &&
         native::hex_decode(out, data, static_cast<size_t>(len));
}

// An exact int within [lo, hi].
inline bool small_int(PyObject* o, long long lo, long long hi, long long& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow || (out == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  return out >= lo && out <= hi;
}

// bytes of lower-case hex digits.
inline Obj hex_bytes(const uint8_t* data, size_t size) {
  Obj r(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(2 * size)));
  native::hex_encode(PyBytes_AS_STRING(r.get()), data, size);
  return r;
}

// str of lower-case hex digits.
inline Obj hex_str(const uint8_t* data, size_t size) {
  Obj r(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127));
  native::hex_encode(static_cast<char*>(PyUnicode_DATA(r.get())), data, size);
  return r;
}

using native::hex_digit;
using native::in_range_mask;
using native::value_barrier;

inline Obj raw_bytes(const uint8_t* data, size_t size) {
  return Obj(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                       static_cast<Py_ssize_t>(size)));
}
}  // namespace fast

}  // namespace latkem
