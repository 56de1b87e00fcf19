// The sampling of one key generation or encryption on the AVX2 code: the
// independent XOF streams (matrix entries, noise) share the lanes of the
// four-way Keccak.
#include "avx2.h"

#include <immintrin.h>

#include <cstring>

namespace latkem {
namespace native {
namespace avx2 {
namespace {

constexpr unsigned kRate128 = 168, kRate256 = 136;
constexpr int kMaxHashes = kMaxKemHashes;

// One stream to run in a lane of the four-way Keccak: a matrix entry
// (SHAKE-128(rho || column || row), rejection sampling, eta = 0), a noise
// polynomial (SHAKE-256(seed || nonce) into CBD_eta; the input fits in one
// block with its padding) or a hash of an input of any length (hash set).
// Phase 0 streams start at once, phase 1 and 2 ones after the KemWork's
// then() and last() steps.
struct Stream {
  Poly* out;
  const uint8_t* prefix;
  size_t plen;
  uint8_t suffix[2];
  uint8_t sl;
  uint8_t eta;
  uint8_t phase;
  const KemHash* hash;
};

inline unsigned stream_rate(const Stream& st) {
  return st.hash != nullptr ? st.hash->rate : st.eta == 0 ? kRate128 : kRate256;
}

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

// XORs the next block of a hash's input into lane j, from byte `at`: a whole
// block, or the rest padded.  Returns the new position; past the input's
// length once the padded block is in.
size_t absorb_hash_block(uint64_t* s, unsigned j, const KemHash& h, size_t at) {
  const size_t rest = h.len - at;
  const uint8_t* in = h.in + at;
  if (rest >= h.rate) {
    for (unsigned w = 0; w < h.rate / 8; ++w) {
      uint64_t v;
      std::memcpy(&v, in + 8 * w, 8);
      s[4 * w + j] ^= v;
    }
    return at + h.rate;
  }
  const size_t whole = rest / 8;
  for (size_t w = 0; w < whole; ++w) {
    uint64_t v;
    std::memcpy(&v, in + 8 * w, 8);
    s[4 * w + j] ^= v;
  }
  uint64_t last = uint64_t(h.pad) << (8 * (rest % 8));
  for (size_t k = 8 * whole; k < rest; ++k) last |= uint64_t(in[k]) << (8 * (k - 8 * whole));
  s[4 * whole + j] ^= last;
  s[4 * (h.rate / 8 - 1) + j] ^= uint64_t(0x80) << 56;
  return h.len + 1;
}

// Runs the streams through the four lanes, a new one starting in a lane as
// soon as the lane's previous one is done, so that the permutations are
// shared out with few idle lanes.  Returns false if a matrix entry runs out
// of its 768 bytes (public data: the branches here depend on rho only, or on
// the public stream lengths and kinds).
bool run_streams(const Stream* st, int n, void (*then)(void*), void (*last)(void*), void* ctx) {
  alignas(32) uint64_t s[100];
  std::memset(s, 0, sizeof s);
  uint64_t buf[4][2 * kRate256 / 8];
  int job[4] = {-1, -1, -1, -1};
  int ctr[4] = {0, 0, 0, 0};
  size_t used[4] = {0, 0, 0, 0};
  int next = 0;
  // The phase 0 hashes still running or waiting: all, and those then() waits for.
  int pending = 0, gating = 0;
  for (int k = 0; k < n; ++k) {
    pending += st[k].hash != nullptr && st[k].phase == 0;
    gating += st[k].hash != nullptr && st[k].phase == 0 && st[k].hash->gates;
  }
  int phase = 0;  // the last phase released
  bool ok = true;
  for (;;) {
    if (phase == 0 && gating == 0) {
      if (then != nullptr) then(ctx);
      phase = 1;
    }
    if (phase == 1 && pending == 0) {
      if (last != nullptr) last(ctx);
      phase = 2;
    }
    bool active = false;
    for (unsigned j = 0; j < 4; ++j) {
      if (job[j] < 0 && next < n && st[next].phase <= phase) {
        const Stream& x = st[next];
        if (x.hash != nullptr) {
          for (size_t w = 0; w < 25; ++w) s[4 * w + j] = 0;
          used[j] = absorb_hash_block(s, j, *x.hash, 0);
        } else {
          start_lane(s, j, x);
          used[j] = 0;
        }
        job[j] = next++;
        ctr[j] = 0;
      }
      active |= job[j] >= 0;
    }
    if (!active) break;
    keccakx4_f1600(s);
    for (unsigned j = 0; j < 4; ++j) {
      if (job[j] < 0) continue;
      const Stream& x = st[job[j]];
      const unsigned rate = stream_rate(x);
      if (x.hash != nullptr) {
        if (used[j] > x.hash->len) {
          for (size_t w = 0; w < x.hash->outlen / 8; ++w)
            std::memcpy(x.hash->out + 8 * w, &s[4 * w + j], 8);
          job[j] = -1;
          pending -= x.phase == 0;
          gating -= x.phase == 0 && x.hash->gates;
        } else {
          used[j] = absorb_hash_block(s, j, *x.hash, used[j]);
        }
      } else if (x.eta == 0) {
        const size_t take = (768 - used[j] < rate) ? 768 - used[j] : rate;
        ctr[j] = rej_lane(x.out->c, ctr[j], s, j, take);
        used[j] += take;
        if (ctr[j] == kN) job[j] = -1;
        else if (used[j] >= 768) {
          ok = false;
          break;
        }
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
    if (!ok) break;
  }
  // The lanes and the buffers held noise and hash inputs: secret.
  secure_wipe(s, sizeof s);
  secure_wipe(buf, sizeof buf);
  // And the permutation's frame below, where its spilled lanes hold them too.
  wipe_stack(kLaneStack);
  return ok;
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
      t.phase = 0;
      t.hash = nullptr;
    }
  return kk * kk;
}

// Noise polynomial k gets CBD_eta[k](PRF(seed, nonce0 + k)).  Streams with
// the larger eta (two blocks) go first.
int noise_streams(Stream* st, Poly* out, const int* eta, int count, const uint8_t* seed, size_t seedlen,
                  uint8_t nonce0, uint8_t phase) {
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
      t.phase = phase;
      t.hash = nullptr;
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
    for (int j = 0; j < n; ++j) avx2::cbd(out[first + j], buf[j], eta[first + j]);
    secure_wipe(s, sizeof s);
    secure_wipe(buf, sizeof buf);
  }
}

}  // namespace

// All streams share the lanes; noise seeds too long for one block share their
// prefix blocks instead.
bool sample_matrix_and_noise(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                             const int* eta, int count, const uint8_t* seed, size_t seedlen) {
  Stream st[kMaxRank * kMaxRank + 2 * kMaxRank + 1] = {};
  int n = matrix_streams(st, m, rho, kk, transpose);
  if (seedlen + 1 < kRate256) {
    n += noise_streams(st + n, noise, eta, count, seed, seedlen, 0, 0);
  } else {
    sample_noise_long(noise, eta, count, seed, seedlen, 0);
  }
  return run_streams(st, n, nullptr, nullptr, nullptr);
}

// The first hashes (the longest chain of permutations first), then the
// matrix, the noise, and the hashes after.
bool kem_work(const KemWork& w) {
  Stream st[2 * kMaxHashes + kMaxRank * kMaxRank + 2 * kMaxRank + 1] = {};
  int n = 0;
  bool taken[kMaxHashes] = {};
  for (int k = 0; k < w.nfirst; ++k) {
    int longest = -1;
    size_t most = 0;
    for (int i = 0; i < w.nfirst; ++i) {
      const size_t blocks = w.first[i].len / w.first[i].rate;
      if (!taken[i] && (longest < 0 || blocks > most)) longest = i, most = blocks;
    }
    taken[longest] = true;
    st[n].hash = &w.first[longest];
    st[n++].phase = 0;
  }
  n += matrix_streams(st + n, w.m, w.rho, w.kk, w.transpose);
  n += noise_streams(st + n, w.noise, w.eta, w.count, w.seed, w.seedlen, 0, w.noise_after ? 1 : 0);
  for (int k = 0; k < w.nafter; ++k) {
    st[n].hash = &w.after[k];
    st[n++].phase = 2;
  }
  return run_streams(st, n, w.then, w.last, w.ctx);
}

}  // namespace avx2
}  // namespace native
}  // namespace latkem

