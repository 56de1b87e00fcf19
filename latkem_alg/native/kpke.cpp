// The CPA-secure public-key encryption: key generation, encryption and
// decryption on raw bytes, for ranks 2..4, written once over the backend in
// use (one table load per call).
#include "backend.h"
#include "core.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

// 12-bit decode of stored NTT-domain vectors; values up to 4095 are reduced
// mod q so that they are valid base-multiplication operands.
void decode_reduce12(const Backend& be, Poly& p, const uint8_t* in) {
  be.byte_decode(p.c, in, 12);
  be.poly_freeze(p);
}

// Declared first in each operation, so that it runs last on every path out:
// wipes the stack the sampling, the Keccak permutations and the vector code
// used below the operation's frame.
struct StackWipe {
  StackWipe() = default;
  StackWipe(const StackWipe&) = delete;
  StackWipe& operator=(const StackWipe&) = delete;
  ~StackWipe() { wipe_stack(kStackWipe); }
};

}  // namespace

bool params_valid(const Params& p) {
  return p.kk >= 2 && p.kk <= kMaxRank && (p.eta1 == 2 || p.eta1 == 3) &&
         (p.eta2 == 2 || p.eta2 == 3) && (p.du == 10 || p.du == 11) && (p.dv == 4 || p.dv == 5);
}

bool kpke_keygen(const Params& p, const uint8_t* seed, size_t seedlen, uint8_t* pk, uint8_t* sk) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  uint8_t rho_sigma[64];
  Wiped wipe_rho_sigma(rho_sigma, sizeof rho_sigma);
  sha3_512(seed, seedlen, rho_sigma);
  const uint8_t* rho = rho_sigma;
  const uint8_t* sigma = rho_sigma + 32;

  // s[0..kk) then e[0..kk), nonces 0 .. 2kk-1.
  Poly se[2 * kMaxRank], a[kMaxRank * kMaxRank], t;
  Wiped wipe_se(se, sizeof(Poly) * 2 * kk), wipe_t(&t, sizeof t);
  int eta[2 * kMaxRank] = {};
  for (int i = 0; i < 2 * kk; ++i) eta[i] = p.eta1;
  if (!be.sample_matrix_and_noise(a, rho, kk, false, se, eta, 2 * kk, sigma, 32)) return false;
  for (int i = 0; i < 2 * kk; ++i) be.poly_ntt(se[i]);
  Poly* s = se;
  const Poly* e = se + kk;

  for (int i = 0; i < kk; ++i) {
    be.polyvec_basemul_acc_montgomery(t, a + kk * i, s, kk);
    be.poly_tomont(t);
    be.poly_add(t, t, e[i]);
    be.poly_freeze(t);
    be.byte_encode(pk + kPolyBytes * i, t.c, 12);
  }
  std::memcpy(pk + kPolyBytes * kk, rho, kSymBytes);

  for (int i = 0; i < kk; ++i) {
    be.poly_freeze(s[i]);
    be.byte_encode(sk + kPolyBytes * i, s[i].c, 12);
  }
  return true;
}

bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  const uint8_t* rho = pk + kPolyBytes * kk;

  // r[0..kk) (eta1), e1[0..kk) (eta2), e2 (eta2), nonces 0 .. 2kk.
  Poly at[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1], u, v, m;
  Wiped wipe_noise(noise, sizeof(Poly) * (2 * kk + 1)), wipe_u(&u, sizeof u), wipe_v(&v, sizeof v),
      wipe_m(&m, sizeof m);
  int eta[2 * kMaxRank + 1] = {};
  for (int i = 0; i < 2 * kk + 1; ++i) eta[i] = i < kk ? p.eta1 : p.eta2;
  if (!be.sample_matrix_and_noise(at, rho, kk, true, noise, eta, 2 * kk + 1, coins, coinslen))
    return false;
  Poly* r = noise;
  const Poly* e1 = noise + kk;
  const Poly& e2 = noise[2 * kk];
  for (int i = 0; i < kk; ++i) be.poly_ntt(r[i]);

  uint8_t* out = ct;
  for (int i = 0; i < kk; ++i) {
    be.polyvec_basemul_acc_montgomery(u, at + kk * i, r, kk);
    be.poly_invntt_tomont(u);
    be.poly_add(u, u, e1[i]);
    be.poly_freeze(u);
    be.poly_compress(u, p.du);
    be.byte_encode(out, u.c, p.du);
    out += 32 * p.du;
  }

  Poly t_hat[kMaxRank];
  for (int i = 0; i < kk; ++i) decode_reduce12(be, t_hat[i], pk + kPolyBytes * i);
  be.polyvec_basemul_acc_montgomery(v, t_hat, r, kk);
  be.poly_invntt_tomont(v);
  be.poly_frommsg(m, msg);
  be.poly_add(v, v, e2);
  be.poly_add(v, v, m);
  be.poly_freeze(v);
  be.poly_compress(v, p.dv);
  be.byte_encode(out, v.c, p.dv);
  return true;
}

bool kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  Poly u[kMaxRank], s_hat[kMaxRank], w, v;
  Wiped wipe_s_hat(s_hat, sizeof(Poly) * kk), wipe_w(&w, sizeof w);
  for (int i = 0; i < kk; ++i) {
    be.byte_decode(u[i].c, ct + 32 * p.du * i, p.du);
    be.poly_decompress(u[i], p.du);
    be.poly_ntt(u[i]);
    decode_reduce12(be, s_hat[i], sk + kPolyBytes * i);
  }
  be.byte_decode(v.c, ct + 32 * p.du * kk, p.dv);
  be.poly_decompress(v, p.dv);

  be.polyvec_basemul_acc_montgomery(w, s_hat, u, kk);
  be.poly_invntt_tomont(w);
  be.poly_sub(w, v, w);
  be.poly_freeze(w);
  be.poly_tomsg(msg, w);
  return true;
}

}  // namespace native
}  // namespace latkem
