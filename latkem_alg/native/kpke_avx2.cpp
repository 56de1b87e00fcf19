// The encryption scheme on the AVX2 code: the independent XOF streams (matrix
// entries, noise) are generated four at a time, one per lane of the four-way
// Keccak, and all polynomial work runs on the vectorised layer.
#include "avx2.h"

#if LATKEM_X86
#if !defined(__AVX2__) || !defined(__BMI2__) || !defined(__BMI__)
#error "this file must be compiled with -mavx2 -mbmi2 -mbmi"
#endif
#include <immintrin.h>

#include <cstring>

namespace latkem {
namespace native {
namespace avx2 {
namespace {

constexpr unsigned kRate128 = 168, kRate256 = 136;

// Entries for up to four (row, column) pairs.  suffix holds the XOF input
// bytes after rho for each entry (column, row).  Returns false if one of
// them runs out of its 768 bytes.
bool matrix_x4(Poly* const out[4], const uint8_t rho[32], const uint8_t suffix[8], int n) {
  if (n == 1) return sample_matrix_entry(out[0]->c, rho, suffix[1], suffix[0]);
  uint8_t sfx[8];
  for (int j = 0; j < 4; ++j) {
    sfx[2 * j] = suffix[2 * (j < n ? j : 0)];
    sfx[2 * j + 1] = suffix[2 * (j < n ? j : 0) + 1];
  }
  alignas(32) uint64_t s[100];
  keccakx4_absorb(s, kRate128, rho, kSymBytes, sfx, 2, 0x1F);
  alignas(32) uint8_t buf[4][3 * kRate128 + 8];
  uint8_t* outs[4];
  for (int j = 0; j < 4; ++j) {
    std::memset(buf[j] + 3 * kRate128, 0, 8);
    outs[j] = j < n ? buf[j] : nullptr;
  }
  keccakx4_squeeze(s, kRate128, outs, 3);
  int ctr[4] = {kN, kN, kN, kN};
  bool done = true;
  for (int j = 0; j < n; ++j) {
    ctr[j] = rej_padded(out[j]->c, 0, buf[j], 3 * kRate128);
    done &= ctr[j] == kN;
  }
  // Rare: more blocks, up to 768 bytes in all (four blocks and 96 bytes).
  size_t used = 3 * kRate128;
  while (!done && used < 768) {
    for (int j = 0; j < 4; ++j) outs[j] = (j < n && ctr[j] < kN) ? buf[j] : nullptr;
    keccakx4_squeeze(s, kRate128, outs, 1);
    const size_t take = (768 - used < kRate128) ? 768 - used : kRate128;
    done = true;
    for (int j = 0; j < n; ++j) {
      if (ctr[j] < kN) ctr[j] = rej_padded(out[j]->c, ctr[j], buf[j], take);
      done &= ctr[j] == kN;
    }
    used += take;
  }
  return done;
}

// The kk x kk matrix: m[x*kk + y] = A[x][y] (transpose = false) or A[y][x].
// Entry A[r][c] is drawn from XOF(rho || c || r).
bool sample_matrix(Poly* m, const uint8_t rho[32], int kk, bool transpose) {
  const int total = kk * kk;
  for (int first = 0; first < total; first += 4) {
    const int n = (total - first < 4) ? total - first : 4;
    Poly* outs[4];
    uint8_t suffix[8];
    for (int j = 0; j < 4; ++j) {
      const int e = first + (j < n ? j : 0);
      const int x = e / kk, y = e % kk;
      outs[j] = m + e;
      // A[x][y]: column y, row x; transposed, A[y][x]: column x, row y.
      suffix[2 * j] = uint8_t(transpose ? x : y);
      suffix[2 * j + 1] = uint8_t(transpose ? y : x);
    }
    if (!matrix_x4(outs, rho, suffix, n)) return false;
  }
  return true;
}

// Noise: polynomial k gets CBD_eta[k](PRF(seed, nonce0 + k)), four at a time.
void sample_noise_batch(Poly* out, const int* eta, int count, const uint8_t* seed, size_t seedlen,
                        uint8_t nonce0) {
  for (int first = 0; first < count; first += 4) {
    const int n = (count - first < 4) ? count - first : 4;
    if (n == 1) {
      native::sample_noise(out[first], seed, seedlen, uint8_t(nonce0 + first), eta[first]);
      return;
    }
    uint8_t nonces[4];
    int maxeta = 2;
    for (int j = 0; j < 4; ++j) {
      nonces[j] = uint8_t(nonce0 + first + (j < n ? j : 0));
      if (j < n && eta[first + j] > maxeta) maxeta = eta[first + j];
    }
    alignas(32) uint64_t s[100];
    keccakx4_absorb(s, kRate256, seed, seedlen, nonces, 1, 0x1F);
    alignas(32) uint8_t buf[4][2 * kRate256];
    uint8_t* outs[4];
    for (int j = 0; j < 4; ++j) outs[j] = j < n ? buf[j] : nullptr;
    keccakx4_squeeze(s, kRate256, outs, maxeta == 2 ? 1 : 2);
    for (int j = 0; j < n; ++j) cbd(out[first + j].c, buf[j], eta[first + j]);
  }
}

void decode12_freeze(Poly& p, const uint8_t* in) {
  byte_decode(p.c, in, 12);
  poly_freeze(p.c);
}

}  // namespace

bool kpke_keygen(const Params& p, const uint8_t* seed, size_t seedlen, uint8_t* pk, uint8_t* sk) {
  const int kk = p.kk;
  uint8_t rho_sigma[64];
  sha3_512(seed, seedlen, rho_sigma);
  const uint8_t* rho = rho_sigma;
  const uint8_t* sigma = rho_sigma + 32;

  // s[0..kk) then e[0..kk), nonces 0 .. 2kk-1.
  Poly se[2 * kMaxRank];
  int eta[2 * kMaxRank] = {};
  for (int i = 0; i < 2 * kk; ++i) eta[i] = p.eta1;
  sample_noise_batch(se, eta, 2 * kk, sigma, 32, 0);
  for (int i = 0; i < 2 * kk; ++i) poly_ntt(se[i].c);
  const Poly* s = se;
  const Poly* e = se + kk;

  Poly a[kMaxRank * kMaxRank];
  if (!sample_matrix(a, rho, kk, false)) return false;
  for (int i = 0; i < kk; ++i) {
    Poly t;
    polyvec_basemul_acc_montgomery(t.c, a + kk * i, s, kk);
    poly_tomont(t.c);
    poly_add(t.c, t.c, e[i].c);
    poly_freeze(t.c);
    byte_encode(pk + kPolyBytes * i, t.c, 12);
  }
  std::memcpy(pk + kPolyBytes * kk, rho, kSymBytes);
  for (int i = 0; i < kk; ++i) {
    Poly t = s[i];
    poly_freeze(t.c);
    byte_encode(sk + kPolyBytes * i, t.c, 12);
  }
  return true;
}

bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct) {
  const int kk = p.kk;
  const uint8_t* rho = pk + kPolyBytes * kk;

  Poly at[kMaxRank * kMaxRank];
  if (!sample_matrix(at, rho, kk, true)) return false;

  // r[0..kk) (eta1), e1[0..kk) (eta2), e2 (eta2), nonces 0 .. 2kk.
  Poly noise[2 * kMaxRank + 1];
  int eta[2 * kMaxRank + 1] = {};
  for (int i = 0; i < 2 * kk + 1; ++i) eta[i] = i < kk ? p.eta1 : p.eta2;
  sample_noise_batch(noise, eta, 2 * kk + 1, coins, coinslen, 0);
  Poly* r = noise;
  const Poly* e1 = noise + kk;
  const Poly& e2 = noise[2 * kk];
  for (int i = 0; i < kk; ++i) poly_ntt(r[i].c);

  uint8_t* out = ct;
  for (int i = 0; i < kk; ++i) {
    Poly u;
    polyvec_basemul_acc_montgomery(u.c, at + kk * i, r, kk);
    poly_invntt_tomont(u.c);
    poly_add(u.c, u.c, e1[i].c);
    poly_freeze(u.c);
    poly_compress(u.c, p.du);
    byte_encode(out, u.c, p.du);
    out += 32 * p.du;
  }

  Poly t_hat[kMaxRank], v, m;
  for (int i = 0; i < kk; ++i) decode12_freeze(t_hat[i], pk + kPolyBytes * i);
  polyvec_basemul_acc_montgomery(v.c, t_hat, r, kk);
  poly_invntt_tomont(v.c);
  poly_frommsg(m.c, msg);
  poly_add(v.c, v.c, e2.c);
  poly_add(v.c, v.c, m.c);
  poly_freeze(v.c);
  poly_compress(v.c, p.dv);
  byte_encode(out, v.c, p.dv);
  return true;
}

void kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]) {
  const int kk = p.kk;
  Poly u[kMaxRank], s_hat[kMaxRank], w, v;
  for (int i = 0; i < kk; ++i) {
    byte_decode(u[i].c, ct + 32 * p.du * i, p.du);
    poly_decompress(u[i].c, p.du);
    poly_ntt(u[i].c);
    decode12_freeze(s_hat[i], sk + kPolyBytes * i);
  }
  byte_decode(v.c, ct + 32 * p.du * kk, p.dv);
  poly_decompress(v.c, p.dv);
  polyvec_basemul_acc_montgomery(w.c, s_hat, u, kk);
  poly_invntt_tomont(w.c);
  poly_sub(w.c, v.c, w.c);
  poly_freeze(w.c);
  poly_tomsg(msg, w.c);
}

}  // namespace avx2
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_X86
