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

// Little-endian 64-bit word; one load where that is the machine's order.
inline uint64_t load64_le(const uint8_t* p) {
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
  uint64_t r;
  std::memcpy(&r, p, 8);
  return r;
#else
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | p[i];
  return r;
#endif
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

// Each layer is compiled on its own: inlined into one another, the layers
// were merged by the vectoriser into long chains of 16-bit shuffles.
#if defined(__GNUC__) || defined(__clang__)
#define LATKEM_LAYER __attribute__((noinline))
#elif defined(_MSC_VER)
#define LATKEM_LAYER __declspec(noinline)
#else
#define LATKEM_LAYER inline
#endif

// On the loops around the eight-lane units: vectorised across units (one
// lane per unit, gathering with shuffles) they ran several times slower than
// the units vectorised on their own.  GCC leaves them alone.
#if defined(__clang__)
#define LATKEM_UNITS_IN_TURN _Pragma("clang loop vectorize(disable) interleave(disable)")
#else
#define LATKEM_UNITS_IN_TURN
#endif

// The butterflies on eight lanes, the unit every layer is made of (one
// vector of 16-bit lanes with SSE2 or NEON).  Inputs and outputs go through
// local arrays, so that compilers see eight independent lanes and nothing
// else to vectorise.
inline void ntt_butterflies8(int16_t* lo_p, int16_t* hi_p, const int16_t zeta[8],
                             const int16_t zq[8]) {
  int16_t lo[8], hi[8];
  std::memcpy(lo, lo_p, sizeof lo);
  std::memcpy(hi, hi_p, sizeof hi);
  for (int j = 0; j < 8; ++j) {
    const int16_t t = fqmul_q(hi[j], zeta[j], zq[j]);
    hi[j] = int16_t(lo[j] - t);
    lo[j] = int16_t(lo[j] + t);
  }
  std::memcpy(lo_p, lo, sizeof lo);
  std::memcpy(hi_p, hi, sizeof hi);
}

inline void invntt_butterflies8(int16_t* lo_p, int16_t* hi_p, const int16_t zeta[8],
                                const int16_t zq[8]) {
  int16_t lo[8], hi[8];
  std::memcpy(lo, lo_p, sizeof lo);
  std::memcpy(hi, hi_p, sizeof hi);
  for (int j = 0; j < 8; ++j) {
    const int16_t t = lo[j];
    lo[j] = barrett16(int16_t(t + hi[j]));
    hi[j] = fqmul_q(int16_t(hi[j] - t), zeta[j], zq[j]);
  }
  std::memcpy(lo_p, lo, sizeof lo);
  std::memcpy(hi_p, hi, sizeof hi);
}

// Layers of distance 8 and more: one zeta per block, eight lanes at a time.
template <int Len, bool Inverse>
LATKEM_LAYER void wide_layer(int16_t* r, int k) {
  LATKEM_UNITS_IN_TURN
  for (int start = 0; start < kN; start += 2 * Len) {
    const int16_t zeta = kZetas[k], zq = mullo16(zeta, kQInv);
    k += Inverse ? -1 : 1;
    int16_t z8[8], zq8[8];
    for (int j = 0; j < 8; ++j) {
      z8[j] = zeta;
      zq8[j] = zq;
    }
    LATKEM_UNITS_IN_TURN
    for (int j0 = 0; j0 < Len; j0 += 8) {
      if (Inverse)
        invntt_butterflies8(r + start + j0, r + start + j0 + Len, z8, zq8);
      else
        ntt_butterflies8(r + start + j0, r + start + j0 + Len, z8, zq8);
    }
  }
}

// The layers of distance 4 and 2 have butterflies inside every eight
// coefficients, too short for a vector each.  They run on chunks of sixteen
// coefficients instead: the eight lower and the eight upper inputs of the
// chunk's butterflies gathered into two arrays, with the zetas per lane from
// a table, so that each chunk is one vector operation wide.  Lane j of chunk
// c has block (c * 16 / (2 * Len)) + j / Len and offset j % Len.
template <int Len>
struct SmallLayer {
  static constexpr int kBlocks = 16 / (2 * Len);  // blocks per chunk
  int16_t zeta[kN / 2], zq[kN / 2];               // per chunk, per lane
  // first = index in kZetas of the layer's first block; step = +1 forward,
  // -1 inverse.
  constexpr SmallLayer(int first, int step) : zeta(), zq() {
    for (int c = 0; c < kN / 16; ++c)
      for (int j = 0; j < 8; ++j) {
        const int16_t z = kZetas[first + step * (c * kBlocks + j / Len)];
        zeta[8 * c + j] = z;
        zq[8 * c + j] = int16_t(uint16_t(uint32_t(uint16_t(z)) * uint16_t(kQInv)));
      }
  }
};

constexpr SmallLayer<4> kNttLayer4(32, 1);
constexpr SmallLayer<2> kNttLayer2(64, 1);
constexpr SmallLayer<2> kInvLayer2(127, -1);
constexpr SmallLayer<4> kInvLayer4(63, -1);

// The lower and upper halves of the blocks of a chunk are runs of Len
// coefficients alternating; moved as words of Len coefficients (a 32-bit or
// 64-bit shuffle, where 16-bit lanes would take many more).
template <int Len>
struct SmallWord;
template <>
struct SmallWord<2> { using type = uint32_t; };
template <>
struct SmallWord<4> { using type = uint64_t; };

template <int Len>
inline void gather_small(int16_t lo[8], int16_t hi[8], const int16_t* chunk) {
  using W = typename SmallWord<Len>::type;
  constexpr int kWords = 8 / Len;
  W w[2 * kWords], l[kWords], h[kWords];
  std::memcpy(w, chunk, sizeof w);
  for (int i = 0; i < kWords; ++i) {
    l[i] = w[2 * i];
    h[i] = w[2 * i + 1];
  }
  std::memcpy(lo, l, sizeof l);
  std::memcpy(hi, h, sizeof h);
}

// Stored run by run: put together in a local array first, the words were
// read back as one vector before their stores had landed (a stall).
template <int Len>
inline void scatter_small(int16_t* chunk, const int16_t lo[8], const int16_t hi[8]) {
  for (int i = 0; i < 8 / Len; ++i) {
    std::memcpy(chunk + 2 * Len * i, lo + Len * i, Len * sizeof(int16_t));
    std::memcpy(chunk + 2 * Len * i + Len, hi + Len * i, Len * sizeof(int16_t));
  }
}

template <int Len>
LATKEM_LAYER void ntt_layer_small(int16_t* r, const SmallLayer<Len>& z) {
  LATKEM_UNITS_IN_TURN
  for (int c = 0; c < kN / 16; ++c) {
    int16_t* chunk = r + 16 * c;
    int16_t lo[8], hi[8];
    gather_small<Len>(lo, hi, chunk);
    ntt_butterflies8(lo, hi, z.zeta + 8 * c, z.zq + 8 * c);
    scatter_small<Len>(chunk, lo, hi);
  }
}

template <int Len>
LATKEM_LAYER void invntt_layer_small(int16_t* r, const SmallLayer<Len>& z) {
  LATKEM_UNITS_IN_TURN
  for (int c = 0; c < kN / 16; ++c) {
    int16_t* chunk = r + 16 * c;
    int16_t lo[8], hi[8];
    gather_small<Len>(lo, hi, chunk);
    invntt_butterflies8(lo, hi, z.zeta + 8 * c, z.zq + 8 * c);
    scatter_small<Len>(chunk, lo, hi);
  }
}

}  // namespace

void poly_ntt(Poly& p) {
  wide_layer<128, false>(p.c, 1);
  wide_layer<64, false>(p.c, 2);
  wide_layer<32, false>(p.c, 4);
  wide_layer<16, false>(p.c, 8);
  wide_layer<8, false>(p.c, 16);
  ntt_layer_small(p.c, kNttLayer4);
  ntt_layer_small(p.c, kNttLayer2);
  portable::poly_reduce(p);
}

void poly_invntt_tomont(Poly& p) {
  invntt_layer_small(p.c, kInvLayer2);
  invntt_layer_small(p.c, kInvLayer4);
  wide_layer<8, true>(p.c, 31);
  wide_layer<16, true>(p.c, 15);
  wide_layer<32, true>(p.c, 7);
  wide_layer<64, true>(p.c, 3);
  wide_layer<128, true>(p.c, 1);
  const int16_t sq = mullo16(kInvNttScale, kQInv);
  for (int j = 0; j < kN; ++j) p.c[j] = fqmul_q(p.c[j], kInvNttScale, sq);
}

namespace {

// Products are accumulated in 32 bits and reduced once: each term is below
// 2q^2 in magnitude, so four of them stay under the q*2^15 Montgomery bound.
//
// Written as one loop over the coefficients, the same operations in every
// lane, so that compilers vectorise it: with xs, ys the inputs with
// neighbours swapped (xs[n] = x[n ^ 1]), coefficient n accumulates
//   even n:  x[n] * y[n] + fqmul(xs[n], ys[n]) * (+-zeta)
//   odd n:   xs[n] * y[n] + x[n] * ys[n]
// i.e. the same integer sums as the schoolbook formula per residue, picked
// by a mask of the index's parity rather than a branch.
struct BasemulZetas {
  int16_t z[kN];  // +zeta_i at 4i, -zeta_i at 4i + 2, zero in odd lanes
  constexpr BasemulZetas() : z() {
    for (int i = 0; i < kN / 4; ++i) {
      z[4 * i] = kZetas[64 + i];
      z[4 * i + 2] = int16_t(-kZetas[64 + i]);
    }
  }
};
constexpr BasemulZetas kBasemulZetas;

// montgomery_reduce() from 16-bit halves: t*q agrees with c in its low half,
// so (c - t*q) >> 16 is the difference of the high halves.
inline int16_t montgomery16(int32_t c) {
  const int16_t t = mullo16(int16_t(c), kQInv);
  return int16_t(int16_t(c >> 16) - mulhi16(t, kQ));
}

template <int K>
void basemul_acc(Poly& r, const Poly* a, const Poly* b) {
  int32_t acc[kN] = {};
  for (int m = 0; m < K; ++m) {
    const int16_t* x = a[m].c;
    const int16_t* y = b[m].c;
    int16_t xs[kN], ys[kN];
    for (int i = 0; i < kN / 2; ++i) {
      xs[2 * i] = x[2 * i + 1];
      xs[2 * i + 1] = x[2 * i];
      ys[2 * i] = y[2 * i + 1];
      ys[2 * i + 1] = y[2 * i];
    }
    for (int n = 0; n < kN; ++n) {
      const int16_t even = int16_t((n & 1) - 1);  // all ones in even lanes
      const int16_t prod = mullo16(xs[n], ys[n]);  // fqmul(xs, ys)
      const int16_t f = int16_t(mulhi16(xs[n], ys[n]) - mulhi16(mullo16(prod, kQInv), kQ));
      const int16_t u = int16_t((x[n] & even) | (xs[n] & ~even));
      const int16_t v = int16_t((f & even) | (x[n] & ~even));
      const int16_t w = int16_t((kBasemulZetas.z[n] & even) | (ys[n] & ~even));
      acc[n] += int32_t(u) * y[n] + int32_t(v) * w;
    }
  }
  for (int n = 0; n < kN; ++n) r.c[n] = montgomery16(acc[n]);
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
  const int16_t mq = mullo16(kMont2, kQInv);
  for (int i = 0; i < kN; ++i) p.c[i] = fqmul_q(p.c[i], kMont2, mq);
}

void poly_reduce(Poly& p) {
  for (int i = 0; i < kN; ++i) p.c[i] = barrett16(p.c[i]);
}

void poly_freeze(Poly& p) {
  for (int i = 0; i < kN; ++i) {
    const int16_t r = barrett16(p.c[i]);
    p.c[i] = int16_t(r + ((r >> 15) & kQ));
  }
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

namespace {

// rej_uniform() for the matrix, without a branch per candidate (random
// accept/reject branches are mispredicted about one time in five): each
// candidate is stored at p[ctr] and ctr advances when it is accepted, so a
// rejected one is overwritten by the next.  A 3-byte group adds at most two
// coefficients, so while ctr <= kN - 2 (kN - 4 for two groups) the stores
// stay inside p; the last few go through the branching loop, which never
// stores past kN.  Slots at ctr and beyond may hold rejected candidates until
// they are filled.
int rej_uniform_matrix(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  size_t pos = 0;
  // Two groups (four candidates, from one 64-bit read of which 48 bits are
  // used) while four stores fit.
  for (; ctr <= kN - 4 && pos + 8 <= len; pos += 6) {
    const uint64_t t = load64_le(buf + pos);
    const uint16_t d0 = uint16_t(t & 0xFFF), d1 = uint16_t((t >> 12) & 0xFFF);
    const uint16_t d2 = uint16_t((t >> 24) & 0xFFF), d3 = uint16_t((t >> 36) & 0xFFF);
    p[ctr] = int16_t(d0);
    ctr += d0 < kQ;
    p[ctr] = int16_t(d1);
    ctr += d1 < kQ;
    p[ctr] = int16_t(d2);
    ctr += d2 < kQ;
    p[ctr] = int16_t(d3);
    ctr += d3 < kQ;
  }
  for (; ctr <= kN - 2 && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    p[ctr] = int16_t(d1);
    ctr += d1 < kQ;
    p[ctr] = int16_t(d2);
    ctr += d2 < kQ;
  }
  for (; ctr < kN && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    if (d1 < kQ) p[ctr++] = int16_t(d1);
    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);
  }
  return ctr;
}

}  // namespace

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
    ctr = rej_uniform_matrix(p.c, ctr, block, take);
    used += take;
  }
  return ctr == kN;
}

// ---------------------------------------------------------------------------
// Packing.

namespace {

// ByteEncode_D / ByteDecode_D with D fixed: groups of eight coefficients are
// D bytes, built in (or read from) two 64-bit words with shifts known at
// compile time, instead of a bit accumulator with a loop per byte.
template <int D>
void encode_fixed(uint8_t* out, const int16_t* a) {
  constexpr uint32_t kMask = (1u << D) - 1;
  for (int g = 0; g < kN / 8; ++g) {
    uint64_t lo = 0, hi = 0;
    for (int j = 0; j < 8; ++j) {
      const uint64_t v = uint64_t(uint32_t(uint16_t(a[8 * g + j])) & kMask);
      const int bit = j * D;
      if (bit < 64) {
        lo |= v << bit;
        if (bit + D > 64) hi |= v >> (64 - bit);
      } else {
        hi |= v << (bit - 64);
      }
    }
    uint8_t* o = out + D * g;
    for (int b = 0; b < D; ++b) o[b] = uint8_t(b < 8 ? lo >> (8 * b) : hi >> (8 * (b - 8)));
  }
}

template <int D>
void decode_fixed(int16_t* a, const uint8_t* in) {
  constexpr uint64_t kMask = (uint64_t(1) << D) - 1;
  for (int g = 0; g < kN / 8; ++g) {
    const uint8_t* p = in + D * g;
    uint64_t lo = 0, hi = 0;
    for (int b = 0; b < D; ++b) {
      if (b < 8)
        lo |= uint64_t(p[b]) << (8 * b);
      else
        hi |= uint64_t(p[b]) << (8 * (b - 8));
    }
    for (int j = 0; j < 8; ++j) {
      const int bit = j * D;
      uint64_t v;
      if (bit + D <= 64)
        v = lo >> bit;
      else if (bit >= 64)
        v = hi >> (bit - 64);
      else
        v = (lo >> bit) | (hi << (64 - bit));
      a[8 * g + j] = int16_t(v & kMask);
    }
  }
}

}  // namespace

void byte_encode(uint8_t* out, const int16_t a[kN], int d) {
  switch (d) {  // the sizes of keys and ciphertexts
    case 12: encode_fixed<12>(out, a); return;
    case 1: encode_fixed<1>(out, a); return;
    case 4: encode_fixed<4>(out, a); return;
    case 5: encode_fixed<5>(out, a); return;
    case 10: encode_fixed<10>(out, a); return;
    case 11: encode_fixed<11>(out, a); return;
    default: break;
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
  switch (d) {
    case 12: decode_fixed<12>(a, in); return;
    case 1: decode_fixed<1>(a, in); return;
    case 4: decode_fixed<4>(a, in); return;
    case 5: decode_fixed<5>(a, in); return;
    case 10: decode_fixed<10>(a, in); return;
    case 11: decode_fixed<11>(a, in); return;
    default: break;
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

// floor(n / q) for n = 2^d * x + 1664 (x < q, d <= 11, so n < 6817409) in
// 32-bit arithmetic, which vectorises where 64-bit products do not:
// k = (n * 315) >> 20 overestimates n / q by less than 0.15 (315 / 2^20 is
// 1/q to within 6e-5 and n / q < 2048), so it is floor(n / q) or one more,
// and one more exactly when n - k*q is negative.  n * 315 < 2^31.
int16_t compress(int16_t x, int d) {
  const uint32_t n = (uint32_t(uint16_t(x)) << d) + 1664;
  const uint32_t k = (n * 315u) >> 20;
  const uint32_t below = uint32_t(int32_t(n - k * uint32_t(kQ)) >> 31);  // all ones if k > n/q
  return int16_t((k + below) & ((1u << d) - 1));
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
  for (int i = 0; i < kSymBytes; ++i)
    for (int j = 0; j < 8; ++j) {
      const int16_t bit = int16_t((msg[i] >> j) & 1);
      p.c[8 * i + j] = int16_t(-bit & ((kQ + 1) / 2));
    }
}

void poly_tomsg(uint8_t msg[32], const Poly& p) {
  int16_t bits[kN];  // compressed first, in a loop of its own, which vectorises
  for (int i = 0; i < kN; ++i) bits[i] = compress(p.c[i], 1);
  for (int i = 0; i < kSymBytes; ++i) {
    uint8_t byte = 0;
    for (int j = 0; j < 8; ++j) byte = uint8_t(byte | (bits[8 * i + j] << j));
    msg[i] = byte;
  }
}

}  // namespace portable

}  // namespace native
}  // namespace latkem
