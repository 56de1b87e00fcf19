// Statement helpers the host bodies share (statements.h).
#include "host/statements.h"

namespace latkem {

// `[:]`
Obj whole() { return Obj(PySlice_New(nullptr, nullptr, nullptr)); }

// np.zeros([dims...]), each dimension a global: np.zeros is looked up
// before them, as the host evaluates the statement.
Obj zeros(std::initializer_list<PyObject*> dims) {
  Obj fn = GLOBAL(np).attr(NAME(zeros));
  Obj shape(PyList_New(0));
  for (PyObject* name : dims)
    if (PyList_Append(shape.get(), lookup_global(name).get()) < 0) raise();
  return fn(shape);
}

Obj zero_rows_of(Py_ssize_t rows) {
  Obj fn = GLOBAL(np).attr(NAME(zeros));
  return fn(list_of({Obj(PyLong_FromSsize_t(rows)), GLOBAL(n)}));
}

// raise ValueError(message), through the builtin fixed at initialisation.
[[noreturn]] void value_error(const char* message) {
  Obj exc = Obj::borrow(builtins.ValueError)(text(message));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  raise();
}

Obj binascii_fn(PyObject* name) { return GLOBAL(binascii).attr(name); }

Obj hexlify(const Obj& x) {
  Obj fn = binascii_fn(NAME(hexlify));
  return fn(x);
}

Obj unhexlify(const Obj& x) {
  Obj fn = binascii_fn(NAME(unhexlify));
  return fn(x);
}

// `rows[count, ...]` on the float64 array of `count` rows of n that decode
// makes of too short a bit string: the index error of the statement that
// reads the first missing row (`rest` the remaining indices, `[:]` or 0).
void missing_row(size_t count, const Obj& rest) {
  Obj rows = zero_rows_of(static_cast<Py_ssize_t>(count));
  rows[tuple_of({Obj(PyLong_FromSize_t(count)), rest})];
}

void transform_row(const Obj& out, const Obj& in, const Obj& i, PyObject* fn) {
  Obj g = lookup_global(fn);
  out.set(tuple_of({i, whole()}), g(in[tuple_of({i, whole()})]));
}

Obj zero_rows(Frame& f, int line) {
  f.line = line;
  return zeros({NAME(kk), NAME(n)});
}

Obj zero_list(Frame& f, int line) {
  f.line = line;
  return repeat_list(num(0), GLOBAL(n));
}

Obj hexlify_joined(const Obj& a, const Obj& b) {
  Obj fn = binascii_fn(NAME(hexlify));
  return fn(a + b);
}

Obj decode_bits(Frame& f, const DecodeLines& at, const Obj& x, const Width& l) {
  f.line = at.bits;
  Obj bits = GLOBAL(hex_to_bits)(x);
  f.line = at.decode;
  Obj dec = GLOBAL(decode);
  return dec(bits, l.get());
}

Obj encode_bytes(Frame& f, const EncodeLines& at, const Obj& polys, const Width& l) {
  f.line = at.encode;
  Obj code;
  {
    Obj enc = GLOBAL(encode);
    code = enc(polys, l.get());
  }
  f.line = at.pack;
  return GLOBAL(bits_to_bytes)(code);
}

}  // namespace latkem
