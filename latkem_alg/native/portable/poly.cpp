// Arithmetic mod q = 3329 and the NTT over Z_q[X]/(X^256 + 1): the portable
// backend's functions (namespace portable) and the scalar reductions of
// core.h.  Sampling is in sample.cpp, packing and compression in pack.cpp.
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

}  // namespace native
}  // namespace latkem
