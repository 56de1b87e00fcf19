// Modular arithmetic and NTT: the scalar Montgomery and Barrett reductions,
// the forward and inverse number-theoretic transform and the multiplication
// in the transform domain.  All arithmetic on values is the host's, so element
// types follow the input (ints stay ints, numpy float64 scalars stay floats).
// Indices and counters (`kd`, `l`, `ind`, `j`, the group counter of
// `ntt3_mul`) are host ints whatever the input, so they are kept as C integers.
#include "host/statements.h"

namespace latkem {

namespace {

// `x % q`: the global `q` is looked up after `x` has been computed, in the
// order in which the host evaluates `... % q`.
Obj mod_q(const Obj& x) { return x % GLOBAL(q); }

// The lines of the working copy's three statements in one transform.
struct CopyLines {
  int zeros;  // new_v = [0] * len(vvv)
  int loop;   // for ic in range(len(vvv)):
  int entry;  //     new_v[ic] = vvv[ic]
};

// The working copy of both transforms.
Obj working_copy(Frame& f, const Obj& vvv, const CopyLines& at) {
  f.line = at.zeros;
  Obj new_v = repeat_list(num(0), len(vvv));
  f.line = at.loop;
  for_range(num(0), len(vvv), [&](const Obj& ic) {
    f.line = at.entry;
    new_v.set(ic, vvv[ic]);
  });
  return new_v;
}

// One call of the global `ntt3_mul0` for the pair of entries at `at`, `at + 1`
// of both transforms; the operands are evaluated in the host's order (the
// function, the four entries, then the table entry, negated when asked).
void call_mul0(const Obj& fff, const Obj& ggg, int64_t at, int64_t zeta_index, bool negate, Obj& x,
               Obj& y) {
  Obj mul0 = GLOBAL(ntt3_mul0);
  Obj a0 = fff[at], a1 = fff[at + 1], b0 = ggg[at], b1 = ggg[at + 1];
  Obj ze = GLOBAL(zetas)[zeta_index];
  if (negate) ze = -ze;
  unpack2(mul0(a0, a1, b0, b1, ze), x, y);
}

}  // namespace

Obj body_mont_red(Frame& f, Obj* a) {
  Obj xx = a[0];
  f.line = line::mont_red::reduce;
  return mod_q(xx * GLOBAL(mont_inv));
}

Obj body_mont_mul(Frame& f, Obj* a) {
  Obj aa = a[0], bb = a[1];
  f.line = line::mont_mul::product;
  Obj cc = aa * bb;
  f.line = line::mont_mul::reduce;
  return GLOBAL(mont_red)(cc);
}

Obj body_barrett_red(Frame& f, Obj* a) {
  Obj xx = a[0];
  f.line = line::barrett_red::int_x;
  xx = to_int(xx);
  f.line = line::barrett_red::quotient;
  // `>>` sequences its left operand first (C++17), as the host does.
  Obj tem = (xx * GLOBAL(bar_r)) >> (num(2) * GLOBAL(bar_k) + num(2));
  f.line = line::barrett_red::remainder;
  Obj tedd = xx - tem * GLOBAL(q);
  f.line = line::barrett_red::test_below;
  if (tedd < GLOBAL(q)) return tedd;
  f.line = line::barrett_red::test_above;
  if (tedd >= GLOBAL(q)) {
    f.line = line::barrett_red::subtract;
    return tedd - GLOBAL(q);
  }
  return none();  // falls off the end when neither comparison holds
}

Obj body_ntt3(Frame& f, Obj* a) {
  Obj vvv = a[0];
  if (Obj r = f.try_native(bridge::native_ntt3, vvv.get())) return r;
  Obj new_v =
      working_copy(f, vvv, {line::ntt3::copy_zeros, line::ntt3::copy_loop, line::ntt3::copy_entry});
  int64_t kd = 1;
  int64_t l = 128;
  f.line = line::ntt3::layer_loop;  // l = 128 down to 2
  while (l >= 2) {
    int64_t ind = 0;
    for (;;) {
      f.line = line::ntt3::block_loop;  // while ind < n
      if (!(num(ind) < GLOBAL(n))) break;
      f.line = line::ntt3::zeta;
      Obj zeta = GLOBAL(zetas)[kd];
      f.line = line::ntt3::next_zeta;
      kd = kd + 1;
      int64_t j = 0;
      f.line = line::ntt3::j_loop;
      for (int64_t jv = ind; jv < ind + l; ++jv) {
        j = jv;
        f.line = line::ntt3::butterfly_t;
        Obj t = mod_q(zeta * new_v[j + l] * num(169));
        f.line = line::ntt3::butterfly_sub;
        new_v.set(j + l, new_v[j] - t);
        f.line = line::ntt3::butterfly_add;
        new_v.set(j, new_v[j] + t);
      }
      f.line = line::ntt3::next_block;
      ind = l + (j + 1);
    }
    f.line = line::ntt3::next_layer;
    l = l >> 1;
  }
  f.line = line::ntt3::reduce_loop;  // over the indices of vvv
  for_range(num(0), len(vvv), [&](const Obj& ic) {
    f.line = line::ntt3::reduce;
    new_v.set(ic, mod_q(new_v[ic]));
  });
  return new_v;
}

Obj body_intt3(Frame& f, Obj* a) {
  Obj vvv = a[0];
  if (Obj r = f.try_native(bridge::native_intt3, vvv.get())) return r;
  Obj new_v = working_copy(
      f, vvv, {line::intt3::copy_zeros, line::intt3::copy_loop, line::intt3::copy_entry});
  int64_t l = 2;
  int64_t l_upper = 128;
  f.line = line::intt3::first_zeta;
  int64_t kd = l_upper - 1;
  f.line = line::intt3::layer_loop;  // l = 2 up to 128
  while (l <= 128) {
    int64_t ind = 0;
    for (;;) {
      f.line = line::intt3::block_loop;  // while ind < n
      if (!(num(ind) < GLOBAL(n))) break;
      f.line = line::intt3::zeta;
      Obj zeta = GLOBAL(zetas)[kd];
      f.line = line::intt3::next_zeta;
      kd = kd - 1;
      int64_t j = 0;
      f.line = line::intt3::j_loop;
      for (int64_t jv = ind; jv < ind + l; ++jv) {
        j = jv;
        f.line = line::intt3::butterfly_t;
        Obj t = new_v[j];
        f.line = line::intt3::butterfly_add;
        new_v.set(j, mod_q(t + new_v[j + l]));
        f.line = line::intt3::butterfly_sub;
        new_v.set(j + l, new_v[j + l] - t);
        f.line = line::intt3::butterfly_mul;
        new_v.set(j + l, mod_q(zeta * new_v[j + l] * num(169)));
      }
      f.line = line::intt3::next_block;
      ind = j + l + 1;
    }
    f.line = line::intt3::next_layer;
    l = l << 1;
  }
  f.line = line::intt3::scale_loop;  // over range(n)
  for_range(num(0), GLOBAL(n), [&](const Obj& j) {
    f.line = line::intt3::scale;
    new_v.set(j, mod_q(new_v[j] * num(3303)));
  });
  return new_v;
}

Obj body_ntt3_mul(Frame& f, Obj* a) {
  Obj fff = a[0], ggg = a[1];
  if (Obj r = f.try_native(bridge::native_ntt3_mul, fff.get(), ggg.get())) return r;
  f.line = line::ntt3_mul::new_list;
  Obj new_vv(PyList_New(0));
  Obj r0, r1, r2, r3;
  f.line = line::ntt3_mul::pair_loop;  // 64 pairs of pairs
  for (int64_t ic = 0; ic < 64; ++ic) {
    f.line = line::ntt3_mul::mul_even;
    call_mul0(fff, ggg, 4 * ic + 0, 64 + ic, false, r0, r1);
    f.line = line::ntt3_mul::mul_odd;
    call_mul0(fff, ggg, 4 * ic + 2, 64 + ic, true, r2, r3);
    f.line = line::ntt3_mul::extend;
    new_vv.method(NAME(extend), list_of({r0, r1, r2, r3}));
  }
  f.line = line::ntt3_mul::reduce_loop;  // over range(n)
  for_range(num(0), GLOBAL(n), [&](const Obj& ic) {
    f.line = line::ntt3_mul::reduce;
    new_vv.set(ic, mod_q(new_vv[ic] * num(2285)));
  });
  return new_vv;
}

Obj body_ntt3_mul0(Frame& f, Obj* a) {
  Obj a0 = a[0], a1 = a[1], b0 = a[2], b1 = a[3], ze = a[4];
  f.line = line::ntt3_mul0::r0_high;
  Obj r0 = mod_q(a1 * b1 * num(169));
  f.line = line::ntt3_mul0::r0_zeta;
  r0 = mod_q(r0 * ze * num(169));
  f.line = line::ntt3_mul0::r0_add;
  r0 = r0.iadd(mod_q(a0 * b0 * num(169)));
  f.line = line::ntt3_mul0::r1_cross;
  Obj r1 = mod_q(a0 * b1 * num(169));
  f.line = line::ntt3_mul0::r1_add;
  r1 = r1.iadd(mod_q(a1 * b0 * num(169)));
  f.line = line::ntt3_mul0::result;
  return tuple_of({r0, r1});
}

}  // namespace latkem
