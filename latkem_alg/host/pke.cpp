// The chosen-plaintext-secure encryption scheme: key generation, encryption
// and decryption on float64 coefficient arrays.
#include "host/statements.h"

namespace latkem {

namespace {

// The lines of a loop that fills the rows of a vector with noise:
//   for ic in range(kk):                            # loop
//       input_bytes = PRF(seed, bytes([N]), eta)    # prf
//       rows[ic, :] = CBD(input_bytes, eta)         # cbd
//       N = N + 1                                   # nonce
struct NoiseLines {
  int loop, prf, cbd, nonce;
};

void noise_rows(Frame& f, const Obj& rows, const Obj& seed, Obj& N, PyObject* eta,
                const NoiseLines& at) {
  f.line = at.loop;
  for_range(num(0), GLOBAL(kk), [&](Obj ic) {
    f.line = at.prf;
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(seed, byte_of(N), lookup_global(eta));
    f.line = at.cbd;
    Obj cbd = GLOBAL(CBD);
    rows.set(tuple_of({ic, whole()}), cbd(input_bytes, lookup_global(eta)));
    f.line = at.nonce;
    N = N + num(1);
    f.line = at.loop;
  });
}

// The same with the sampling in one statement:
//   for ic in range(kk):                                   # loop
//       rows[ic, :] = CBD(PRF(seed, bytes([N]), eta), eta)  # sample
//       N = N + 1                                          # nonce
struct NestedNoiseLines {
  int loop, sample, nonce;
};

void noise_rows_nested(Frame& f, const Obj& rows, const Obj& seed, Obj& N, PyObject* eta,
                       const NestedNoiseLines& at) {
  f.line = at.loop;
  for_range(num(0), GLOBAL(kk), [&](Obj ic) {
    f.line = at.sample;
    Obj cbd = GLOBAL(CBD);
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(seed, byte_of(N), lookup_global(eta));
    rows.set(tuple_of({ic, whole()}), cbd(input_bytes, lookup_global(eta)));
    f.line = at.nonce;
    N = N + num(1);
    f.line = at.loop;
  });
}

// The lines of the matrix-vector products:
//   for i in range(kk):                                        # outer
//       for j in range(kk):                                    # inner
//           vec[i, j, :] = ntt3_mul(mat[i, j, :], rows[j, :])  # mul
struct ProductLines {
  int outer, inner, mul;
};

void products(Frame& f, const Obj& vec, const Obj& mat, const Obj& rows, const ProductLines& at) {
  const Obj zero = num(0);
  f.line = at.outer;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = at.inner;
    for_range(zero, GLOBAL(kk), [&](Obj j) {
      f.line = at.mul;
      Obj mul = GLOBAL(ntt3_mul);
      vec.set(tuple_of({i, j, whole()}),
              mul(mat[tuple_of({i, j, whole()})], rows[tuple_of({j, whole()})]));
      f.line = at.inner;
    });
    f.line = at.outer;
  });
}

// The lines of the row-by-row products:
//   for i in range(kk):                                   # loop
//       vec[i, :] = ntt3_mul(left[i, :], right[i, :])     # mul
struct RowProductLines {
  int loop, mul;
};

void row_products(Frame& f, const Obj& vec, const Obj& left, const Obj& right,
                  const RowProductLines& at) {
  f.line = at.loop;
  for_range(num(0), GLOBAL(kk), [&](Obj i) {
    f.line = at.mul;
    Obj mul = GLOBAL(ntt3_mul);
    vec.set(tuple_of({i, whole()}),
            mul(left[tuple_of({i, whole()})], right[tuple_of({i, whole()})]));
    f.line = at.loop;
  });
}

}  // namespace

Obj body_Genkey(Frame& f, Obj* a) {
  Obj dd = a[0];
  if (Obj r = f.try_native(bridge::native_Genkey, dd.get())) return r;
  const Obj zero = num(0);
  const Obj one = num(1);
  f.line = line::Genkey::check_n;
  {
    Obj nn = GLOBAL(n);
    Obj nm1 = GLOBAL(n) - one;
    if ((nn & nm1).ne(zero)) {
      f.line = line::Genkey::raise_n;
      value_error("n值应为为2的幂次");
    }
  }
  f.line = line::Genkey::check_q;
  {
    Obj qq = GLOBAL(q);
    Obj kn = GLOBAL(k) * GLOBAL(n);
    if (qq.ne(kn + one)) {
      f.line = line::Genkey::raise_q;
      value_error("q should be equal to k*n+1");
    }
  }
  f.line = line::Genkey::prime_loop;
  {
    Obj sqrt = GLOBAL(math).attr(NAME(sqrt));
    Obj limit = to_int(sqrt(GLOBAL(q))) + one;
    for_range(num(2), limit, [&](Obj ic) {
      f.line = line::Genkey::prime_gcd;
      Obj gcd = GLOBAL(math).attr(NAME(gcd));
      if (gcd(GLOBAL(q), ic) > one) {
        f.line = line::Genkey::raise_prime;
        value_error("q should be prime");
      }
      f.line = line::Genkey::prime_loop;
    });
  }
  f.line = line::Genkey::zeros_s;
  Obj s = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::zeros_e;
  Obj e = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::hash_seed;
  Obj rho, sigma;
  {
    Obj G = GLOBAL(G);
    unpack2(G(dd), rho, sigma);
  }
  f.line = line::Genkey::make_a;
  Obj mat;
  {
    Obj gen = GLOBAL(generate_mat_a);
    mat = gen(rho, GLOBAL(kk));
  }
  Obj N = zero;
  noise_rows(f, s, sigma, N, NAME(eta1),
             {line::Genkey::s_loop, line::Genkey::s_prf, line::Genkey::s_cbd,
              line::Genkey::s_nonce});
  noise_rows_nested(f, e, sigma, N, NAME(eta1),
                    {line::Genkey::e_loop, line::Genkey::e_sample, line::Genkey::e_nonce});
  f.line = line::Genkey::zeros_new_s;
  Obj new_s = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::zeros_new_e;
  Obj new_e = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::zeros_t;
  Obj t = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::ntt_loop;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = line::Genkey::ntt_s;
    Obj ntt = GLOBAL(ntt3);
    new_s.set(tuple_of({ic, whole()}), ntt(s[tuple_of({ic, whole()})]));
    f.line = line::Genkey::ntt_e;
    ntt = GLOBAL(ntt3);
    new_e.set(tuple_of({ic, whole()}), ntt(e[tuple_of({ic, whole()})]));
    f.line = line::Genkey::ntt_loop;
  });
  f.line = line::Genkey::zeros_vec;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(kk), GLOBAL(n)});
  products(f, vec, mat, new_s,
           {line::Genkey::a_mul_rows, line::Genkey::a_mul_cols, line::Genkey::a_mul});
  f.line = line::Genkey::zeros_tem;
  Obj tem = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Genkey::sum_rows;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = line::Genkey::sum_coeffs;
    for_range(zero, GLOBAL(n), [&](Obj ii) {
      Obj at = tuple_of({ic, ii});
      f.line = line::Genkey::sum_terms;
      for_range(zero, GLOBAL(kk), [&](Obj j) {
        f.line = line::Genkey::add_term;
        tem.set(at, tem[at] + vec[tuple_of({ic, j, ii})]);
        f.line = line::Genkey::sum_terms;
      });
      f.line = line::Genkey::reduce_t;
      t.set(at, (tem[at] + new_e[at]) % GLOBAL(q));
      f.line = line::Genkey::sum_coeffs;
    });
    f.line = line::Genkey::sum_rows;
  });
  f.line = line::Genkey::encode_t;
  Obj pk_cpa;
  {
    Obj enc = GLOBAL(encode);
    pk_cpa = enc(list_of({t}), num(12));
  }
  f.line = line::Genkey::pack_t;
  pk_cpa = GLOBAL(bits_to_bytes)(pk_cpa);
  f.line = line::Genkey::hexlify_pk;
  {
    Obj fn = binascii_fn(NAME(hexlify));
    pk_cpa = fn(pk_cpa + rho);
  }
  f.line = line::Genkey::encode_s;
  Obj sk_cpa;
  {
    Obj enc = GLOBAL(encode);
    sk_cpa = enc(list_of({new_s}), num(12));
  }
  f.line = line::Genkey::pack_s;
  sk_cpa = GLOBAL(bits_to_bytes)(sk_cpa);
  f.line = line::Genkey::hexlify_sk;
  sk_cpa = hexlify(sk_cpa);
  f.line = line::Genkey::result;
  return list_of({pk_cpa, sk_cpa});
}

Obj body_Enc(Frame& f, Obj* a) {
  Obj pk_cpa = a[0], ran_m = a[1], rand = a[2];
  if (Obj r = f.try_native(bridge::native_Enc, f, pk_cpa.get(), ran_m.get(), rand.get())) return r;
  const Obj zero = num(0);
  const Obj one = num(1);
  f.line = line::Enc::unhex_coins;
  rand = unhexlify(rand);
  f.line = line::Enc::message_bits;
  Obj ran1;
  {
    Obj h2b = GLOBAL(hex_to_bits);
    ran1 = h2b(hexlify(ran_m));
  }
  f.line = line::Enc::zeros_ran;
  Obj ran = repeat_list(zero, GLOBAL(n));
  f.line = line::Enc::bit_loop;
  for_range(zero, GLOBAL(n), [&](Obj i) {
    f.line = line::Enc::read_bit;
    ran.set(i, to_int(ran1[i]));
    f.line = line::Enc::bit_loop;
  });
  f.line = line::Enc::unhex_key;
  pk_cpa = unhexlify(pk_cpa);
  f.line = line::Enc::split_t;
  Obj newt = pk_cpa.slice(Obj(), num(-32), Obj());
  f.line = line::Enc::split_rho;
  Obj rho = pk_cpa.slice(num(-32), Obj(), Obj());
  f.line = line::Enc::hexlify_t;
  newt = hexlify(newt);
  f.line = line::Enc::bits_t;
  newt = GLOBAL(hex_to_bits)(newt);
  f.line = line::Enc::decode_t;
  {
    Obj dec = GLOBAL(decode);
    newt = dec(newt, num(12));
  }
  f.line = line::Enc::scale_loop;
  for_range(zero, GLOBAL(n), [&](Obj i) {
    f.line = line::Enc::scale_bit;
    Obj scale = to_int(GLOBAL(q) / num(2)) + one;
    ran.set(i, ran[i] * scale);
    f.line = line::Enc::scale_loop;
  });
  f.line = line::Enc::make_a;
  Obj newa;
  {
    Obj gen = GLOBAL(generate_mat_a);
    newa = gen(rho, GLOBAL(kk));
  }
  f.line = line::Enc::swap_rows;
  for_range(zero, GLOBAL(kk), [&](Obj ii) {
    f.line = line::Enc::swap_cols;
    for_range(ii + one, GLOBAL(kk), [&](Obj jj) {
      f.line = line::Enc::swap_coeffs;
      for_range(zero, GLOBAL(n), [&](Obj ll) {
        Obj lower = tuple_of({jj, ii, ll});
        Obj upper = tuple_of({ii, jj, ll});
        f.line = line::Enc::swap_save;
        Obj tem = newa[lower];
        f.line = line::Enc::swap_copy;
        newa.set(lower, newa[upper]);
        f.line = line::Enc::swap_restore;
        newa.set(upper, tem);
        f.line = line::Enc::swap_coeffs;
      });
      f.line = line::Enc::swap_cols;
    });
    f.line = line::Enc::swap_rows;
  });
  Obj N = zero;
  f.line = line::Enc::zeros_r;
  Obj rr = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Enc::zeros_e1;
  Obj e1 = zeros({GLOBAL(kk), GLOBAL(n)});
  noise_rows(f, rr, rand, N, NAME(eta1),
             {line::Enc::r_loop, line::Enc::r_prf, line::Enc::r_cbd, line::Enc::r_nonce});
  noise_rows_nested(f, e1, rand, N, NAME(eta2),
                    {line::Enc::e1_loop, line::Enc::e1_sample, line::Enc::e1_nonce});
  f.line = line::Enc::e2_sample;
  Obj e2;
  {
    Obj cbd = GLOBAL(CBD);
    Obj prf = GLOBAL(PRF);
    Obj input_bytes = prf(rand, byte_of(N), GLOBAL(eta2));
    e2 = cbd(input_bytes, GLOBAL(eta2));
  }
  f.line = line::Enc::zeros_new_r;
  Obj new_r = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Enc::ntt_loop;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = line::Enc::ntt_r;
    Obj ntt = GLOBAL(ntt3);
    new_r.set(tuple_of({i, whole()}), ntt(rr[tuple_of({i, whole()})]));
    f.line = line::Enc::ntt_loop;
  });
  f.line = line::Enc::zeros_newu;
  Obj newu = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Enc::zeros_vec;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(kk), GLOBAL(n)});
  products(f, vec, newa, new_r, {line::Enc::a_mul_rows, line::Enc::a_mul_cols, line::Enc::a_mul});
  f.line = line::Enc::sum_rows;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = line::Enc::sum_coeffs;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = line::Enc::sum_terms;
      for_range(zero, GLOBAL(kk), [&](Obj j) {
        f.line = line::Enc::add_term;
        newu.set(at, newu[at] + vec[tuple_of({i, j, c})]);
        f.line = line::Enc::sum_terms;
      });
      f.line = line::Enc::reduce_u;
      newu.set(at, newu[at] % GLOBAL(q));
      f.line = line::Enc::sum_coeffs;
    });
    f.line = line::Enc::sum_rows;
  });
  f.line = line::Enc::zeros_u;
  Obj u = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Enc::u_loop;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = line::Enc::intt_u;
    Obj inv = GLOBAL(intt3);
    u.set(tuple_of({i, whole()}), inv(newu[tuple_of({i, whole()})]));
    f.line = line::Enc::e1_coeffs;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = line::Enc::add_e1;
      u.set(at, (u[at] + e1[at]) % GLOBAL(q));
      f.line = line::Enc::e1_coeffs;
    });
    f.line = line::Enc::u_loop;
  });
  f.line = line::Enc::zeros_v;
  Obj v = repeat_list(zero, GLOBAL(n));
  f.line = line::Enc::zeros_newv;
  Obj newv = repeat_list(zero, GLOBAL(n));
  f.line = line::Enc::zeros_vec_t;
  vec = zeros({GLOBAL(kk), GLOBAL(n)});
  row_products(f, vec, newt, new_r, {line::Enc::t_mul_loop, line::Enc::t_mul});
  f.line = line::Enc::v_sum_coeffs;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = line::Enc::v_sum_terms;
    for_range(zero, GLOBAL(kk), [&](Obj kd) {
      f.line = line::Enc::v_add_term;
      newv.set(c, newv[c] + vec[tuple_of({kd, c})]);
      f.line = line::Enc::v_sum_terms;
    });
    f.line = line::Enc::v_sum_coeffs;
  });
  f.line = line::Enc::intt_v;
  newv = GLOBAL(intt3)(newv);
  f.line = line::Enc::v_loop;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = line::Enc::add_e2;
    newv.set(c, newv[c] + e2[c]);
    f.line = line::Enc::add_message;
    v.set(c, (newv[c] + ran[c]) % GLOBAL(q));
    f.line = line::Enc::v_loop;
  });
  f.line = line::Enc::compress_rows;
  for_range(zero, GLOBAL(kk), [&](Obj i) {
    f.line = line::Enc::compress_coeffs;
    for_range(zero, GLOBAL(n), [&](Obj c) {
      Obj at = tuple_of({i, c});
      f.line = line::Enc::compress_u;
      Obj comp = GLOBAL(compress);
      u.set(at, comp(u[at], GLOBAL(du)));
      f.line = line::Enc::compress_coeffs;
    });
    f.line = line::Enc::compress_rows;
  });
  f.line = line::Enc::compress_v_loop;
  for_range(zero, GLOBAL(n), [&](Obj c) {
    f.line = line::Enc::compress_v;
    Obj comp = GLOBAL(compress);
    v.set(c, comp(v[c], GLOBAL(dv)));
    f.line = line::Enc::compress_v_loop;
  });
  f.line = line::Enc::encode_u;
  Obj u_code;
  {
    Obj enc = GLOBAL(encode);
    u_code = enc(list_of({u}), GLOBAL(du));
  }
  f.line = line::Enc::pack_u;
  u_code = GLOBAL(bits_to_bytes)(u_code);
  f.line = line::Enc::encode_v;
  Obj v_code;
  {
    Obj enc = GLOBAL(encode);
    v_code = enc(list_of({list_of({v})}), GLOBAL(dv));
  }
  f.line = line::Enc::pack_v;
  v_code = GLOBAL(bits_to_bytes)(v_code);
  f.line = line::Enc::hexlify_uv;
  {
    Obj fn = binascii_fn(NAME(hexlify));
    return fn(u_code + v_code);
  }
}

Obj body_Dec(Frame& f, Obj* a) {
  Obj uv_code = a[0], sk_cpa = a[1];
  if (Obj r = f.try_native(bridge::native_Dec, f, uv_code.get(), sk_cpa.get())) return r;
  const Obj zero = num(0);
  f.line = line::Dec::unhex_key;
  sk_cpa = unhexlify(sk_cpa);
  f.line = line::Dec::hexlify_key;
  sk_cpa = hexlify(sk_cpa);
  f.line = line::Dec::bits_key;
  sk_cpa = GLOBAL(hex_to_bits)(sk_cpa);
  f.line = line::Dec::decode_key;
  {
    Obj dec = GLOBAL(decode);
    sk_cpa = dec(sk_cpa, num(12));
  }
  f.line = line::Dec::unhex_text;
  uv_code = unhexlify(uv_code);
  f.line = line::Dec::hexlify_text;
  uv_code = hexlify(uv_code);
  f.line = line::Dec::bits_u;
  Obj ud = GLOBAL(hex_to_bits)(uv_code);
  f.line = line::Dec::decode_u;
  {
    Obj dec = GLOBAL(decode);
    ud = dec(ud, GLOBAL(du));
  }
  f.line = line::Dec::split_v;
  Obj vd;
  {
    Obj start = to_int(GLOBAL(kk) * GLOBAL(n) * GLOBAL(du) / num(4));
    vd = uv_code.slice(start, Obj(), Obj());
  }
  f.line = line::Dec::bits_v;
  vd = GLOBAL(hex_to_bits)(vd);
  f.line = line::Dec::decode_v;
  Obj v;
  {
    Obj dec = GLOBAL(decode);
    v = dec(vd, GLOBAL(dv));
  }
  f.line = line::Dec::u_rows;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = line::Dec::u_coeffs;
    for_range(zero, GLOBAL(n), [&](Obj j) {
      f.line = line::Dec::decompress_u;
      Obj dec = GLOBAL(decompress);
      Obj at = tuple_of({ic, j});
      ud.set(at, dec(ud[at], GLOBAL(du)));
      f.line = line::Dec::u_coeffs;
    });
    f.line = line::Dec::u_rows;
  });
  f.line = line::Dec::first_row_v;
  v = v[zero];
  f.line = line::Dec::v_loop;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = line::Dec::decompress_v;
    Obj dec = GLOBAL(decompress);
    v.set(ic, dec(v[ic], GLOBAL(dv)));
    f.line = line::Dec::v_loop;
  });
  f.line = line::Dec::zeros_dem;
  Obj dem = repeat_list(zero, GLOBAL(n));
  f.line = line::Dec::zeros_vv;
  Obj vv = repeat_list(zero, GLOBAL(n));
  f.line = line::Dec::zeros_newu;
  Obj newu = zeros({GLOBAL(kk), GLOBAL(n)});
  f.line = line::Dec::ntt_loop;
  for_range(zero, GLOBAL(kk), [&](Obj ic) {
    f.line = line::Dec::ntt_u;
    Obj ntt = GLOBAL(ntt3);
    newu.set(tuple_of({ic, whole()}), ntt(ud[tuple_of({ic, whole()})]));
    f.line = line::Dec::ntt_loop;
  });
  f.line = line::Dec::zeros_vec;
  Obj vec = zeros({GLOBAL(kk), GLOBAL(n)});
  row_products(f, vec, sk_cpa, newu, {line::Dec::key_mul_loop, line::Dec::key_mul});
  f.line = line::Dec::sum_coeffs;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = line::Dec::sum_terms;
    for_range(zero, GLOBAL(kk), [&](Obj kd) {
      f.line = line::Dec::add_term;
      vv.set(ic, vv[ic] + vec[tuple_of({kd, ic})]);
      f.line = line::Dec::sum_terms;
    });
    f.line = line::Dec::reduce_vv;
    vv.set(ic, vv[ic] % GLOBAL(q));
    f.line = line::Dec::sum_coeffs;
  });
  f.line = line::Dec::intt_vv;
  Obj xx = GLOBAL(intt3)(vv);
  f.line = line::Dec::diff_loop;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = line::Dec::diff;
    dem.set(ic, (v[ic] - xx[ic]) % GLOBAL(q));
    f.line = line::Dec::diff_loop;
  });
  f.line = line::Dec::compress_loop;
  for_range(zero, GLOBAL(n), [&](Obj ic) {
    f.line = line::Dec::compress_bit;
    Obj comp = GLOBAL(compress);
    dem.set(ic, comp(dem[ic], num(1)));
    f.line = line::Dec::compress_loop;
  });
  return dem;
}

}  // namespace latkem
