// Key encapsulation: key generation, encapsulation and decapsulation with
// implicit rejection over the encryption scheme.
#include "latkem.h"

namespace latkem {

namespace {

Obj binascii_fn(PyObject* name) { return GLOBAL(binascii).attr(name); }

// The two texts are compared over their whole length without an early exit,
// so the time taken does not tell how much of a forged ciphertext matched.
// Objects other than two str keep the host's equality.
bool texts_equal(const Obj& a, const Obj& b) {
  PyObject* x = a.get();
  PyObject* y = b.get();
  if (!PyUnicode_Check(x) || !PyUnicode_Check(y)) return a.eq(b);
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(x) < 0 || PyUnicode_READY(y) < 0) raise();
#endif
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

}  // namespace

Obj body_CCA_KeyGen(Frame& f, Obj*) {
  f.line = 652;
  Obj dd = randbytes(GLOBAL(random), num(32));
  f.line = 654;
  Obj cca_pk, sk2;
  unpack2(GLOBAL(Genkey)(dd), cca_pk, sk2);
  f.line = 656;
  Obj H_cca_pk = GLOBAL(H)(cca_pk);
  f.line = 658;
  Obj z = randbytes(GLOBAL(random), num(32));
  f.line = 659;
  z = binascii_fn(NAME(hexlify))(z);
  f.line = 661;
  Obj raw;
  {
    Obj fn = binascii_fn(NAME(unhexlify));
    raw = fn(sk2 + cca_pk + H_cca_pk + z);
  }
  f.line = 662;
  Obj cca_sk = binascii_fn(NAME(hexlify))(raw);
  f.line = 664;
  return tuple_of({cca_pk, cca_sk});
}

Obj body_CCA_Enc(Frame& f, Obj* a) {
  Obj cca_pk = a[0], m_unhex = a[1];
  f.line = 668;
  Obj m_hash;
  {
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    Obj hex = binascii_fn(NAME(hexlify));
    m_hash = unhex(H(hex(m_unhex)));
  }
  f.line = 670;
  Obj K_bar, rand;
  {
    Obj G = GLOBAL(G);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    unpack2(G(m_hash + unhex(H(cca_pk))), K_bar, rand);
  }
  f.line = 672;
  rand = binascii_fn(NAME(hexlify))(rand);
  f.line = 674;
  Obj c_text = GLOBAL(Enc)(cca_pk, m_hash, rand);
  f.line = 676;
  Obj K_key;
  {
    Obj kdf = GLOBAL(kdf);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    K_key = kdf(K_bar + unhex(H(c_text)), num(32));
  }
  f.line = 678;
  return tuple_of({c_text, K_key});
}

Obj body_CCA_Dec(Frame& f, Obj* a) {
  Obj c_text = a[0], cca_sk = a[1];
  // c * kk * n, evaluated left to right.
  auto times = [](long c) { return num(c) * GLOBAL(kk) * GLOBAL(n); };
  f.line = 683;
  Obj cpa_sk = cca_sk.slice(num(0), times(3), Obj());
  f.line = 684;
  Obj cpa_pk;
  {
    Obj start = times(3);
    Obj stop = times(6) + num(64);
    cpa_pk = cca_sk.slice(start, stop, Obj());
  }
  f.line = 685;
  Obj H_cca_pk;
  {
    Obj start = times(6) + num(64);
    Obj stop = times(6) + num(128);
    H_cca_pk = cca_sk.slice(start, stop, Obj());
  }
  f.line = 686;
  Obj z = cca_sk.slice(times(6) + num(128), Obj(), Obj());
  f.line = 688;
  Obj m2 = GLOBAL(Dec)(c_text, cpa_sk);
  f.line = 689;
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
  f.line = 691;
  m2 = GLOBAL(bits_to_bytes)(new_m2);
  f.line = 693;
  Obj K_bar, rand;
  {
    Obj G = GLOBAL(G);
    Obj unhex = binascii_fn(NAME(unhexlify));
    unpack2(G(m2 + unhex(H_cca_pk)), K_bar, rand);
  }
  f.line = 694;
  rand = binascii_fn(NAME(hexlify))(rand);
  f.line = 696;
  Obj c2 = GLOBAL(Enc)(cpa_pk, m2, rand).method(NAME(decode), text("utf-8"));
  f.line = 697;
  if (!PyUnicode_Check(c_text.get())) {
    f.line = 698;
    c_text = c_text.method(NAME(decode), text("utf-8"));
  }
  f.line = 700;
  if (texts_equal(c2, c_text)) {
    f.line = 701;
    Obj kdf = GLOBAL(kdf);
    Obj unhex = binascii_fn(NAME(unhexlify));
    Obj H = GLOBAL(H);
    return kdf(K_bar + unhex(H(c_text)), num(32));
  }
  f.line = 704;
  Obj::borrow(builtins.print)(text("错了"));
  f.line = 705;
  Obj kdf = GLOBAL(kdf);
  Obj unhex = binascii_fn(NAME(unhexlify));
  Obj zz = unhex(z);
  Obj unhex2 = binascii_fn(NAME(unhexlify));
  Obj H = GLOBAL(H);
  return kdf(zz + unhex2(H(c_text)), num(32));
}

}  // namespace latkem
