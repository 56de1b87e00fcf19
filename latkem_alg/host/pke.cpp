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

// CBD(PRF(seed, bytes([N]), eta), eta), the callees looked up first.
Obj sample_noise(const Obj& seed, const Obj& N, PyObject* eta) {
  Obj cbd = GLOBAL(CBD);
  Obj prf = GLOBAL(PRF);
  Obj input_bytes = prf(seed, byte_of(N), lookup_global(eta));
  return cbd(input_bytes, lookup_global(eta));
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
    rows.set(tuple_of({ic, whole()}), sample_noise(seed, N, eta));
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

// The transposition of the matrix the encryption multiplies by:
//   for ii in range(kk):                                  # swap_rows
//       for jj in range(ii + 1, kk):                      # swap_cols
//           for ll in range(n):                           # swap_coeffs
//               tem = newa[jj, ii, ll]                    # swap_save
//               newa[jj, ii, ll] = newa[ii, jj, ll]       # swap_copy
//               newa[ii, jj, ll] = tem                    # swap_restore
void transpose(Frame& f, const Obj& newa) {
  const Obj zero = num(0);
  const Obj one = num(1);
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
  Obj s = zero_rows(f, line::Genkey::zeros_s);
  Obj e = zero_rows(f, line::Genkey::zeros_e);
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
  Obj new_s = zero_rows(f, line::Genkey::zeros_new_s);
  Obj new_e = zero_rows(f, line::Genkey::zeros_new_e);
  Obj t = zero_rows(f, line::Genkey::zeros_t);
  each(f, NAME(kk), {line::Genkey::ntt_loop, line::Genkey::ntt_s}, [&](const Obj& ic) {
    transform_row(new_s, s, ic, NAME(ntt3));
    f.line = line::Genkey::ntt_e;
    transform_row(new_e, e, ic, NAME(ntt3));
  });
  f.line = line::Genkey::zeros_vec;
  Obj vec = zeros({NAME(kk), NAME(kk), NAME(n)});
  products(f, vec, mat, new_s,
           {line::Genkey::a_mul_rows, line::Genkey::a_mul_cols, line::Genkey::a_mul});
  Obj tem = zero_rows(f, line::Genkey::zeros_tem);
  sum_products(f, tem, vec,
               {line::Genkey::sum_rows, line::Genkey::sum_coeffs, line::Genkey::sum_terms,
                line::Genkey::add_term},
               [&](const Obj& at) {
                 f.line = line::Genkey::reduce_t;
                 t.set(at, (tem[at] + new_e[at]) % GLOBAL(q));
               });
  Obj pk_cpa =
      encode_bytes(f, {line::Genkey::encode_t, line::Genkey::pack_t}, list_of({t}), 12);
  f.line = line::Genkey::hexlify_pk;
  pk_cpa = hexlify_joined(pk_cpa, rho);
  Obj sk_cpa =
      encode_bytes(f, {line::Genkey::encode_s, line::Genkey::pack_s}, list_of({new_s}), 12);
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
  Obj ran = zero_list(f, line::Enc::zeros_ran);
  each(f, NAME(n), {line::Enc::bit_loop, line::Enc::read_bit},
       [&](const Obj& i) { ran.set(i, to_int(ran1[i])); });
  f.line = line::Enc::unhex_key;
  pk_cpa = unhexlify(pk_cpa);
  f.line = line::Enc::split_t;
  Obj newt = pk_cpa.slice(Obj(), num(-32), Obj());
  f.line = line::Enc::split_rho;
  Obj rho = pk_cpa.slice(num(-32), Obj(), Obj());
  f.line = line::Enc::hexlify_t;
  newt = hexlify(newt);
  newt = decode_bits(f, {line::Enc::bits_t, line::Enc::decode_t}, newt, 12);
  each(f, NAME(n), {line::Enc::scale_loop, line::Enc::scale_bit}, [&](const Obj& i) {
    Obj scale = to_int(GLOBAL(q) / num(2)) + one;
    ran.set(i, ran[i] * scale);
  });
  f.line = line::Enc::make_a;
  Obj newa;
  {
    Obj gen = GLOBAL(generate_mat_a);
    newa = gen(rho, GLOBAL(kk));
  }
  transpose(f, newa);
  Obj N = zero;
  Obj rr = zero_rows(f, line::Enc::zeros_r);
  Obj e1 = zero_rows(f, line::Enc::zeros_e1);
  noise_rows(f, rr, rand, N, NAME(eta1),
             {line::Enc::r_loop, line::Enc::r_prf, line::Enc::r_cbd, line::Enc::r_nonce});
  noise_rows_nested(f, e1, rand, N, NAME(eta2),
                    {line::Enc::e1_loop, line::Enc::e1_sample, line::Enc::e1_nonce});
  f.line = line::Enc::e2_sample;
  Obj e2 = sample_noise(rand, N, NAME(eta2));
  Obj new_r = zero_rows(f, line::Enc::zeros_new_r);
  each(f, NAME(kk), {line::Enc::ntt_loop, line::Enc::ntt_r},
       [&](const Obj& i) { transform_row(new_r, rr, i, NAME(ntt3)); });
  Obj newu = zero_rows(f, line::Enc::zeros_newu);
  f.line = line::Enc::zeros_vec;
  Obj vec = zeros({NAME(kk), NAME(kk), NAME(n)});
  products(f, vec, newa, new_r, {line::Enc::a_mul_rows, line::Enc::a_mul_cols, line::Enc::a_mul});
  sum_products(f, newu, vec,
               {line::Enc::sum_rows, line::Enc::sum_coeffs, line::Enc::sum_terms,
                line::Enc::add_term},
               [&](const Obj& at) {
                 f.line = line::Enc::reduce_u;
                 newu.set(at, newu[at] % GLOBAL(q));
               });
  Obj u = zero_rows(f, line::Enc::zeros_u);
  each(f, NAME(kk), {line::Enc::u_loop, line::Enc::intt_u}, [&](const Obj& i) {
    transform_row(u, newu, i, NAME(intt3));
    each(f, NAME(n), {line::Enc::e1_coeffs, line::Enc::add_e1}, [&](const Obj& c) {
      Obj at = tuple_of({i, c});
      u.set(at, (u[at] + e1[at]) % GLOBAL(q));
    });
  });
  Obj v = zero_list(f, line::Enc::zeros_v);
  Obj newv = zero_list(f, line::Enc::zeros_newv);
  f.line = line::Enc::zeros_vec_t;
  vec = zeros({NAME(kk), NAME(n)});
  row_products(f, vec, newt, new_r, {line::Enc::t_mul_loop, line::Enc::t_mul});
  sum_rows(f, newv, vec, {line::Enc::v_sum_coeffs, line::Enc::v_sum_terms, line::Enc::v_add_term},
           [](const Obj&) {});
  f.line = line::Enc::intt_v;
  newv = GLOBAL(intt3)(newv);
  each(f, NAME(n), {line::Enc::v_loop, line::Enc::add_e2}, [&](const Obj& c) {
    newv.set(c, newv[c] + e2[c]);
    f.line = line::Enc::add_message;
    v.set(c, (newv[c] + ran[c]) % GLOBAL(q));
  });
  each_entry(f, {line::Enc::compress_rows, line::Enc::compress_coeffs, line::Enc::compress_u},
             [&](const Obj& at) {
               Obj comp = GLOBAL(compress);
               u.set(at, comp(u[at], GLOBAL(du)));
             });
  each(f, NAME(n), {line::Enc::compress_v_loop, line::Enc::compress_v}, [&](const Obj& c) {
    Obj comp = GLOBAL(compress);
    v.set(c, comp(v[c], GLOBAL(dv)));
  });
  Obj u_code = encode_bytes(f, {line::Enc::encode_u, line::Enc::pack_u}, list_of({u}), NAME(du));
  Obj v_code =
      encode_bytes(f, {line::Enc::encode_v, line::Enc::pack_v}, list_of({list_of({v})}), NAME(dv));
  f.line = line::Enc::hexlify_uv;
  return hexlify_joined(u_code, v_code);
}

Obj body_Dec(Frame& f, Obj* a) {
  Obj uv_code = a[0], sk_cpa = a[1];
  if (Obj r = f.try_native(bridge::native_Dec, f, uv_code.get(), sk_cpa.get())) return r;
  const Obj zero = num(0);
  f.line = line::Dec::unhex_key;
  sk_cpa = unhexlify(sk_cpa);
  f.line = line::Dec::hexlify_key;
  sk_cpa = hexlify(sk_cpa);
  sk_cpa = decode_bits(f, {line::Dec::bits_key, line::Dec::decode_key}, sk_cpa, 12);
  f.line = line::Dec::unhex_text;
  uv_code = unhexlify(uv_code);
  f.line = line::Dec::hexlify_text;
  uv_code = hexlify(uv_code);
  Obj ud = decode_bits(f, {line::Dec::bits_u, line::Dec::decode_u}, uv_code, NAME(du));
  f.line = line::Dec::split_v;
  Obj vd;
  {
    Obj start = to_int(GLOBAL(kk) * GLOBAL(n) * GLOBAL(du) / num(4));
    vd = uv_code.slice(start, Obj(), Obj());
  }
  Obj v = decode_bits(f, {line::Dec::bits_v, line::Dec::decode_v}, vd, NAME(dv));
  each_entry(f, {line::Dec::u_rows, line::Dec::u_coeffs, line::Dec::decompress_u},
             [&](const Obj& at) {
               Obj dec = GLOBAL(decompress);
               ud.set(at, dec(ud[at], GLOBAL(du)));
             });
  f.line = line::Dec::first_row_v;
  v = v[zero];
  each(f, NAME(n), {line::Dec::v_loop, line::Dec::decompress_v}, [&](const Obj& ic) {
    Obj dec = GLOBAL(decompress);
    v.set(ic, dec(v[ic], GLOBAL(dv)));
  });
  Obj dem = zero_list(f, line::Dec::zeros_dem);
  Obj vv = zero_list(f, line::Dec::zeros_vv);
  Obj newu = zero_rows(f, line::Dec::zeros_newu);
  each(f, NAME(kk), {line::Dec::ntt_loop, line::Dec::ntt_u},
       [&](const Obj& ic) { transform_row(newu, ud, ic, NAME(ntt3)); });
  f.line = line::Dec::zeros_vec;
  Obj vec = zeros({NAME(kk), NAME(n)});
  row_products(f, vec, sk_cpa, newu, {line::Dec::key_mul_loop, line::Dec::key_mul});
  sum_rows(f, vv, vec, {line::Dec::sum_coeffs, line::Dec::sum_terms, line::Dec::add_term},
           [&](const Obj& ic) {
             f.line = line::Dec::reduce_vv;
             vv.set(ic, vv[ic] % GLOBAL(q));
           });
  f.line = line::Dec::intt_vv;
  Obj xx = GLOBAL(intt3)(vv);
  each(f, NAME(n), {line::Dec::diff_loop, line::Dec::diff},
       [&](const Obj& ic) { dem.set(ic, (v[ic] - xx[ic]) % GLOBAL(q)); });
  each(f, NAME(n), {line::Dec::compress_loop, line::Dec::compress_bit}, [&](const Obj& ic) {
    Obj comp = GLOBAL(compress);
    dem.set(ic, comp(dem[ic], num(1)));
  });
  return dem;
}

}  // namespace latkem
