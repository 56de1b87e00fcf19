// Sampling: the centred binomial sampler, uniform rejection sampling on 12-bit
// candidates and the expansion of the public matrix from its seed.
#include "host/statements.h"

namespace latkem {

Obj body_CBD(Frame& f, Obj* a) {
  Obj byte_array = a[0], eta = a[1];
  if (Obj r = f.try_native(bridge::native_CBD, byte_array.get(), eta.get())) return r;
  f.line = line::CBD::zeros;
  Obj f_list = repeat_list(num(0), num(256));  // the local `f` of the description
  f.line = line::CBD::read_bits;
  Obj new_list = GLOBAL(hex_to_bits)(byte_array);
  for (long i = 0; i < 256; ++i) {
    Obj ic = num(i);
    Obj ac = num(0), bc = num(0);
    f.line = line::CBD::bit_loop;
    for_range(num(0), eta, [&](const Obj& jc) {
      f.line = line::CBD::add_a;
      ac = ac + to_int(new_list[num(2) * ic * eta + jc]);
      f.line = line::CBD::add_b;
      bc = bc + to_int(new_list[num(2) * ic * eta + eta + jc]);
    });
    f.line = line::CBD::store;
    f_list.set(ic, ac - bc);
  }
  return f_list;
}

Obj body_Parse(Frame& f, Obj* a) {
  Obj bytes96 = a[0];
  if (Obj r = f.try_native(bridge::native_Parse, bytes96.get())) return r;
  // Byte position and number of accepted coefficients: always host ints.
  Py_ssize_t ii = 0, jj = 0;
  f.line = line::Parse::zeros;
  Obj coeff = repeat_list(num(0), GLOBAL(n));
  for (;;) {
    f.line = line::Parse::loop;  // while jj < n
    if (!(num(jj) < GLOBAL(n))) break;
    f.line = line::Parse::d1;
    Obj low = bytes96[ii];  // the operands in the host's order
    Obj d1 = low + num(256) * (bytes96[ii + 1] % num(16));
    f.line = line::Parse::d2;
    Obj high = bytes96[ii + 1].floordiv(num(16));
    Obj d2 = high + num(16) * bytes96[ii + 2];
    f.line = line::Parse::test_d1;
    if (d1 < GLOBAL(q)) {
      f.line = line::Parse::store_d1;
      coeff.set(jj, d1);
      f.line = line::Parse::count_d1;
      jj += 1;
    }
    f.line = line::Parse::test_d2;
    if (d2 < GLOBAL(q) && num(jj) < GLOBAL(n)) {
      f.line = line::Parse::store_d2;
      coeff.set(jj, d2);
      f.line = line::Parse::count_d2;
      jj += 1;
    }
    f.line = line::Parse::advance;
    ii += 3;
  }
  return coeff;
}

Obj body_generate_mat_a(Frame& f, Obj* a) {
  Obj rho = a[0], len_a = a[1];
  f.line = line::generate_mat_a::zeros;
  Obj zeros = GLOBAL(np).attr(NAME(zeros));
  Obj mat_A = zeros(list_of({len_a, len_a, GLOBAL(n)}));
  Obj all = slice_of(Obj(), Obj());  // `:`
  f.line = line::generate_mat_a::row_loop;
  for_range(num(0), len_a, [&](const Obj& j) {  // row
    f.line = line::generate_mat_a::col_loop;
    for_range(num(0), len_a, [&](const Obj& ic) {  // column
      f.line = line::generate_mat_a::xof;
      Obj tem = GLOBAL(XOF)(rho, ic, j);
      f.line = line::generate_mat_a::parse;
      Obj row = GLOBAL(Parse)(tem);
      mat_A.set(tuple_of({j, ic, all}), row);
    });
  });
  return mat_A;
}

}  // namespace latkem
