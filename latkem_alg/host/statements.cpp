// Statement helpers the host bodies share (statements.h).
#include "host/statements.h"

namespace latkem {

// `[:]`
Obj whole() { return Obj(PySlice_New(nullptr, nullptr, nullptr)); }

// np.zeros([dims...])
Obj zeros(std::initializer_list<Obj> dims) {
  Obj np = GLOBAL(np);
  Obj fn = np.attr(NAME(zeros));
  return fn(list_of(dims));
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
  Obj rows = zeros({Obj(PyLong_FromSize_t(count)), GLOBAL(n)});
  rows[tuple_of({Obj(PyLong_FromSize_t(count)), rest})];
}

}  // namespace latkem
