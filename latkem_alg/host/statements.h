// Statement helpers the host bodies share (statements.cpp), and the host
// statements a native path runs when it has worked out where the host path
// would fail (bridge/).  Every one runs on host objects only, in the order
// the host evaluates the statement it stands for.
#pragma once

#include "bridge/paths.h"
#include "frame/latkem.h"

#include <initializer_list>

namespace latkem {

// `[:]`
Obj whole();

// np.zeros([dims...]), each dimension a global (NAME(kk), ...): np.zeros is
// looked up before them, as the host evaluates the statement.
Obj zeros(std::initializer_list<PyObject*> dims);

// raise ValueError(message), through the builtin fixed at initialisation.
[[noreturn]] void value_error(const char* message);

// np.zeros([rows, n]) for a count of rows the native path worked out,
// np.zeros looked up first, as the host evaluates it.
Obj zero_rows_of(Py_ssize_t rows);

// binascii.<name>, looked up at the time of use.
Obj binascii_fn(PyObject* name);

// binascii.hexlify(x) and binascii.unhexlify(x), the callee looked up after
// `x` has been computed.
Obj hexlify(const Obj& x);
Obj unhexlify(const Obj& x);

// `rows[count, ...]` on the float64 array of `count` rows of n that decode
// makes of too short a bit string: the index error of the statement that
// reads the first missing row (`rest` the remaining indices, `[:]` or 0).
void missing_row(size_t count, const Obj& rest);

// The statements of CCA_KeyGen after the draw of `z` (kem.cpp).
Obj keygen_rest(Frame& f, const Obj& cca_pk, const Obj& sk2, const Obj& H_cca_pk, Obj z,
                bool shortcut);

// The rejection key of CCA_Dec (kem.cpp).
Obj rejection_key(Frame& f, const Obj& z, const Obj& c_text);

// ---------------------------------------------------------------------------
// Loops and statements the bodies repeat.  Each helper sets the lines of the
// statements it runs, in the host's order, from the body's named lines.

// The width argument of encode and decode: a global's name, or a constant.
struct Width {
  Width(PyObject* global) : name(global) {}
  Width(long constant) : value(constant) {}
  Obj get() const { return name ? lookup_global(name) : num(value); }
  PyObject* name = nullptr;
  long value = 0;
};

// The lines of a loop whose statement is `statement(i)`:
//   for i in range(count):   # loop
//       <statement>          # body (later statements set their own lines)
struct LoopLines {
  int loop, body;
};

// `count` is the name of the global the range runs to (kk or n).
template <class Statement>
void each(Frame& f, PyObject* count, const LoopLines& at, Statement&& statement) {
  f.line = at.loop;
  for_range(num(0), lookup_global(count), [&](const Obj& i) {
    f.line = at.body;
    statement(i);
    f.line = at.loop;
  });
}

// The lines of a loop over the entries of a kk-by-n array:
//   for i in range(kk):          # rows
//       for c in range(n):       # coeffs
//           <statement>          # body, given the entry (i, c)
struct EntryLines {
  int rows, coeffs, body;
};

template <class Statement>
void each_entry(Frame& f, const EntryLines& at, Statement&& statement) {
  each(f, NAME(kk), {at.rows, at.coeffs}, [&](const Obj& i) {
    each(f, NAME(n), {at.coeffs, at.body}, [&](const Obj& c) { statement(tuple_of({i, c})); });
  });
}

// The lines of the sums of the matrix-vector products:
//   for i in range(kk):                                # rows
//       for c in range(n):                             # coeffs
//           for j in range(kk):                        # terms
//               acc[i, c] = acc[i, c] + vec[i, j, c]   # add
//           <finish>                                   # given (i, c); sets its line
struct SumLines {
  int rows, coeffs, terms, add;
};

template <class Finish>
void sum_products(Frame& f, const Obj& acc, const Obj& vec, const SumLines& at, Finish&& finish) {
  each(f, NAME(kk), {at.rows, at.coeffs}, [&](const Obj& i) {
    each(f, NAME(n), {at.coeffs, at.terms}, [&](const Obj& c) {
      Obj entry = tuple_of({i, c});
      each(f, NAME(kk), {at.terms, at.add},
           [&](const Obj& j) { acc.set(entry, acc[entry] + vec[tuple_of({i, j, c})]); });
      finish(entry);
    });
  });
}

// The same for the row-by-row products, summed over the rows:
//   for c in range(n):                       # coeffs
//       for j in range(kk):                  # terms
//           acc[c] = acc[c] + vec[j, c]      # add
//       <finish>                             # given c; sets its line
struct RowSumLines {
  int coeffs, terms, add;
};

template <class Finish>
void sum_rows(Frame& f, const Obj& acc, const Obj& vec, const RowSumLines& at, Finish&& finish) {
  each(f, NAME(n), {at.coeffs, at.terms}, [&](const Obj& c) {
    each(f, NAME(kk), {at.terms, at.add},
         [&](const Obj& j) { acc.set(c, acc[c] + vec[tuple_of({j, c})]); });
    finish(c);
  });
}

// out[i, :] = <fn>(in[i, :]), the callee (a global: ntt3, intt3) looked up first.
void transform_row(const Obj& out, const Obj& in, const Obj& i, PyObject* fn);

// np.zeros([kk, n]) at `line`.
Obj zero_rows(Frame& f, int line);

// [0] * n at `line`.
Obj zero_list(Frame& f, int line);

// binascii.hexlify(a + b), the callee looked up first.
Obj hexlify_joined(const Obj& a, const Obj& b);

// The lines of a bit string decoded into coefficients:
//   x = hex_to_bits(x)   # bits
//   x = decode(x, l)     # decode
struct DecodeLines {
  int bits, decode;
};

Obj decode_bits(Frame& f, const DecodeLines& at, const Obj& x, const Width& l);

// The lines of coefficients encoded into bytes:
//   x = encode(polys, l)   # encode
//   x = bits_to_bytes(x)   # pack
struct EncodeLines {
  int encode, pack;
};

Obj encode_bytes(Frame& f, const EncodeLines& at, const Obj& polys, const Width& l);

}  // namespace latkem
