// Hash and XOF wrappers: SHA3-256, SHA3-512, SHAKE-128 and SHAKE-256 in the
// shapes the scheme passes around.
#include "host/statements.h"

namespace latkem {

Obj body_H(Frame& f, Obj* a) {
  Obj data = a[0];
  if (Obj r = f.try_native(bridge::native_H, data.get())) return r;
  f.line = line::H::unhex;
  data = unhexlify(data);
  f.line = line::H::new_hash;
  Obj sha3 = GLOBAL(hashlib).method(NAME(sha3_256));
  f.line = line::H::update;
  sha3.method(NAME(update), data);
  f.line = line::H::hexdigest;
  Obj string = sha3.method(NAME(hexdigest));
  f.line = line::H::fromhex;
  Obj hex_string = Obj::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type)).method(NAME(fromhex), string);
  f.line = line::H::hexlify_digest;
  return hexlify(hex_string);
}

Obj body_G(Frame& f, Obj* a) {
  Obj bytes32 = a[0];
  if (Obj r = f.try_native(bridge::native_G, bytes32.get())) return r;
  f.line = line::G::digest;
  Obj output = GLOBAL(sha3_512)(bytes32).method(NAME(digest));
  f.line = line::G::split;
  Obj first = output.slice(Obj(), num(32), Obj());
  Obj second = output.slice(num(32), Obj(), Obj());
  return tuple_of({first, second});
}

Obj body_PRF(Frame& f, Obj* a) {
  Obj ss = a[0], bd = a[1], eta = a[2];
  if (Obj r = f.try_native(bridge::native_PRF, ss.get(), bd.get(), eta.get())) return r;
  f.line = line::PRF::bytes_seed;
  ss = to_bytes(ss);
  f.line = line::PRF::bytes_nonce;
  bd = to_bytes(bd);
  f.line = line::PRF::join;
  Obj data = ss + bd;
  f.line = line::PRF::shake;
  Obj hash_value = GLOBAL(hashlib).method(NAME(shake_256), data).method(NAME(digest), num(64) * eta);
  f.line = line::PRF::to_hex;
  return hash_value.method(NAME(hex));
}

Obj body_XOF(Frame& f, Obj* a) {
  Obj bytes32 = a[0], int_a = a[1], int_b = a[2];
  if (Obj r = f.try_native(bridge::native_XOF, bytes32.get(), int_a.get(), int_b.get())) return r;
  f.line = line::XOF::index_bytes;
  Obj first = byte_of(int_a);
  Obj second = byte_of(int_b);
  int_a = first;
  int_b = second;
  f.line = line::XOF::join;
  Obj input_bytes = bytes32 + int_a + int_b;
  f.line = line::XOF::check_length;
  Py_ssize_t size = PyObject_Length(input_bytes.get());
  if (size < 0) raise();
  if (size != 34) {
    f.line = line::XOF::raise_length;
    value_error("Length of input bytes should be equal to 32");
  }
  f.line = line::XOF::shake;
  return GLOBAL(shake_128)(input_bytes).method(NAME(digest), num(3) * GLOBAL(n));
}

Obj body_kdf(Frame& f, Obj* a) {
  Obj in_str = a[0], length = a[1];
  if (Obj r = f.try_native(bridge::native_kdf, in_str.get(), length.get())) return r;
  f.line = line::kdf::shake;
  return GLOBAL(shake_256)(in_str).method(NAME(digest), length);
}

}  // namespace latkem
