// The CPA-secure public-key encryption: key generation, encryption and
// decryption on raw bytes, for ranks 2..4.
#include "avx2.h"
#include "core.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

// Row i of A (transpose = false) or column i of A (transpose = true), i.e.
// out[j] = A[i][j] or out[j] = A[j][i].
bool sample_matrix_line(Poly* out, const uint8_t rho[32], int kk, int i, bool transpose) {
  for (int j = 0; j < kk; ++j) {
    const bool ok = transpose ? sample_matrix_entry(out[j], rho, uint8_t(j), uint8_t(i))
                              : sample_matrix_entry(out[j], rho, uint8_t(i), uint8_t(j));
    if (!ok) return false;
  }
  return true;
}

// 12-bit decode of stored NTT-domain vectors; values up to 4095 are reduced
// mod q so that they are valid base-multiplication operands.
void decode_reduce12(Poly& p, const uint8_t* in) {
  byte_decode(p.c, in, 12);
  poly_freeze(p);
}

}  // namespace

bool params_valid(const Params& p) {
  return p.kk >= 2 && p.kk <= kMaxRank && (p.eta1 == 2 || p.eta1 == 3) &&
         (p.eta2 == 2 || p.eta2 == 3) && (p.du == 10 || p.du == 11) && (p.dv == 4 || p.dv == 5);
}

bool kpke_keygen(const Params& p, const uint8_t* seed, size_t seedlen, uint8_t* pk, uint8_t* sk) {
  if (!params_valid(p)) return false;
  LATKEM_DISPATCH(kpke_keygen(p, seed, seedlen, pk, sk));
  const int kk = p.kk;
  uint8_t rho_sigma[64];
  sha3_512(seed, seedlen, rho_sigma);
  const uint8_t* rho = rho_sigma;
  const uint8_t* sigma = rho_sigma + 32;

  Poly s[kMaxRank], e[kMaxRank], row[kMaxRank], t;
  uint8_t nonce = 0;
  for (int i = 0; i < kk; ++i) sample_noise(s[i], sigma, 32, nonce++, p.eta1);
  for (int i = 0; i < kk; ++i) sample_noise(e[i], sigma, 32, nonce++, p.eta1);
  for (int i = 0; i < kk; ++i) {
    poly_ntt(s[i]);
    poly_ntt(e[i]);
  }

  for (int i = 0; i < kk; ++i) {
    if (!sample_matrix_line(row, rho, kk, i, false)) return false;
    polyvec_basemul_acc_montgomery(t, row, s, kk);
    poly_tomont(t);
    poly_add(t, t, e[i]);
    poly_freeze(t);
    byte_encode(pk + kPolyBytes * i, t.c, 12);
  }
  std::memcpy(pk + kPolyBytes * kk, rho, kSymBytes);

  for (int i = 0; i < kk; ++i) {
    poly_freeze(s[i]);
    byte_encode(sk + kPolyBytes * i, s[i].c, 12);
  }
  return true;
}

bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct) {
  if (!params_valid(p)) return false;
  LATKEM_DISPATCH(kpke_enc(p, pk, msg, coins, coinslen, ct));
  const int kk = p.kk;
  const uint8_t* rho = pk + kPolyBytes * kk;

  Poly t_hat[kMaxRank], r[kMaxRank], col[kMaxRank], u, v, e, m;
  for (int i = 0; i < kk; ++i) decode_reduce12(t_hat[i], pk + kPolyBytes * i);

  uint8_t nonce = 0;
  for (int i = 0; i < kk; ++i) {
    sample_noise(r[i], coins, coinslen, nonce++, p.eta1);
    poly_ntt(r[i]);
  }

  uint8_t* out = ct;
  for (int i = 0; i < kk; ++i) {
    if (!sample_matrix_line(col, rho, kk, i, true)) return false;
    polyvec_basemul_acc_montgomery(u, col, r, kk);
    poly_invntt_tomont(u);
    sample_noise(e, coins, coinslen, nonce++, p.eta2);
    poly_add(u, u, e);
    poly_freeze(u);
    poly_compress(u, p.du);
    byte_encode(out, u.c, p.du);
    out += 32 * p.du;
  }

  polyvec_basemul_acc_montgomery(v, t_hat, r, kk);
  poly_invntt_tomont(v);
  sample_noise(e, coins, coinslen, nonce++, p.eta2);
  poly_frommsg(m, msg);
  poly_add(v, v, e);
  poly_add(v, v, m);
  poly_freeze(v);
  poly_compress(v, p.dv);
  byte_encode(out, v.c, p.dv);
  return true;
}

bool kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]) {
  if (!params_valid(p)) return false;
#if LATKEM_X86
  if (using_avx2()) {
    avx2::kpke_dec(p, ct, sk, msg);
    return true;
  }
#endif
  const int kk = p.kk;
  Poly u[kMaxRank], s_hat[kMaxRank], w, v;
  for (int i = 0; i < kk; ++i) {
    byte_decode(u[i].c, ct + 32 * p.du * i, p.du);
    poly_decompress(u[i], p.du);
    poly_ntt(u[i]);
    decode_reduce12(s_hat[i], sk + kPolyBytes * i);
  }
  byte_decode(v.c, ct + 32 * p.du * kk, p.dv);
  poly_decompress(v, p.dv);

  polyvec_basemul_acc_montgomery(w, s_hat, u, kk);
  poly_invntt_tomont(w);
  poly_sub(w, v, w);
  poly_freeze(w);
  poly_tomsg(msg, w);
  return true;
}

}  // namespace native
}  // namespace latkem
