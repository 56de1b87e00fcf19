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
  return kk_supported(p.kk) && eta_supported(p.eta1) && eta_supported(p.eta2) &&
         du_supported(p.du) && dv_supported(p.dv);
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

namespace {

// r[0..kk) (eta1), e1[0..kk) (eta2), e2 (eta2), nonces 0 .. 2kk.
void enc_etas(const Params& p, int* eta) {
  for (int i = 0; i < 2 * p.kk + 1; ++i) eta[i] = i < p.kk ? p.eta1 : p.eta2;
}

// The encryption once the transposed matrix `at` and the noise are sampled
// (the caller wipes the noise).
void enc_sampled(const Backend& be, const Params& p, const uint8_t* pk, const uint8_t msg[32],
                 const Poly* at, Poly* noise, uint8_t* ct) {
  const int kk = p.kk;
  Poly u, v, m;
  Wiped wipe_u(&u, sizeof u), wipe_v(&v, sizeof v), wipe_m(&m, sizeof m);
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
}

}  // namespace

bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  const uint8_t* rho = pk + kPolyBytes * kk;
  Poly at[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1];
  Wiped wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));
  int eta[2 * kMaxRank + 1] = {};
  enc_etas(p, eta);
  if (!be.sample_matrix_and_noise(at, rho, kk, true, noise, eta, 2 * kk + 1, coins, coinslen))
    return false;
  enc_sampled(be, p, pk, msg, at, noise, ct);
  return true;
}

namespace {

// The decryption, for a caller that wipes the stack.
void dec_unwiped(const Backend& be, const Params& p, const uint8_t* ct, const uint8_t* sk,
                 uint8_t msg[32]) {
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
}



}  // namespace

bool kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  dec_unwiped(backend(), p, ct, sk, msg);
  return true;
}

// ---------------------------------------------------------------------------
// Key encapsulation.

namespace {

constexpr KemHash sha3_256_of(const uint8_t* in, size_t len, uint8_t* out, bool gates) {
  return KemHash{in, len, 136, 0x06, out, 32, gates};
}

// One hash (the stack is wiped by the operation that calls it).
void run_hash(const KemHash& h) {
  Sponge s(h.rate, h.pad);
  s.absorb(h.in, h.len);
  s.squeeze(h.out, h.outlen);
}

// The steps of a KemWork one after the other, for backends without their own.
bool kem_work_in_order(const Backend& be, const KemWork& w) {
  for (int i = 0; i < w.nfirst; ++i) run_hash(w.first[i]);
  if (w.then != nullptr) w.then(w.ctx);
  if (!be.sample_matrix_and_noise(w.m, w.rho, w.kk, w.transpose, w.noise, w.eta, w.count, w.seed,
                                  w.seedlen))
    return false;
  if (w.last != nullptr) w.last(w.ctx);
  for (int i = 0; i < w.nafter; ++i) run_hash(w.after[i]);
  return true;
}

bool run_kem_work(const Backend& be, const KemWork& w) {
  if (be.kem_work != nullptr && w.seedlen + 1 < 136 && w.nfirst <= kMaxKemHashes &&
      w.nafter <= kMaxKemHashes)
    return be.kem_work(w);
  return kem_work_in_order(be, w);
}

// The sampling of the encryption: the transposed matrix from the public key,
// the noise from `coins`.
KemWork enc_work(const Params& p, const uint8_t* pk, Poly* at, Poly* noise, const int* eta,
                 const uint8_t* coins) {
  KemWork w = {};
  w.m = at;
  w.rho = pk + kPolyBytes * p.kk;
  w.kk = p.kk;
  w.transpose = true;
  w.noise = noise;
  w.eta = eta;
  w.count = 2 * p.kk + 1;
  w.seed = coins;
  w.seedlen = 32;
  return w;
}

struct EncState {
  uint8_t hashes[64];  // H(m) || H(pk), then K_bar || H(ct)
  uint8_t split[64];   // K_bar || coins
};

// G(H(m) || H(pk)), once both are known.
void enc_then(void* ctx) {
  EncState& st = *static_cast<EncState*>(ctx);
  run_hash(KemHash{st.hashes, 64, 72, 0x06, st.split, 64, false});
}

struct DecState {
  uint8_t split[64];   // K_bar || coins
  uint8_t hc[32];      // H(ct)
  uint8_t accept[64];  // K_bar || H(ct)
  uint8_t reject[64];  // z || H(ct)
  const uint8_t* z;
};

// The inputs of both key derivations, once G and H(ct) are known.  z is
// copied here, below the operation's frame, where the stack wipe reaches
// whatever the copy leaves in the frame (in kem_dec's own frame, the
// compiler kept half of it in a spill slot).
void dec_last(void* ctx) {
  DecState& st = *static_cast<DecState*>(ctx);
  std::memcpy(st.accept, st.split, 32);
  std::memcpy(st.accept + 32, st.hc, 32);
  std::memcpy(st.reject, st.z, 32);
  std::memcpy(st.reject + 32, st.hc, 32);
}

}  // namespace

bool kem_enc(const Params& p, const uint8_t* pk, const uint8_t* m, size_t mlen, uint8_t* ct,
             uint8_t key[32]) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  EncState st;
  Poly at[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1];
  Wiped wipe_st(&st, sizeof st), wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));
  int eta[2 * kMaxRank + 1] = {};
  enc_etas(p, eta);
  // G waits for H(m) and H(pk); the noise for G.
  const KemHash first[2] = {sha3_256_of(pk, pk_bytes(p), st.hashes + 32, true),
                            sha3_256_of(m, mlen, st.hashes, true)};
  KemWork w = enc_work(p, pk, at, noise, eta, st.split + 32);
  w.noise_after = true;
  w.first = first;
  w.nfirst = 2;
  w.then = enc_then;
  w.ctx = &st;
  if (!run_kem_work(be, w)) return false;
  enc_sampled(be, p, pk, st.hashes, at, noise, ct);
  // KDF(K_bar || H(ct)).
  std::memcpy(st.hashes, st.split, 32);
  run_hash(sha3_256_of(ct, ct_bytes(p), st.hashes + 32, false));
  run_hash(KemHash{st.hashes, 64, 136, 0x1F, key, 32, false});
  return true;
}

bool kem_dec(const Params& p, const uint8_t* ct, const char* ct_text, const uint8_t* sk,
             const uint8_t* pk, const uint8_t h[32], const uint8_t z[32], uint8_t key[32],
             uint8_t& same) {
  same = 0;
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  const Backend& be = backend();
  const int kk = p.kk;
  const size_t ct_len = ct_bytes(p);
  uint8_t g_in[64], again[kMaxCtBytes];
  char again_text[2 * sizeof again];
  uint8_t accept[32], reject[32];
  DecState st;
  Poly at[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1];
  Wiped wipe_g_in(g_in, sizeof g_in), wipe_again(again, ct_len),
      wipe_again_text(again_text, 2 * ct_len), wipe_accept(accept, sizeof accept),
      wipe_reject(reject, sizeof reject), wipe_st(&st, sizeof st),
      wipe_noise(noise, sizeof(Poly) * (2 * kk + 1));
  dec_unwiped(be, p, ct, sk, g_in);
  std::memcpy(g_in + 32, h, 32);
  st.z = z;
  int eta[2 * kMaxRank + 1] = {};
  enc_etas(p, eta);
  // The noise waits for G; the key derivations for G and H(ct).
  const KemHash first[2] = {sha3_256_of(ct, ct_len, st.hc, false),
                            KemHash{g_in, 64, 72, 0x06, st.split, 64, true}};
  const KemHash after[2] = {{st.accept, 64, 136, 0x1F, accept, 32, false},
                            {st.reject, 64, 136, 0x1F, reject, 32, false}};
  KemWork w = enc_work(p, pk, at, noise, eta, st.split + 32);
  w.noise_after = true;
  w.first = first;
  w.nfirst = 2;
  w.last = dec_last;
  w.ctx = &st;
  w.after = after;
  w.nafter = 2;
  if (!run_kem_work(be, w)) return false;
  enc_sampled(be, p, pk, g_in, at, noise, again);
  // The re-encryption, as lower-case text, against the text as given.
  be.hex_encode(again_text, again, ct_len);
  same = be.ct_equal(reinterpret_cast<const uint8_t*>(again_text),
                     reinterpret_cast<const uint8_t*>(ct_text), 2 * ct_len);
  be.ct_select(key, accept, reject, 32, same);
  return true;
}

namespace {

// Runs fn(ctx) in a frame of its own below the caller's (called through a
// pointer the compiler does not see through), so that whatever it leaves
// in its frame, or in registers its callees save in theirs, lies where the
// caller's stack wipe reaches.
void run_below(void (*fn)(void*), void* ctx) {
  void (*volatile call)(void*) = fn;
  call(ctx);
}

struct OtherEnc {
  const Params* p;
  const uint8_t* pk;
  size_t pk_size;
  const uint8_t* m;
  size_t mlen;
  uint8_t* m_hash;
  uint8_t* coins;
  uint8_t* ct;
  uint8_t* key;
  bool made;
  uint8_t hashes[64];  // H(m) || H(pk), then K_bar || H(ct)
  uint8_t split[64];   // K_bar || coins
  uint8_t pk_read[kMaxPkBytes];
};

void other_enc(void* ctx) {
  OtherEnc& st = *static_cast<OtherEnc*>(ctx);
  const Params& p = *st.p;
  sha3_256(st.m, st.mlen, st.hashes);
  sha3_256(st.pk, st.pk_size, st.hashes + 32);
  sha3_512(st.hashes, 64, st.split);
  std::memcpy(st.m_hash, st.hashes, 32);
  std::memcpy(st.coins, st.split + 32, 32);
  const size_t t_len = pk_bytes(p) - kSymBytes;
  if (st.pk_size <= pk_bytes(p)) return;
  std::memcpy(st.pk_read, st.pk, t_len);
  std::memcpy(st.pk_read + t_len, st.pk + st.pk_size - kSymBytes, kSymBytes);
  st.made = kpke_enc(p, st.pk_read, st.hashes, st.split + 32, 32, st.ct);
  if (!st.made) return;
  std::memcpy(st.hashes, st.split, 32);
  sha3_256(st.ct, ct_bytes(p), st.hashes + 32);
  shake256(st.hashes, 64, st.key, 32);
}

struct Reject {
  const uint8_t* z;
  const uint8_t* ct;
  size_t ct_len;
  uint8_t* key;
  uint8_t pre[64];  // z || H(ct)
};

void reject(void* ctx) {
  Reject& st = *static_cast<Reject*>(ctx);
  std::memcpy(st.pre, st.z, 32);
  sha3_256(st.ct, st.ct_len, st.pre + 32);
  shake256(st.pre, 64, st.key, 32);
}

}  // namespace

bool kem_enc_other(const Params& p, const uint8_t* pk, size_t pk_size, const uint8_t* m,
                   size_t mlen, uint8_t m_hash[32], uint8_t coins[32], uint8_t* ct,
                   uint8_t key[32]) {
  if (!params_valid(p)) return false;
  const StackWipe wipe_stack_on_exit;
  OtherEnc st{&p, pk, pk_size, m, mlen, m_hash, coins, ct, key, false, {}, {}, {}};
  Wiped wipe_st(&st, sizeof st);
  run_below(other_enc, &st);
  return st.made;
}

void kem_reject(const uint8_t z[32], const uint8_t* ct, size_t ct_len, uint8_t key[32]) {
  const StackWipe wipe_stack_on_exit;
  Reject st{z, ct, ct_len, key, {}};
  Wiped wipe_st(&st, sizeof st);
  run_below(reject, &st);
}

}  // namespace native
}  // namespace latkem
