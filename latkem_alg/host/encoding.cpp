// Encodings: coefficient compression, bit packing of polynomials, and the
// conversions between hexadecimal text, bit strings and bytes.  Bit strings
// hold the least significant bit of every byte or coefficient first.
#include "host/statements.h"

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
  f.line = line::compress::round_x;
  Obj scale = num(2).pow(d_u);
  Obj new_x = host_round(scale / GLOBAL(q) * x);
  f.line = line::compress::make_mod;
  Obj mod = num(2).pow(d_u);
  f.line = line::compress::reduce_x;
  return new_x % mod;
}

Obj body_decompress(Frame& f, Obj* a) {
  Obj x = a[0], d_u = a[1];
  f.line = line::decompress::round_x;
  Obj modulus = GLOBAL(q);
  Obj new_x = host_round(modulus / num(2).pow(d_u) * x);
  return new_x;
}

Obj body_encode(Frame& f, Obj* a) {
  Obj fff = a[0], l = a[1];
  if (Obj r = f.try_native(bridge::native_encode, fff.get(), l.get())) return r;
  Obj fff_bytes = text("");
  f.line = line::encode::row_loop;
  Obj count = len(fff[0]);
  for_range(num(0), count, [&](Obj ii) {
    f.line = line::encode::coeff_loop;
    for_range(num(0), GLOBAL(n), [&](Obj jj) {
      f.line = line::encode::append;
      Obj value = to_int(fff[0][ii][jj]);
      Obj spec = text("0") + to_str(l) + text("b");
      fff_bytes = fff_bytes + reversed(host_format(value, spec));
    });
  });
  return fff_bytes;
}

Obj body_decode(Frame& f, Obj* a) {
  Obj fff_bits = a[0], l = a[1];
  if (Obj r = f.try_native(bridge::native_decode, f, fff_bits.get(), l.get())) return r;
  f.line = line::decode::count;
  Obj size = len(fff_bits);
  Obj ind = to_int(size / (l * num(256)));
  f.line = line::decode::chars;
  Obj rr = to_list(fff_bits);
  f.line = line::decode::zeros;
  Obj zeros = GLOBAL(np).attr(NAME(zeros));
  Obj coeff = zeros(list_of({ind, GLOBAL(n)}));
  f.line = line::decode::row_loop;
  for_range(num(0), ind, [&](Obj hh) {
    f.line = line::decode::coeff_loop;
    for_range(num(0), GLOBAL(n), [&](Obj ii) {
      f.line = line::decode::bit_loop;
      for_range(num(0), l, [&](Obj jj) {
        f.line = line::decode::add_bit;
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
  if (Obj r = f.try_native(bridge::native_hex_to_bits, hex_str.get())) return r;
  f.line = line::hex_to_bits::decode_bytes;
  if (PyBytes_Check(hex_str.get())) hex_str = hex_str.method(NAME(decode), text("utf-8"));
  f.line = line::hex_to_bits::pairs;
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
    f.line = line::hex_to_bits::parse_pair;
    Obj byte = to_int(hex_pair, num(16));
    f.line = line::hex_to_bits::format_byte;
    Obj tem = host_format(byte, text("08b"));
    f.line = line::hex_to_bits::append;
    bit_str = bit_str + reversed(tem);
  }
  return bit_str;
}

Obj body_bits_to_bytes(Frame& f, Obj* a) {
  Obj ss = a[0];
  if (Obj r = f.try_native(bridge::native_bits_to_bytes, ss.get())) return r;
  f.line = line::bits_to_bytes::count;
  Obj ind = to_int(len(ss) / num(8));
  f.line = line::bits_to_bytes::empty;
  Obj byte32(PyBytes_FromStringAndSize("", 0));
  f.line = line::bits_to_bytes::loop;
  for_range(num(0), ind, [&](Obj ii) {
    f.line = line::bits_to_bytes::parse_group;
    Obj group = ss.slice(ii * num(8), (ii + num(1)) * num(8), Obj());
    Obj tem = to_int(reversed(group), num(2));
    f.line = line::bits_to_bytes::append;
    byte32 = byte32 + byte_of(tem);
  });
  return byte32;
}

}  // namespace latkem
