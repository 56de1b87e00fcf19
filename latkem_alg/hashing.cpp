// Hash and XOF wrappers: SHA3-256, SHA3-512, SHAKE-128 and SHAKE-256 in the
// shapes the scheme passes around.
#include "latkem.h"

namespace latkem {

Obj body_H(Frame& f, Obj* a) {
  Obj data = a[0];
  f.line = 68;
  data = GLOBAL(binascii).method(NAME(unhexlify), data);
  f.line = 70;
  Obj sha3 = GLOBAL(hashlib).method(NAME(sha3_256));
  f.line = 71;
  sha3.method(NAME(update), data);
  f.line = 72;
  Obj string = sha3.method(NAME(hexdigest));
  f.line = 73;
  Obj hex_string = Obj::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type)).method(NAME(fromhex), string);
  f.line = 74;
  return GLOBAL(binascii).method(NAME(hexlify), hex_string);
}

Obj body_G(Frame& f, Obj* a) {
  Obj bytes32 = a[0];
  f.line = 522;
  Obj output = GLOBAL(sha3_512)(bytes32).method(NAME(digest));
  f.line = 525;
  Obj first = output.slice(Obj(), num(32), Obj());
  Obj second = output.slice(num(32), Obj(), Obj());
  return tuple_of({first, second});
}

Obj body_PRF(Frame& f, Obj* a) {
  Obj ss = a[0], bd = a[1], eta = a[2];
  f.line = 57;
  ss = to_bytes(ss);
  f.line = 58;
  bd = to_bytes(bd);
  f.line = 59;
  Obj data = ss + bd;
  f.line = 62;
  Obj hash_value = GLOBAL(hashlib).method(NAME(shake_256), data).method(NAME(digest), num(64) * eta);
  f.line = 64;
  return hash_value.method(NAME(hex));
}

Obj body_XOF(Frame& f, Obj* a) {
  Obj bytes32 = a[0], int_a = a[1], int_b = a[2];
  f.line = 497;
  Obj first = byte_of(int_a);
  Obj second = byte_of(int_b);
  int_a = first;
  int_b = second;
  f.line = 499;
  Obj input_bytes = bytes32 + int_a + int_b;
  f.line = 501;
  Py_ssize_t size = PyObject_Length(input_bytes.get());
  if (size < 0) raise();
  if (size != 34) {
    f.line = 502;
    Obj exc = Obj::borrow(builtins.ValueError)(text("Length of input bytes should be equal to 32"));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    raise();
  }
  f.line = 504;
  return GLOBAL(shake_128)(input_bytes).method(NAME(digest), num(3) * GLOBAL(n));
}

Obj body_kdf(Frame& f, Obj* a) {
  Obj in_str = a[0], length = a[1];
  f.line = 614;
  return GLOBAL(shake_256)(in_str).method(NAME(digest), length);
}

}  // namespace latkem
