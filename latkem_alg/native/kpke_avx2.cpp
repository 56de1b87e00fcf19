// The encryption scheme on the AVX2 code: the independent XOF streams (matrix
// entries, noise) share the lanes of the four-way Keccak, and all polynomial
// work runs on the vectorised layer.
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

// One XOF stream to run in a lane of the four-way Keccak: a matrix entry
// (SHAKE-128(rho || column || row), rejection sampling, eta = 0) or a noise
// polynomial (SHAKE-256(seed || nonce) into CBD_eta).  The input must fit in
// one block with its padding.
struct Stream {
  Poly* out;
  const uint8_t* prefix;
  size_t plen;
  uint8_t suffix[2];
  uint8_t sl;
  uint8_t eta;
};

inline unsigned stream_rate(const Stream& st) { return st.eta == 0 ? kRate128 : kRate256; }

// Loads lane j with the padded input of x, a word at a time: the tail of the
// prefix, the suffix and the padding are assembled in registers (bytes
// stored one by one and read back as words would stall the loads).
void start_lane(uint64_t* s, unsigned j, const Stream& x) {
  const unsigned rate = stream_rate(x);
  const size_t whole = x.plen / 8;
  for (size_t w = 0; w < whole; ++w) {
    uint64_t v;
    std::memcpy(&v, x.prefix + 8 * w, 8);
    s[4 * w + j] = v;
  }
  uint64_t lo = 0, hi = 0;  // at most 7 + 2 + 1 bytes
  unsigned n = 0;
  auto put = [&](uint8_t b) {
    if (n < 8) lo |= uint64_t(b) << (8 * n);
    else hi |= uint64_t(b) << (8 * (n - 8));
    ++n;
  };
  for (size_t k = 8 * whole; k < x.plen; ++k) put(x.prefix[k]);
  for (unsigned k = 0; k < x.sl; ++k) put(x.suffix[k]);
  put(0x1F);
  s[4 * whole + j] = lo;
  for (size_t w = whole + 1; w < 25; ++w) s[4 * w + j] = 0;
  if (n > 8) s[4 * (whole + 1) + j] = hi;
  s[4 * (rate / 8 - 1) + j] ^= uint64_t(0x80) << 56;
}

// Runs the streams through the four lanes, a new one starting in a lane as
// soon as the lane's previous one is done, so that the permutations are
// shared out with few idle lanes.  Returns false if a matrix entry runs out
// of its 768 bytes (public data: the branches here depend on rho only, or on
// the public stream lengths).
bool run_streams(const Stream* st, int n) {
  // Every lane is loaded by start_lane() before it is used, and with at
  // least four streams all four are loaded at once; fewer leave lanes idle.
  alignas(32) uint64_t s[100];
  if (n < 4) std::memset(s, 0, sizeof s);
  uint64_t buf[4][2 * kRate256 / 8];
  int job[4] = {-1, -1, -1, -1};
  int ctr[4] = {0, 0, 0, 0};
  size_t used[4] = {0, 0, 0, 0};
  int next = 0;
  for (;;) {
    bool active = false;
    for (unsigned j = 0; j < 4; ++j) {
      if (job[j] < 0 && next < n) {
        const Stream& x = st[next];
        start_lane(s, j, x);
        job[j] = next++;
        ctr[j] = 0;
        used[j] = 0;
      }
      active |= job[j] >= 0;
    }
    if (!active) return true;
    keccakx4_f1600(s);
    for (unsigned j = 0; j < 4; ++j) {
      if (job[j] < 0) continue;
      const Stream& x = st[job[j]];
      const unsigned rate = stream_rate(x);
      if (x.eta == 0) {
        const size_t take = (768 - used[j] < rate) ? 768 - used[j] : rate;
        ctr[j] = rej_lane(x.out->c, ctr[j], s, j, take);
        used[j] += take;
        if (ctr[j] == kN) job[j] = -1;
        else if (used[j] >= 768) return false;
      } else {
        // eta = 2 takes 16 words of one block, read in place; eta = 3 takes
        // all 17 words of the first block and 7 of the second.
        const size_t need = size_t(8) * x.eta;
        if (used[j] == 0 && need <= rate / 8) {
          cbd_words(x.out->c, s + j, 4, x.eta);
          job[j] = -1;
          continue;
        }
        uint64_t* o = buf[j] + used[j] / 8;
        const size_t take = (need - used[j] / 8 < rate / 8) ? need - used[j] / 8 : rate / 8;
        for (size_t w = 0; w < take; ++w) o[w] = s[4 * w + j];
        used[j] += rate;
        if (used[j] / 8 >= need) {
          cbd_words(x.out->c, buf[j], 1, x.eta);
          job[j] = -1;
        }
      }
    }
  }
}

// Streams for the kk x kk matrix: m[x*kk + y] = A[x][y] (transpose = false)
// or A[y][x].  Entry A[r][c] is drawn from XOF(rho || c || r).
int matrix_streams(Stream* st, Poly* m, const uint8_t* rho, int kk, bool transpose) {
  for (int x = 0; x < kk; ++x)
    for (int y = 0; y < kk; ++y) {
      Stream& t = st[x * kk + y];
      t.out = m + x * kk + y;
      t.prefix = rho;
      t.plen = kSymBytes;
      t.suffix[0] = uint8_t(transpose ? x : y);  // column
      t.suffix[1] = uint8_t(transpose ? y : x);  // row
      t.sl = 2;
      t.eta = 0;
    }
  return kk * kk;
}

// Noise polynomial k gets CBD_eta[k](PRF(seed, nonce0 + k)).  Streams with
// the larger eta (two blocks) go first.
int noise_streams(Stream* st, Poly* out, const int* eta, int count, const uint8_t* seed, size_t seedlen,
                  uint8_t nonce0) {
  int n = 0;
  for (int pass = 3; pass >= 2; --pass)
    for (int k = 0; k < count; ++k) {
      if (eta[k] != pass) continue;
      Stream& t = st[n++];
      t.out = out + k;
      t.prefix = seed;
      t.plen = seedlen;
      t.suffix[0] = uint8_t(nonce0 + k);
      t.suffix[1] = 0;
      t.sl = 1;
      t.eta = uint8_t(eta[k]);
    }
  return n;
}

// Noise for seeds too long for one block: the streams share their prefix
// blocks, four at a time.
void sample_noise_long(Poly* out, const int* eta, int count, const uint8_t* seed, size_t seedlen,
                       uint8_t nonce0) {
  for (int first = 0; first < count; first += 4) {
    const int n = (count - first < 4) ? count - first : 4;
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

// The matrix and the noise of one operation, all streams sharing the lanes.
bool sample_all(Poly* m, const uint8_t* rho, int kk, bool transpose, Poly* noise, const int* eta,
                int count, const uint8_t* seed, size_t seedlen) {
  Stream st[kMaxRank * kMaxRank + 2 * kMaxRank + 1] = {};
  int n = matrix_streams(st, m, rho, kk, transpose);
  if (seedlen + 1 < kRate256) {
    n += noise_streams(st + n, noise, eta, count, seed, seedlen, 0);
  } else {
    sample_noise_long(noise, eta, count, seed, seedlen, 0);
  }
  return run_streams(st, n);
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
  Poly se[2 * kMaxRank], a[kMaxRank * kMaxRank];
  int eta[2 * kMaxRank] = {};
  for (int i = 0; i < 2 * kk; ++i) eta[i] = p.eta1;
  if (!sample_all(a, rho, kk, false, se, eta, 2 * kk, sigma, 32)) return false;
  for (int i = 0; i < 2 * kk; ++i) poly_ntt(se[i].c);
  const Poly* s = se;
  const Poly* e = se + kk;
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

  // r[0..kk) (eta1), e1[0..kk) (eta2), e2 (eta2), nonces 0 .. 2kk.
  Poly at[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1];
  int eta[2 * kMaxRank + 1] = {};
  for (int i = 0; i < 2 * kk + 1; ++i) eta[i] = i < kk ? p.eta1 : p.eta2;
  if (!sample_all(at, rho, kk, true, noise, eta, 2 * kk + 1, coins, coinslen)) return false;
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
