// The native paths of the encodings (host/encoding.cpp).  Bit strings, hex
// text and coefficients may all carry key material: characters are checked
// and mapped with arithmetic, the flags of malformed input are accumulated and
// tested once at the end.
#include "bridge/bridge.h"
#include "bridge/paths.h"
#include "host/statements.h"

#include <cstring>

namespace latkem {
namespace bridge {

namespace {


// The bit a character '0' or '1' stands for; any other character sets `bad`.
inline uint32_t bit_of(char ch, uint32_t& bad) {
  const uint32_t d = uint32_t(static_cast<unsigned char>(ch)) ^ '0';
  bad |= d & ~1u;
  return d & 1u;
}

// `count` characters '0'/'1' for the low bits of `value`, least significant first.
inline void put_bits(char* out, uint32_t value, int count) {
  for (int b = 0; b < count; ++b) out[b] = char('0' + ((value >> b) & 1u));
}

// A buffer view, released with its owner.
struct View {
  Py_buffer b;
  bool held = false;
  bool get(PyObject* o, int flags) {
    held = PyObject_GetBuffer(o, &b, flags) == 0;
    if (!held) PyErr_Clear();
    return held;
  }
  ~View() {
    if (held) PyBuffer_Release(&b);
  }
};

// A two-dimensional C-contiguous float64 buffer of shape (rows, cols).
bool float64_matrix(const Py_buffer& b, Py_ssize_t& rows, Py_ssize_t& cols) {
  if (b.ndim != 2 || b.itemsize != 8 || !b.format || std::strcmp(b.format, "d") != 0 ||
      !b.shape)
    return false;
  rows = b.shape[0];
  cols = b.shape[1];
  return rows >= 0 && cols >= 0 && b.len == rows * cols * 8;
}

// numpy's array type itself, not a subclass: a static type can only come from
// an extension, so its name cannot be borrowed by a class of the host's.
bool is_ndarray(PyObject* o) {
  const PyTypeObject* t = Py_TYPE(o);
  return !(t->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(t->tp_name, "numpy.ndarray") == 0;
}

// encode of the rows of a float64 array, each an integral value below 2^l.
bool encode_array(PyObject* array, int l, Obj& result) {
  View view;
  Py_ssize_t rows, cols;
  if (!view.get(array, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) ||
      !float64_matrix(view.b, rows, cols) || cols < native::kN ||
      rows > PY_SSIZE_T_MAX / (native::kN * 16))
    return false;
  const char* data = static_cast<const char*>(view.b.buf);
  const double limit = double(1 << l);
  Obj out(PyUnicode_New(rows * native::kN * l, 127));
  char* bits = static_cast<char*>(PyUnicode_DATA(out.get()));
  uint32_t bad = 0;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    for (int j = 0; j < native::kN; ++j) {
      double x;
      std::memcpy(&x, data + 8 * (r * cols + j), 8);
      // Out of range (NaN included) becomes 0.0 by masking, so that the
      // conversion below is always defined.
      const uint32_t ok = uint32_t(x >= 0.0) & uint32_t(x < limit);
      uint64_t raw;
      std::memcpy(&raw, &x, 8);
      raw &= uint64_t(0) - ok;
      std::memcpy(&x, &raw, 8);
      const int32_t value = int32_t(x);
      bad |= (ok ^ 1u) | uint32_t(double(value) != x);
      put_bits(bits + (r * native::kN + j) * l, uint32_t(value), l);
    }
  }
  if (value_barrier(bad)) return false;
  result = out;
  return true;
}

// encode of a list of lists of ints, each below 2^l.
bool encode_lists(PyObject* polys, int l, Obj& result) {
  const Py_ssize_t rows = PyList_GET_SIZE(polys);
  if (rows > PY_SSIZE_T_MAX / (native::kN * 16)) return false;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject* poly = PyList_GET_ITEM(polys, r);
    if (!PyList_CheckExact(poly) || PyList_GET_SIZE(poly) < native::kN) return false;
  }
  Obj out(PyUnicode_New(rows * native::kN * l, 127));
  char* bits = static_cast<char*>(PyUnicode_DATA(out.get()));
  uint32_t bad = 0;
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject* poly = PyList_GET_ITEM(polys, r);
    for (int j = 0; j < native::kN; ++j) {
      PyObject* item = PyList_GET_ITEM(poly, j);
      if (!PyLong_CheckExact(item)) return false;
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      // Negative values wrap to large ones and fail the bound as well.
      bad |= uint32_t(overflow != 0) | uint32_t((static_cast<unsigned long long>(value) >> l) != 0);
      put_bits(bits + (r * native::kN + j) * l, uint32_t(static_cast<unsigned long long>(value)), l);
    }
  }
  if (value_barrier(bad)) return false;
  result = out;
  return true;
}

}  // namespace

bool native_hex_to_bits(PyObject* hex, Obj& result) {
  const char* text;
  Py_ssize_t size;
  if (!text_of(hex, text, size) || size > PY_SSIZE_T_MAX / 8 - 8)
    return false;
  const Py_ssize_t pieces = (size + 1) / 2;  // a trailing digit is a piece of its own
  Obj out(PyUnicode_New(8 * pieces, 127));
  char* bits = static_cast<char*>(PyUnicode_DATA(out.get()));
  uint32_t bad = 0;
  for (Py_ssize_t i = 0; i < pieces; ++i) {
    uint32_t value = hex_digit(text[2 * i], bad);
    if (2 * i + 1 < size) value = (value << 4) | hex_digit(text[2 * i + 1], bad);
    put_bits(bits + 8 * i, value, 8);
  }
  if (value_barrier(bad)) return false;
  result = out;
  return true;
}

bool native_bits_to_bytes(PyObject* ss, Obj& result) {
  const char* text;
  Py_ssize_t size;
  if (!text_of(ss, text, size)) return false;
  const Py_ssize_t count = size / 8;  // characters after the last group are ignored
  Obj out(PyBytes_FromStringAndSize(nullptr, count));
  uint8_t* bytes = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  uint32_t bad = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    uint32_t value = 0;
    for (int b = 0; b < 8; ++b) value |= bit_of(text[8 * i + b], bad) << b;
    bytes[i] = uint8_t(value);
  }
  if (value_barrier(bad)) return false;
  result = out;
  return true;
}

bool native_encode(PyObject* fff, PyObject* l_obj, Obj& result) {
  long long l;
  if (!PyList_CheckExact(fff) || PyList_GET_SIZE(fff) < 1 || !small_int(l_obj, 1, 12, l))
    return false;
  PyObject* polys = PyList_GET_ITEM(fff, 0);
  if (is_ndarray(polys)) return encode_array(polys, int(l), result);
  if (PyList_CheckExact(polys)) return encode_lists(polys, int(l), result);
  return false;
}

// decode: the array comes from `np.zeros` as in the host statements, at the
// same line, and is then filled through its buffer.
bool native_decode(Frame& f, PyObject* bits_obj, PyObject* l_obj, Obj& result) {
  long long l;
  if (!PyUnicode_CheckExact(bits_obj) || !PyUnicode_IS_ASCII(bits_obj) ||
      !small_int(l_obj, 1, 12, l))
    return false;
  const char* text = static_cast<const char*>(PyUnicode_DATA(bits_obj));
  const Py_ssize_t per_poly = native::kN * l;
  const Py_ssize_t ind = PyUnicode_GET_LENGTH(bits_obj) / per_poly;  // the rest is ignored
  uint32_t bad = 0;
  for (Py_ssize_t i = 0; i < ind * per_poly; ++i) bit_of(text[i], bad);
  if (value_barrier(bad)) return false;
  f.line = line::decode::zeros;
  Obj coeff = zero_rows_of(ind);
  View view;
  Py_ssize_t rows, cols;
  if (!view.get(coeff.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) ||
      !float64_matrix(view.b, rows, cols) || rows != ind || cols != native::kN)
    return false;
  double* out = static_cast<double*>(view.b.buf);
  for (Py_ssize_t i = 0; i < ind * native::kN; ++i) {
    uint32_t value = 0;
    for (long long b = 0; b < l; ++b) value |= bit_of(text[i * l + b], bad) << b;
    out[i] = double(value);
  }
  result = coeff;
  return true;
}

}  // namespace bridge
}  // namespace latkem
