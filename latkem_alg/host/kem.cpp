// Key encapsulation: key generation, encapsulation and decapsulation with
// implicit rejection over the encryption scheme.
#include "host/statements.h"

namespace latkem {

namespace {

// The comparison c2 == c_text.  Two exact str are compared over their whole
// length without an early exit, so the time taken does not tell how much of
// a forged ciphertext matched.  Anything else keeps the host's equality, in
// which a str subclass's own __eq__ comes first.
bool texts_equal(const Obj& a, const Obj& b) {
  PyObject* x = a.get();
  PyObject* y = b.get();
  if (!PyUnicode_CheckExact(x) || !PyUnicode_CheckExact(y)) return a.eq(b);
  if (!interp::unicode_ready(x) || !interp::unicode_ready(y)) raise();
  Py_ssize_t size = PyUnicode_GET_LENGTH(x);
  if (size != PyUnicode_GET_LENGTH(y)) return false;
  const int kx = PyUnicode_KIND(x), ky = PyUnicode_KIND(y);
  const void* dx = PyUnicode_DATA(x);
  const void* dy = PyUnicode_DATA(y);
  Py_UCS4 diff = static_cast<Py_UCS4>(kx ^ ky);
  for (Py_ssize_t i = 0; i < size; ++i)
    diff |= PyUnicode_READ(kx, dx, i) ^ PyUnicode_READ(ky, dy, i);
  return diff == 0;
}

// The statements of CCA_KeyGen after the key pair and its hash, on the host
// path: the second draw and the rest.
Obj keygen_tail(Frame& f, const Obj& cca_pk, const Obj& sk2, const Obj& H_cca_pk) {
  f.line = line::CCA_KeyGen::draw_z;
  Obj z = randbytes(GLOBAL(random), num(32));
  return keygen_rest(f, cca_pk, sk2, H_cca_pk, z, false);
}

}  // namespace

// The statements of CCA_KeyGen after the draw of `z`: its hex and the secret
// key (returned with the public key).  With `shortcut` (the pieces came from
// the native core and the guard still holds after the draw, which runs user
// code) the secret key is the pieces' concatenation: all lower-case hex, so
// decoding and encoding it again is the identity.
Obj keygen_rest(Frame& f, const Obj& cca_pk, const Obj& sk2, const Obj& H_cca_pk, Obj z,
                bool shortcut) {
  f.line = line::CCA_KeyGen::hexlify_z;
  z = hexlify(z);
  f.line = line::CCA_KeyGen::unhex_sk;
  Obj cca_sk;
  if (shortcut && PyBytes_CheckExact(z.get())) {
    cca_sk = sk2 + cca_pk + H_cca_pk + z;
  } else {
    Obj raw;
    {
      Obj fn = binascii_fn(NAME(unhexlify));
      raw = fn(sk2 + cca_pk + H_cca_pk + z);
    }
    f.line = line::CCA_KeyGen::hexlify_sk;
    cca_sk = hexlify(raw);
  }
  f.line = line::CCA_KeyGen::result;
  return tuple_of({cca_pk, cca_sk});
}

// The rejection key: kdf(binascii.unhexlify(z) + binascii.unhexlify(H(c_text)), 32).
Obj rejection_key(Frame& f, const Obj& z, const Obj& c_text) {
  f.line = line::CCA_Dec::reject_key;
  Obj kdf = GLOBAL(kdf);
  Obj unhex = binascii_fn(NAME(unhexlify));
  Obj zz = unhex(z);
  Obj unhex2 = binascii_fn(NAME(unhexlify));
  Obj H = GLOBAL(H);
  return kdf(zz + unhex2(H(c_text)), num(32));
}

Obj body_CCA_KeyGen(Frame& f, Obj*) {
  f.line = line::CCA_KeyGen::draw_seed;
  Obj dd = randbytes(GLOBAL(random), num(32));
  // The draw runs user code; the guard looks after it.
  if (Obj r = f.try_native(bridge::native_CCA_KeyGen, f, dd.get())) return r;
  f.line = line::CCA_KeyGen::genkey;
  Obj cca_pk, sk2;
  unpack2(GLOBAL(Genkey)(dd), cca_pk, sk2);
  f.line = line::CCA_KeyGen::hash_pk;
  Obj H_cca_pk = GLOBAL(H)(cca_pk);
  return keygen_tail(f, cca_pk, sk2, H_cca_pk);
}

Obj body_CCA_Enc(Frame& f, Obj* a) {
  Obj cca_pk = a[0], m_unhex = a[1];
  if (Obj r = f.try_native(bridge::native_CCA_Enc, f, cca_pk.get(), m_unhex.get())) return r;
  f.line = line::CCA_Enc::hash_message;
  Obj m_hash;
  {
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    Obj hex = binascii_fn(NAME(hexlify));
    m_hash = unhex(H(hex(m_unhex)));
  }
  f.line = line::CCA_Enc::derive;
  Obj K_bar, rand;
  {
    Obj G = GLOBAL(G);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    unpack2(G(m_hash + unhex(H(cca_pk))), K_bar, rand);
  }
  f.line = line::CCA_Enc::hexlify_coins;
  rand = hexlify(rand);
  f.line = line::CCA_Enc::encrypt;
  Obj c_text = GLOBAL(Enc)(cca_pk, m_hash, rand);
  f.line = line::CCA_Enc::shared_key;
  Obj K_key;
  {
    Obj kdf = GLOBAL(kdf);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    K_key = kdf(K_bar + unhex(H(c_text)), num(32));
  }
  f.line = line::CCA_Enc::result;
  return tuple_of({c_text, K_key});
}

Obj body_CCA_Dec(Frame& f, Obj* a) {
  Obj c_text = a[0], cca_sk = a[1];
  if (Obj r = f.try_native(bridge::native_CCA_Dec, f, c_text.get(), cca_sk.get())) return r;
  // c * kk * n, evaluated left to right.
  auto times = [](int64_t c) { return num(c) * GLOBAL(kk) * GLOBAL(n); };
  f.line = line::CCA_Dec::slice_sk;
  Obj cpa_sk = cca_sk.slice(num(0), times(3), Obj());
  f.line = line::CCA_Dec::slice_pk;
  Obj cpa_pk;
  {
    Obj start = times(3);
    Obj stop = times(6) + num(64);
    cpa_pk = cca_sk.slice(start, stop, Obj());
  }
  f.line = line::CCA_Dec::slice_hash;
  Obj H_cca_pk;
  {
    Obj start = times(6) + num(64);
    Obj stop = times(6) + num(128);
    H_cca_pk = cca_sk.slice(start, stop, Obj());
  }
  f.line = line::CCA_Dec::slice_z;
  Obj z = cca_sk.slice(times(6) + num(128), Obj(), Obj());
  f.line = line::CCA_Dec::decrypt;
  Obj m2 = GLOBAL(Dec)(c_text, cpa_sk);
  f.line = line::CCA_Dec::join_bits;
  Obj new_m2;
  {
    Obj bits(PyList_New(0));
    Obj it(PyObject_GetIter(m2.get()));
    while (PyObject* item = PyIter_Next(it.get())) {
      Obj i(item);
      if (PyList_Append(bits.get(), to_str(i).get()) < 0) raise();
    }
    if (PyErr_Occurred()) raise();
    new_m2 = Obj(PyUnicode_Join(text("").get(), bits.get()));
  }
  f.line = line::CCA_Dec::pack_message;
  m2 = GLOBAL(bits_to_bytes)(new_m2);
  f.line = line::CCA_Dec::derive;
  Obj K_bar, rand;
  {
    Obj G = GLOBAL(G);
    Obj unhex = binascii_fn(NAME(unhexlify));
    unpack2(G(m2 + unhex(H_cca_pk)), K_bar, rand);
  }
  f.line = line::CCA_Dec::hexlify_coins;
  rand = hexlify(rand);
  f.line = line::CCA_Dec::reencrypt;
  Obj c2 = GLOBAL(Enc)(cpa_pk, m2, rand).method(NAME(decode), text("utf-8"));
  f.line = line::CCA_Dec::test_text;
  if (!PyUnicode_Check(c_text.get())) {
    f.line = line::CCA_Dec::decode_text;
    c_text = c_text.method(NAME(decode), text("utf-8"));
  }
  f.line = line::CCA_Dec::compare;
  if (texts_equal(c2, c_text)) {
    f.line = line::CCA_Dec::shared_key;
    Obj kdf = GLOBAL(kdf);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    return kdf(K_bar + unhex(H(c_text)), num(32));
  }
  f.line = line::CCA_Dec::print_reject;
  Obj::borrow(builtins.print)(text("错了"));
  return rejection_key(f, z, c_text);
}

}  // namespace latkem
