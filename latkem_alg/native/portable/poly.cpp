// Arithmetic mod q = 3329, the NTT over Z_q[X]/(X^256 + 1), sampling,
// packing and compression: the portable backend's functions (namespace
// portable) and the scalar helpers of core.h.
#include "../backend.h"
#include "../core.h"
#include "portable.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

constexpr int16_t kQInv = -3327;       // q^-1 mod 2^16, as int16
constexpr int16_t kMont2 = 1353;       // 2^32 mod q: fqmul by it multiplies by 2^16
constexpr int16_t kInvNttScale = 1441; // 2^32 / 128 mod q
constexpr int16_t kBarrettV = 20159;   // round(2^26 / q)


inline uint32_t load24(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

inline uint32_t load32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reductions.

int16_t montgomery_reduce(int32_t a) {
  const int16_t t = int16_t(uint16_t(uint32_t(a) * uint32_t(uint16_t(kQInv))));
  return int16_t((a - int32_t(t) * kQ) >> 16);
}

int16_t barrett_reduce(int16_t a) {
  const int16_t t = int16_t((int32_t(kBarrettV) * a + (1 << 25)) >> 26);
  return int16_t(a - t * kQ);
}

int16_t fqmul(int16_t a, int16_t b) { return montgomery_reduce(int32_t(a) * b); }

int16_t freeze(int16_t a) {
  int16_t r = barrett_reduce(a);
  r = int16_t(r + ((r >> 15) & kQ));
  return r;
}

// ---------------------------------------------------------------------------
// NTT.

namespace portable {
namespace {

// fqmul() and barrett_reduce() as products of 16-bit values keeping the high
// or the low half, the shape compilers map onto vector multiply-high and
// multiply-low instructions when they vectorise the loops below.  The values
// are the same: the low halves of a*b and t*q agree by the choice of t, so
// (a*b - t*q) >> 16 is the difference of the high halves.
inline int16_t mulhi16(int16_t a, int16_t b) { return int16_t((int32_t(a) * b) >> 16); }
inline int16_t mullo16(int16_t a, int16_t b) { return int16_t(uint16_t(uint32_t(uint16_t(a)) * uint16_t(b))); }

inline int16_t fqmul_q(int16_t a, int16_t b, int16_t b_qinv) {
  return int16_t(mulhi16(a, b) - mulhi16(mullo16(a, b_qinv), kQ));
}

inline int16_t barrett16(int16_t a) {
  // ((v*a >> 16) + 2^9) >> 10 = (v*a + 2^25) >> 26.
  const int16_t t = int16_t((mulhi16(a, kBarrettV) + (1 << 9)) >> 10);
  return int16_t(a - mullo16(t, kQ));
}

// Layers are instantiated per butterfly distance so that every inner loop has
// a constant trip count and visibly disjoint halves; compilers can then
// unroll or vectorise them without runtime checks.
template <int Len>
inline void ntt_layer(int16_t* r, int& k) {
  for (int start = 0; start < kN; start += 2 * Len) {
    const int16_t zeta = kZetas[k++], zq = mullo16(zeta, kQInv);
    int16_t* lo = r + start;
    int16_t* hi = r + start + Len;
    for (int j = 0; j < Len; ++j) {
      const int16_t t = fqmul_q(hi[j], zeta, zq);
      hi[j] = int16_t(lo[j] - t);
      lo[j] = int16_t(lo[j] + t);
    }
  }
}

template <int Len>
inline void invntt_layer(int16_t* r, int& k) {
  for (int start = 0; start < kN; start += 2 * Len) {
    const int16_t zeta = kZetas[k--], zq = mullo16(zeta, kQInv);
    int16_t* lo = r + start;
    int16_t* hi = r + start + Len;
    for (int j = 0; j < Len; ++j) {
      const int16_t t = lo[j];
      lo[j] = barrett16(int16_t(t + hi[j]));
      hi[j] = fqmul_q(int16_t(hi[j] - t), zeta, zq);
    }
  }
}

}  // namespace

void poly_ntt(Poly& p) {
  int k = 1;
  ntt_layer<128>(p.c, k);
  ntt_layer<64>(p.c, k);
  ntt_layer<32>(p.c, k);
  ntt_layer<16>(p.c, k);
  ntt_layer<8>(p.c, k);
  ntt_layer<4>(p.c, k);
  ntt_layer<2>(p.c, k);
  portable::poly_reduce(p);
}

void poly_invntt_tomont(Poly& p) {
  int k = 127;
  invntt_layer<2>(p.c, k);
  invntt_layer<4>(p.c, k);
  invntt_layer<8>(p.c, k);
  invntt_layer<16>(p.c, k);
  invntt_layer<32>(p.c, k);
  invntt_layer<64>(p.c, k);
  invntt_layer<128>(p.c, k);
  const int16_t sq = mullo16(kInvNttScale, kQInv);
  for (int j = 0; j < kN; ++j) p.c[j] = fqmul_q(p.c[j], kInvNttScale, sq);
}

namespace {

// Products are accumulated in 32 bits and reduced once: each term is below
// 2q^2 in magnitude, so four of them stay under the q*2^15 Montgomery bound.
template <int K>
void basemul_acc(Poly& r, const Poly* a, const Poly* b) {
  for (int i = 0; i < kN / 4; ++i) {
    const int16_t zeta = kZetas[64 + i];
    int32_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    for (int m = 0; m < K; ++m) {
      const int16_t* x = a[m].c + 4 * i;
      const int16_t* y = b[m].c + 4 * i;
      c0 += int32_t(x[0]) * y[0] + int32_t(fqmul(x[1], y[1])) * zeta;
      c1 += int32_t(x[0]) * y[1] + int32_t(x[1]) * y[0];
      c2 += int32_t(x[2]) * y[2] - int32_t(fqmul(x[3], y[3])) * zeta;
      c3 += int32_t(x[2]) * y[3] + int32_t(x[3]) * y[2];
    }
    r.c[4 * i + 0] = montgomery_reduce(c0);
    r.c[4 * i + 1] = montgomery_reduce(c1);
    r.c[4 * i + 2] = montgomery_reduce(c2);
    r.c[4 * i + 3] = montgomery_reduce(c3);
  }
}

}  // namespace

void polyvec_basemul_acc_montgomery(Poly& r, const Poly* a, const Poly* b, int kk) {
  switch (kk) {
    case 1: basemul_acc<1>(r, a, b); break;
    case 2: basemul_acc<2>(r, a, b); break;
    case 3: basemul_acc<3>(r, a, b); break;
    case 4: basemul_acc<4>(r, a, b); break;
    default: std::memset(r.c, 0, sizeof r.c); break;
  }
}

void poly_tomont(Poly& p) {
  for (int i = 0; i < kN; ++i) p.c[i] = fqmul(p.c[i], kMont2);
}

void poly_reduce(Poly& p) {
  for (int i = 0; i < kN; ++i) p.c[i] = barrett_reduce(p.c[i]);
}

void poly_freeze(Poly& p) {
  for (int i = 0; i < kN; ++i) p.c[i] = freeze(p.c[i]);
}

void poly_add(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; ++i) r.c[i] = int16_t(a.c[i] + b.c[i]);
}

void poly_sub(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; ++i) r.c[i] = int16_t(a.c[i] - b.c[i]);
}

}  // namespace portable

// ---------------------------------------------------------------------------
// Sampling.

namespace portable {

bool cbd(Poly& p, const uint8_t* buf, int eta) {
  if (eta < 1 || eta > kMaxEta) return false;
  if (eta == 2) {
    for (int i = 0; i < kN / 8; ++i) {
      const uint32_t t = load32(buf + 4 * i);
      const uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
      for (int j = 0; j < 8; ++j) {
        const int16_t a = int16_t((d >> (4 * j)) & 3);
        const int16_t b = int16_t((d >> (4 * j + 2)) & 3);
        p.c[8 * i + j] = int16_t(a - b);
      }
    }
    return true;
  }
  if (eta == 3) {
    for (int i = 0; i < kN / 4; ++i) {
      const uint32_t t = load24(buf + 3 * i);
      const uint32_t d =
          (t & 0x00249249u) + ((t >> 1) & 0x00249249u) + ((t >> 2) & 0x00249249u);
      for (int j = 0; j < 4; ++j) {
        const int16_t a = int16_t((d >> (6 * j)) & 7);
        const int16_t b = int16_t((d >> (6 * j + 3)) & 7);
        p.c[4 * i + j] = int16_t(a - b);
      }
    }
    return true;
  }
  // General eta: each coefficient spans 2*eta <= 16 bits, i.e. at most three
  // bytes from its first one.  Reads past the 64*eta input bytes see zeros.
  const size_t nbytes = size_t(64) * eta;
  for (int i = 0; i < kN; ++i) {
    const size_t bit = size_t(2) * eta * i;
    const size_t byte = bit / 8;
    uint32_t w = 0;
    for (size_t m = 0; m < 3; ++m)
      if (byte + m < nbytes) w |= uint32_t(buf[byte + m]) << (8 * m);  // public bound
    w >>= bit % 8;
    int16_t a = 0, b = 0;
    for (int m = 0; m < eta; ++m) {
      a = int16_t(a + ((w >> m) & 1));
      b = int16_t(b + ((w >> (eta + m)) & 1));
    }
    p.c[i] = int16_t(a - b);
  }
  return true;
}

int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  for (size_t pos = 0; ctr < kN && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    if (d1 < kQ) p[ctr++] = int16_t(d1);
    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);
  }
  return ctr;
}

// 768 bytes is 4 full blocks plus 96 bytes of a fifth.  168 is a multiple of
// 3, so no 3-byte group straddles a block boundary.
bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j) {
  constexpr size_t kLimit = 768;
  uint8_t ext[kSymBytes + 2];
  std::memcpy(ext, rho, kSymBytes);
  ext[kSymBytes] = j;
  ext[kSymBytes + 1] = i;
  Shake128 xof;
  xof.absorb(ext, sizeof ext);
  uint8_t block[Shake128::kRate];
  int ctr = 0;
  size_t used = 0;
  while (ctr < kN && used < kLimit) {
    xof.squeeze_blocks(block, 1);
    size_t take = kLimit - used;
    if (take > Shake128::kRate) take = Shake128::kRate;
    ctr = rej_uniform(p.c, ctr, block, take);
    used += take;
  }
  return ctr == kN;
}

// ---------------------------------------------------------------------------
// Packing.

void byte_encode(uint8_t* out, const int16_t a[kN], int d) {
  if (d == 12) {
    for (int i = 0; i < kN / 2; ++i) {
      const uint16_t x = uint16_t(a[2 * i]) & 0xFFF, y = uint16_t(a[2 * i + 1]) & 0xFFF;
      out[3 * i + 0] = uint8_t(x);
      out[3 * i + 1] = uint8_t((x >> 8) | (y << 4));
      out[3 * i + 2] = uint8_t(y >> 4);
    }
    return;
  }
  const uint32_t mask = (1u << d) - 1;
  uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    acc |= (uint32_t(uint16_t(a[i])) & mask) << bits;
    bits += d;
    while (bits >= 8) {
      *out++ = uint8_t(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

void byte_decode(int16_t a[kN], const uint8_t* in, int d) {
  if (d == 12) {
    for (int i = 0; i < kN / 2; ++i) {
      a[2 * i] = int16_t(in[3 * i] | ((in[3 * i + 1] & 0x0F) << 8));
      a[2 * i + 1] = int16_t((in[3 * i + 1] >> 4) | (in[3 * i + 2] << 4));
    }
    return;
  }
  const uint32_t mask = (1u << d) - 1;
  uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    while (bits < d) {
      acc |= uint32_t(*in++) << bits;
      bits += 8;
    }
    a[i] = int16_t(acc & mask);
    acc >>= d;
    bits -= d;
  }
}

}  // namespace portable

// floor(n / q) = (n * 2580335) >> 33 exactly for 0 <= n < 2^23, which covers
// n = 2^d * x + 1664 for x < q and d <= 11.
int16_t compress(int16_t x, int d) {
  const uint64_t n = (uint64_t(uint16_t(x)) << d) + 1664;
  return int16_t(((n * 2580335u) >> 33) & ((1u << d) - 1));
}

int16_t decompress(int16_t y, int d) {
  const uint32_t t = uint32_t(uint16_t(y)) * uint32_t(kQ);
  const uint32_t k = t >> d;
  const uint32_t r = t & ((1u << d) - 1);
  const uint32_t half = 1u << (d - 1);
  const uint32_t above = (half - r) >> 31;      // r > half
  const uint32_t tie = ((r ^ half) - 1) >> 31;  // r == half (r ^ half < 2^12)
  return int16_t(k + above + (tie & k & 1));
}

namespace portable {

void poly_compress(Poly& p, int d) {
  for (int i = 0; i < kN; ++i) p.c[i] = compress(p.c[i], d);
}

void poly_decompress(Poly& p, int d) {
  for (int i = 0; i < kN; ++i) p.c[i] = decompress(p.c[i], d);
}

void poly_frommsg(Poly& p, const uint8_t msg[32]) {
  for (int i = 0; i < kN; ++i) {
    const int16_t bit = int16_t((msg[i / 8] >> (i % 8)) & 1);
    p.c[i] = int16_t(-bit & ((kQ + 1) / 2));
  }
}

void poly_tomsg(uint8_t msg[32], const Poly& p) {
  for (int i = 0; i < kSymBytes; ++i) {
    uint8_t byte = 0;
    for (int j = 0; j < 8; ++j) byte = uint8_t(byte | (compress(p.c[8 * i + j], 1) << j));
    msg[i] = byte;
  }
}

}  // namespace portable

}  // namespace native
}  // namespace latkem
