// Sampling: the centred binomial sampler, uniform rejection sampling on 12-bit
// candidates and the expansion of the public matrix from its seed.
#include "latkem.h"

namespace latkem {

Obj body_CBD(Frame& f, Obj* a) {
  Obj byte_array = a[0], eta = a[1];
  f.line = 44;
  Obj f_list = repeat_list(num(0), num(256));  // the local `f` of the description
  f.line = 45;
  Obj new_list = GLOBAL(hex_to_bits)(byte_array);
  for (long i = 0; i < 256; ++i) {
    Obj ic = num(i);
    Obj ac = num(0), bc = num(0);
    f.line = 49;
    for_range(num(0), eta, [&](const Obj& jc) {
      f.line = 50;
      ac = ac + to_int(new_list[num(2) * ic * eta + jc]);
      f.line = 51;
      bc = bc + to_int(new_list[num(2) * ic * eta + eta + jc]);
    });
    f.line = 52;
    f_list.set(ic, ac - bc);
  }
  return f_list;
}

Obj body_Parse(Frame& f, Obj* a) {
  Obj bytes96 = a[0];
  // Byte position and number of accepted coefficients: always host ints.
  Py_ssize_t ii = 0, jj = 0;
  f.line = 533;
  Obj coeff = repeat_list(num(0), GLOBAL(n));
  for (;;) {
    f.line = 535;
    if (!(num(jj) < GLOBAL(n))) break;
    f.line = 536;
    Obj low = bytes96[ii];  // the operands in the host's order
    Obj d1 = low + num(256) * (bytes96[ii + 1] % num(16));
    f.line = 537;
    Obj high = bytes96[ii + 1].floordiv(num(16));
    Obj d2 = high + num(16) * bytes96[ii + 2];
    f.line = 539;
    if (d1 < GLOBAL(q)) {
      f.line = 540;
      coeff.set(jj, d1);
      f.line = 541;
      jj += 1;
    }
    f.line = 543;
    if (d2 < GLOBAL(q) && num(jj) < GLOBAL(n)) {
      f.line = 544;
      coeff.set(jj, d2);
      f.line = 545;
      jj += 1;
    }
    f.line = 547;
    ii += 3;
  }
  return coeff;
}

Obj body_generate_mat_a(Frame& f, Obj* a) {
  Obj rho = a[0], len_a = a[1];
  f.line = 509;
  Obj zeros = GLOBAL(np).attr(NAME(zeros));
  Obj mat_A = zeros(list_of({len_a, len_a, GLOBAL(n)}));
  Obj all = slice_of(Obj(), Obj());  // `:`
  f.line = 510;
  for_range(num(0), len_a, [&](const Obj& j) {  // row
    f.line = 511;
    for_range(num(0), len_a, [&](const Obj& ic) {  // column
      f.line = 512;
      Obj tem = GLOBAL(XOF)(rho, ic, j);
      f.line = 513;
      Obj row = GLOBAL(Parse)(tem);
      mat_A.set(tuple_of({j, ic, all}), row);
    });
  });
  return mat_A;
}

}  // namespace latkem
