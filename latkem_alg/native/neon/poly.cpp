// NEON versions of the polynomial arithmetic: the NTT, its inverse, the base
// multiplication and the coefficient-wise reductions.  Eight coefficients per
// register; every function gives exactly the portable result.
//
// Multiplications keep the high half of doubled products (SQDMULH).  For the
// Montgomery product with m = lo(a * b * q^-1), a*b - m*q is a multiple of
// 2^16, so hi(2ab) - hi(2mq) is exactly 2 (ab - mq) / 2^16 and the halving
// subtraction gives the portable value.  Neither product saturates: q and the
// constants are never -2^15.
#include "neon.h"

#include <arm_neon.h>

#include <cstring>

namespace latkem {
namespace native {
namespace neon {
namespace {

constexpr int16_t kQInv = -3327;       // q^-1 mod 2^16
constexpr int16_t kMont2 = 1353;       // 2^32 mod q
constexpr int16_t kInvNttScale = 1441; // 2^32 / 128 mod q
constexpr int16_t kBarrettV = 20159;   // round(2^26 / q)

constexpr int16_t mul16(int a, int b) { return int16_t(uint16_t(unsigned(a) * unsigned(b))); }

// a * b * 2^-16 mod q, bq = b * q^-1 mod 2^16.
inline int16x8_t fqmul(int16x8_t a, int16x8_t b, int16x8_t bq) {
  const int16x8_t ab = vqdmulhq_s16(a, b);
  const int16x8_t m = vmulq_s16(a, bq);
  return vhsubq_s16(ab, vqdmulhq_s16(m, vdupq_n_s16(kQ)));
}

inline int16x8_t fqmul(int16x8_t a, int16x8_t b) {
  return fqmul(a, b, vmulq_s16(b, vdupq_n_s16(kQInv)));
}

// Centred a mod q: t = (hi(a * v) + 2^9) >> 10, a - t q.
inline int16x8_t barrett(int16x8_t a) {
  const int16x8_t h = vshrq_n_s16(vqdmulhq_s16(a, vdupq_n_s16(kBarrettV)), 1);
  return vmlsq_s16(a, vrshrq_n_s16(h, 10), vdupq_n_s16(kQ));
}

inline int16x8_t freeze(int16x8_t a) {
  const int16x8_t r = barrett(a);
  return vaddq_s16(r, vandq_s16(vshrq_n_s16(r, 15), vdupq_n_s16(kQ)));
}

inline int16x8_t zeta_pairs(const int16_t* z4) {  // z0 z0 z1 z1 z2 z2 z3 z3
  const int16x4_t z = vld1_s16(z4);
  return vzip1q_s16(vcombine_s16(z, z), vcombine_s16(z, z));
}

inline int16x8_t lo64(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s64(vzip1q_s64(vreinterpretq_s64_s16(x), vreinterpretq_s64_s16(y)));
}
inline int16x8_t hi64(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s64(vzip2q_s64(vreinterpretq_s64_s16(x), vreinterpretq_s64_s16(y)));
}
inline int16x8_t even32(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s32(vuzp1q_s32(vreinterpretq_s32_s16(x), vreinterpretq_s32_s16(y)));
}
inline int16x8_t odd32(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s32(vuzp2q_s32(vreinterpretq_s32_s16(x), vreinterpretq_s32_s16(y)));
}
inline int16x8_t zip1_32(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s32(vzip1q_s32(vreinterpretq_s32_s16(x), vreinterpretq_s32_s16(y)));
}
inline int16x8_t zip2_32(int16x8_t x, int16x8_t y) {
  return vreinterpretq_s16_s32(vzip2q_s32(vreinterpretq_s32_s16(x), vreinterpretq_s32_s16(y)));
}

inline void ct_butterfly(int16x8_t& lo, int16x8_t& hi, int16x8_t z) {
  const int16x8_t t = fqmul(hi, z);
  hi = vsubq_s16(lo, t);
  lo = vaddq_s16(lo, t);
}

inline void gs_butterfly(int16x8_t& lo, int16x8_t& hi, int16x8_t z) {
  const int16x8_t t = lo;
  lo = barrett(vaddq_s16(t, hi));
  hi = fqmul(vsubq_s16(hi, t), z);
}

}  // namespace

// Layers of butterfly distance 128 .. 8 on whole registers; distance 4 and 2
// on the halves and the 32-bit pairs of two registers, regrouped.  Zeta k
// serves block b of a layer of nb blocks at k = nb + b.
void poly_ntt(Poly& poly) {
  int16_t* const r = poly.c;
  for (int len = 128, nb = 1; len >= 8; len >>= 1, nb <<= 1) {
    for (int b = 0; b < nb; ++b) {
      const int16x8_t z = vdupq_n_s16(kZetas[nb + b]);
      int16_t* p = r + 2 * len * b;
      for (int j = 0; j < len; j += 8) {
        int16x8_t lo = vld1q_s16(p + j), hi = vld1q_s16(p + j + len);
        ct_butterfly(lo, hi, z);
        vst1q_s16(p + j, lo);
        vst1q_s16(p + j + len, hi);
      }
    }
  }
  for (int i = 0; i < kN; i += 16) {
    const int16x8_t x = vld1q_s16(r + i), y = vld1q_s16(r + i + 8);
    // Distance 4: blocks i/8 and i/8 + 1, zetas 32 + i/8 ...
    int16x8_t lo = lo64(x, y), hi = hi64(x, y);
    const int b4 = 32 + i / 8;
    ct_butterfly(lo, hi, vcombine_s16(vdup_n_s16(kZetas[b4]), vdup_n_s16(kZetas[b4 + 1])));
    const int16x8_t x4 = lo64(lo, hi), y4 = hi64(lo, hi);
    // Distance 2: four blocks of four, zetas 64 + i/4 ...
    lo = even32(x4, y4);
    hi = odd32(x4, y4);
    ct_butterfly(lo, hi, zeta_pairs(kZetas + 64 + i / 4));
    vst1q_s16(r + i, barrett(zip1_32(lo, hi)));
    vst1q_s16(r + i + 8, barrett(zip2_32(lo, hi)));
  }
}

// The same in reverse: block b of a layer of nb blocks takes zeta 2nb - 1 - b.
void poly_invntt_tomont(Poly& poly) {
  int16_t* const r = poly.c;
  for (int i = 0; i < kN; i += 16) {
    const int16x8_t x = vld1q_s16(r + i), y = vld1q_s16(r + i + 8);
    int16x8_t lo = even32(x, y), hi = odd32(x, y);
    const int16x4_t z2 = vrev64_s16(vld1_s16(kZetas + 124 - i / 4));  // 127 - i/4 down to 124 - i/4
    gs_butterfly(lo, hi, vzip1q_s16(vcombine_s16(z2, z2), vcombine_s16(z2, z2)));
    const int16x8_t x2 = zip1_32(lo, hi), y2 = zip2_32(lo, hi);
    lo = lo64(x2, y2);
    hi = hi64(x2, y2);
    const int b4 = 63 - i / 8;
    gs_butterfly(lo, hi, vcombine_s16(vdup_n_s16(kZetas[b4]), vdup_n_s16(kZetas[b4 - 1])));
    vst1q_s16(r + i, lo64(lo, hi));
    vst1q_s16(r + i + 8, hi64(lo, hi));
  }
  for (int len = 8, nb = 16; len <= 128; len <<= 1, nb >>= 1) {
    for (int b = 0; b < nb; ++b) {
      const int16x8_t z = vdupq_n_s16(kZetas[2 * nb - 1 - b]);
      int16_t* p = r + 2 * len * b;
      for (int j = 0; j < len; j += 8) {
        int16x8_t lo = vld1q_s16(p + j), hi = vld1q_s16(p + j + len);
        gs_butterfly(lo, hi, z);
        vst1q_s16(p + j, lo);
        vst1q_s16(p + j + len, hi);
      }
    }
  }
  const int16x8_t s = vdupq_n_s16(kInvNttScale), sq = vdupq_n_s16(mul16(kInvNttScale, kQInv));
  for (int i = 0; i < kN; i += 8) vst1q_s16(r + i, fqmul(vld1q_s16(r + i), s, sq));
}

namespace {

// Montgomery reduction of 32-bit lanes to 16 bits: (a - lo(a q^-1) q) >> 16.
inline int16x4_t montgomery(int32x4_t a) {
  const int16x4_t t = vmul_s16(vmovn_s32(a), vdup_n_s16(kQInv));
  return vshrn_n_s32(vmlsl_s16(a, t, vdup_n_s16(kQ)), 16);
}

}  // namespace

// Eight groups of four coefficients at a time, split into their four
// positions by the structured loads; the sums stay in 32 bits over the rank
// and are reduced once, as in the portable code.
void polyvec_basemul_acc_montgomery(Poly& out, const Poly* a, const Poly* b, int kk) {
  if (kk < 1 || kk > 4) {
    std::memset(out.c, 0, sizeof out.c);
    return;
  }
  for (int g = 0; g < kN / 4; g += 8) {
    const int16x8_t z = vld1q_s16(kZetas + 64 + g);
    int32x4_t c[8];
    for (auto& v : c) v = vdupq_n_s32(0);
    for (int m = 0; m < kk; ++m) {
      const int16x8x4_t x = vld4q_s16(a[m].c + 4 * g), y = vld4q_s16(b[m].c + 4 * g);
      const int16x8_t f1 = fqmul(x.val[1], y.val[1]), f3 = fqmul(x.val[3], y.val[3]);
      c[0] = vmlal_s16(vmlal_s16(c[0], vget_low_s16(x.val[0]), vget_low_s16(y.val[0])),
                       vget_low_s16(f1), vget_low_s16(z));
      c[1] = vmlal_high_s16(vmlal_high_s16(c[1], x.val[0], y.val[0]), f1, z);
      c[2] = vmlal_s16(vmlal_s16(c[2], vget_low_s16(x.val[0]), vget_low_s16(y.val[1])),
                       vget_low_s16(x.val[1]), vget_low_s16(y.val[0]));
      c[3] = vmlal_high_s16(vmlal_high_s16(c[3], x.val[0], y.val[1]), x.val[1], y.val[0]);
      c[4] = vmlsl_s16(vmlal_s16(c[4], vget_low_s16(x.val[2]), vget_low_s16(y.val[2])),
                       vget_low_s16(f3), vget_low_s16(z));
      c[5] = vmlsl_high_s16(vmlal_high_s16(c[5], x.val[2], y.val[2]), f3, z);
      c[6] = vmlal_s16(vmlal_s16(c[6], vget_low_s16(x.val[2]), vget_low_s16(y.val[3])),
                       vget_low_s16(x.val[3]), vget_low_s16(y.val[2]));
      c[7] = vmlal_high_s16(vmlal_high_s16(c[7], x.val[2], y.val[3]), x.val[3], y.val[2]);
    }
    int16x8x4_t r;
    for (int k = 0; k < 4; ++k)
      r.val[k] = vcombine_s16(montgomery(c[2 * k]), montgomery(c[2 * k + 1]));
    vst4q_s16(out.c + 4 * g, r);
  }
}

void poly_tomont(Poly& p) {
  const int16x8_t m = vdupq_n_s16(kMont2), mq = vdupq_n_s16(mul16(kMont2, kQInv));
  for (int i = 0; i < kN; i += 8) vst1q_s16(p.c + i, fqmul(vld1q_s16(p.c + i), m, mq));
}

void poly_reduce(Poly& p) {
  for (int i = 0; i < kN; i += 8) vst1q_s16(p.c + i, barrett(vld1q_s16(p.c + i)));
}

void poly_freeze(Poly& p) {
  for (int i = 0; i < kN; i += 8) vst1q_s16(p.c + i, freeze(vld1q_s16(p.c + i)));
}

void poly_add(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; i += 8) vst1q_s16(r.c + i, vaddq_s16(vld1q_s16(a.c + i), vld1q_s16(b.c + i)));
}

void poly_sub(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < kN; i += 8) vst1q_s16(r.c + i, vsubq_s16(vld1q_s16(a.c + i), vld1q_s16(b.c + i)));
}

}  // namespace neon
}  // namespace native
}  // namespace latkem
