// Encodings: coefficient compression, bit packing of polynomials, and the
// conversions between hexadecimal text, bit strings and bytes.  Bit strings
// hold the least significant bit of every byte or coefficient first.
#include "latkem.h"

namespace latkem {

namespace {

// round(x) through the builtin fixed at initialisation (ties to even).
Obj host_round(const Obj& x) { return Obj::borrow(builtins.round)(x); }

// format(value, spec) through the builtin fixed at initialisation.
Obj host_format(const Obj& value, const Obj& spec) {
  return Obj::borrow(builtins.format)(value, spec);
}

// s[::-1]
Obj reversed(const Obj& s) { return s.slice(Obj(), Obj(), num(-1)); }

}  // namespace

Obj body_compress(Frame& f, Obj* a) {
  Obj x = a[0], d_u = a[1];
  f.line = 32;
  Obj scale = num(2).pow(d_u);
  Obj new_x = host_round(scale / GLOBAL(q) * x);
  f.line = 33;
  Obj mod = num(2).pow(d_u);
  f.line = 34;
  return new_x % mod;
}

Obj body_decompress(Frame& f, Obj* a) {
  Obj x = a[0], d_u = a[1];
  f.line = 39;
  Obj modulus = GLOBAL(q);
  Obj new_x = host_round(modulus / num(2).pow(d_u) * x);
  return new_x;
}

Obj body_encode(Frame& f, Obj* a) {
  Obj fff = a[0], l = a[1];
  Obj fff_bytes = text("");
  f.line = 558;
  Obj count = len(fff[0]);
  for_range(num(0), count, [&](Obj ii) {
    f.line = 559;
    for_range(num(0), GLOBAL(n), [&](Obj jj) {
      f.line = 560;
      Obj value = to_int(fff[0][ii][jj]);
      Obj spec = text("0") + to_str(l) + text("b");
      fff_bytes = fff_bytes + reversed(host_format(value, spec));
    });
  });
  return fff_bytes;
}

Obj body_decode(Frame& f, Obj* a) {
  Obj fff_bits = a[0], l = a[1];
  f.line = 568;
  Obj size = len(fff_bits);
  Obj ind = to_int(size / (l * num(256)));
  f.line = 570;
  Obj rr = to_list(fff_bits);
  f.line = 572;
  Obj zeros = GLOBAL(np).attr(NAME(zeros));
  Obj coeff = zeros(list_of({ind, GLOBAL(n)}));
  f.line = 574;
  for_range(num(0), ind, [&](Obj hh) {
    f.line = 575;
    for_range(num(0), GLOBAL(n), [&](Obj ii) {
      f.line = 576;
      for_range(num(0), l, [&](Obj jj) {
        f.line = 577;
        Obj key = tuple_of({hh, ii});
        Obj old = coeff[key];
        Obj pos = GLOBAL(n) * l * hh + ii * l + jj;
        Obj term = to_int(rr[pos]) * num(2).pow(jj);
        Obj sum = old + term;
        coeff.set(key, sum);
      });
    });
  });
  return coeff;
}

Obj body_hex_to_bits(Frame& f, Obj* a) {
  Obj hex_str = a[0];
  f.line = 584;
  if (PyBytes_Check(hex_str.get())) hex_str = hex_str.method(NAME(decode), text("utf-8"));
  f.line = 585;
  Obj hex_pairs(PyList_New(0));
  {
    Py_ssize_t total = PyObject_Length(hex_str.get());
    if (total < 0) raise();
    for (Py_ssize_t ic = 0; ic < total; ic += 2) {
      Obj start(PyLong_FromSsize_t(ic));
      Obj stop(PyLong_FromSsize_t(ic + 2));
      Obj pair = hex_str.slice(start, stop, Obj());
      if (PyList_Append(hex_pairs.get(), pair.get()) < 0) raise();
    }
  }
  Obj bit_str = text("");
  Py_ssize_t count = PyList_GET_SIZE(hex_pairs.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    Obj hex_pair = hex_pairs[i];
    f.line = 589;
    Obj byte = to_int(hex_pair, num(16));
    f.line = 590;
    Obj tem = host_format(byte, text("08b"));
    f.line = 591;
    bit_str = bit_str + reversed(tem);
  }
  return bit_str;
}

Obj body_bits_to_bytes(Frame& f, Obj* a) {
  Obj ss = a[0];
  f.line = 599;
  Obj ind = to_int(len(ss) / num(8));
  f.line = 600;
  Obj byte32(PyBytes_FromStringAndSize("", 0));
  f.line = 602;
  for_range(num(0), ind, [&](Obj ii) {
    f.line = 604;
    Obj group = ss.slice(ii * num(8), (ii + num(1)) * num(8), Obj());
    Obj tem = to_int(reversed(group), num(2));
    f.line = 606;
    byte32 = byte32 + byte_of(tem);
  });
  return byte32;
}

}  // namespace latkem
