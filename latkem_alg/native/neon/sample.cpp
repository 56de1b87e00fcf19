// NEON versions of the noise sampler (CBD, eta = 2 and 3), the 12-bit
// packing, compression and the message encoding.  Secret data meets arithmetic, comparisons producing
// masks and fixed shuffles only.
#include "../portable/portable.h"
#include "neon.h"

#include <arm_neon.h>

#include <cstring>

namespace latkem {
namespace native {
namespace neon {
namespace {

// Vector constants are loaded from arrays (brace initialisers of vector types
// are not portable between compilers).
const uint8_t kSpread[16] = {0, 1, 2, 255, 3, 4, 5, 255, 6, 7, 8, 255, 9, 10, 11, 255};
const uint16_t kBits[8] = {1, 2, 4, 8, 16, 32, 64, 128};

// eta = 2: byte k holds coefficients 2k and 2k+1, each the difference of two
// 2-bit popcounts.
void cbd2(int16_t* p, const uint8_t* buf) {
  const uint8x16_t m55 = vdupq_n_u8(0x55), m3 = vdupq_n_u8(3);
  for (int c = 0; c < 8; ++c) {
    const uint8x16_t x = vld1q_u8(buf + 16 * c);
    const uint8x16_t d = vaddq_u8(vandq_u8(x, m55), vandq_u8(vshrq_n_u8(x, 1), m55));
    const int8x16_t lo = vsubq_s8(vreinterpretq_s8_u8(vandq_u8(d, m3)),
                                  vreinterpretq_s8_u8(vandq_u8(vshrq_n_u8(d, 2), m3)));
    const int8x16_t hi = vsubq_s8(vreinterpretq_s8_u8(vandq_u8(vshrq_n_u8(d, 4), m3)),
                                  vreinterpretq_s8_u8(vshrq_n_u8(d, 6)));
    const int8x16_t z0 = vzip1q_s8(lo, hi), z1 = vzip2q_s8(lo, hi);
    int16_t* o = p + 32 * c;
    vst1q_s16(o, vmovl_s8(vget_low_s8(z0)));
    vst1q_s16(o + 8, vmovl_high_s8(z0));
    vst1q_s16(o + 16, vmovl_s8(vget_low_s8(z1)));
    vst1q_s16(o + 24, vmovl_high_s8(z1));
  }
}

// eta = 3: each 3 bytes hold four coefficients from 6-bit fields; 12 bytes
// are spread over four 32-bit lanes and make 16 coefficients.
void cbd3(int16_t* p, const uint8_t* buf) {
  const uint8x16_t spread = vld1q_u8(kSpread);
  // The last group reads the 16 bytes ending at the end of the input.
  const uint8x16_t spread_last = vaddq_u8(spread, vdupq_n_u8(4));
  const uint32x4_t m249 = vdupq_n_u32(0x249249), m7 = vdupq_n_u32(7);
  for (int g = 0; g < 16; ++g) {
    const uint8x16_t x = g < 15 ? vqtbl1q_u8(vld1q_u8(buf + 12 * g), spread)
                                : vqtbl1q_u8(vld1q_u8(buf + 12 * g - 4), spread_last);
    const uint32x4_t t = vreinterpretq_u32_u8(x);
    const uint32x4_t d = vaddq_u32(vaddq_u32(vandq_u32(t, m249), vandq_u32(vshrq_n_u32(t, 1), m249)),
                                   vandq_u32(vshrq_n_u32(t, 2), m249));
    int16x4x4_t c;
    c.val[0] = vmovn_s32(vsubq_s32(vreinterpretq_s32_u32(vandq_u32(d, m7)),
                                   vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 3), m7))));
    c.val[1] = vmovn_s32(vsubq_s32(vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 6), m7)),
                                   vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 9), m7))));
    c.val[2] = vmovn_s32(vsubq_s32(vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 12), m7)),
                                   vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 15), m7))));
    c.val[3] = vmovn_s32(vsubq_s32(vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 18), m7)),
                                   vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(d, 21), m7))));
    vst4_s16(p + 16 * g, c);
  }
}

inline uint16x8_t mulhi_u16(uint16x8_t a, uint16x8_t b) {
  const uint32x4_t lo = vmull_u16(vget_low_u16(a), vget_low_u16(b));
  const uint32x4_t hi = vmull_high_u16(a, b);
  return vuzp2q_u16(vreinterpretq_u16_u32(lo), vreinterpretq_u16_u32(hi));
}

}  // namespace

bool cbd(Poly& p, const uint8_t* buf, int eta) {
  if (eta == 2) cbd2(p.c, buf);
  else cbd3(p.c, buf);
  return true;
}

// 12 bits: 24 bytes hold 16 coefficients, byte triples split by the
// structured loads and stores.  Other widths are portable.
void byte_encode(uint8_t* out, const int16_t* a, int d) {
  if (d != 12) return portable::byte_encode(out, a, d);
  const uint16x8_t m = vdupq_n_u16(0xFFF);
  for (int i = 0; i < kN; i += 16) {
    const uint16x8x2_t v = vld2q_u16(reinterpret_cast<const uint16_t*>(a + i));
    const uint16x8_t x = vandq_u16(v.val[0], m), y = vandq_u16(v.val[1], m);
    uint8x8x3_t b;
    b.val[0] = vmovn_u16(x);
    b.val[1] = vmovn_u16(vorrq_u16(vshrq_n_u16(x, 8), vshlq_n_u16(y, 4)));
    b.val[2] = vmovn_u16(vshrq_n_u16(y, 4));
    vst3_u8(out + 3 * (i / 2), b);
  }
}

void byte_decode(int16_t* a, const uint8_t* in, int d) {
  if (d != 12) return portable::byte_decode(a, in, d);
  const uint8x8_t m = vdup_n_u8(0x0F);
  for (int i = 0; i < kN; i += 16) {
    const uint8x8x3_t b = vld3_u8(in + 3 * (i / 2));
    uint16x8x2_t v;
    v.val[0] = vorrq_u16(vmovl_u8(b.val[0]), vshlq_n_u16(vmovl_u8(vand_u8(b.val[1], m)), 8));
    v.val[1] = vorrq_u16(vmovl_u8(vshr_n_u8(b.val[1], 4)), vshlq_n_u16(vmovl_u8(b.val[2]), 4));
    vst2q_u16(reinterpret_cast<uint16_t*>(a + i), v);
  }
}

// compress: an estimate y of round(2^d x / q) from x * 2^15 / q (a 16-bit
// high multiplication) is within one of the exact value; the remainder
// 2^d x + 1664 - y q, exact modulo 2^16 and in [-q, 2q), corrects it.
void poly_compress(Poly& poly, int d) {
  const int16x8_t s = vdupq_n_s16(int16_t(-(15 - d))), sd = vdupq_n_s16(int16_t(d));
  const uint16x8_t half = vdupq_n_u16(uint16_t(1 << (14 - d))), c = vdupq_n_u16(40318);
  const int16x8_t q = vdupq_n_s16(kQ), qm1 = vdupq_n_s16(kQ - 1), r0 = vdupq_n_s16(1664);
  const int16x8_t mask = vdupq_n_s16(int16_t((1 << d) - 1));
  for (int i = 0; i < kN; i += 8) {
    const int16x8_t x = vld1q_s16(poly.c + i);
    const uint16x8_t t = mulhi_u16(vshlq_n_u16(vreinterpretq_u16_s16(x), 4), c);
    int16x8_t y = vreinterpretq_s16_u16(vshlq_u16(vaddq_u16(t, half), s));
    const int16x8_t r = vsubq_s16(vaddq_s16(vshlq_s16(x, sd), r0), vmulq_s16(y, q));
    y = vsubq_s16(y, vreinterpretq_s16_u16(vcgtq_s16(r, qm1)));
    y = vaddq_s16(y, vreinterpretq_s16_u16(vcltq_s16(r, vdupq_n_s16(0))));
    vst1q_s16(poly.c + i, vandq_s16(y, mask));
  }
}

// decompress: the 23-bit product y q from its two 16-bit halves, then the
// quotient by 2^d rounded with ties to even.
void poly_decompress(Poly& poly, int d) {
  const int16x8_t sd = vdupq_n_s16(int16_t(-d)), su = vdupq_n_s16(int16_t(16 - d));
  const uint16x8_t q = vdupq_n_u16(uint16_t(kQ)), rmask = vdupq_n_u16(uint16_t((1 << d) - 1));
  const uint16x8_t half = vdupq_n_u16(uint16_t(1 << (d - 1))), one = vdupq_n_u16(1);
  for (int i = 0; i < kN; i += 8) {
    const uint16x8_t y = vreinterpretq_u16_s16(vld1q_s16(poly.c + i));
    const uint16x8_t lo = vmulq_u16(y, q), hi = mulhi_u16(y, q);
    const uint16x8_t k = vorrq_u16(vshlq_u16(hi, su), vshlq_u16(lo, sd));
    const uint16x8_t r = vandq_u16(lo, rmask);
    const uint16x8_t above = vcgtq_u16(r, half);
    const uint16x8_t tie = vandq_u16(vceqq_u16(r, half), vceqq_u16(vandq_u16(k, one), one));
    vst1q_s16(poly.c + i, vreinterpretq_s16_u16(vsubq_u16(vsubq_u16(k, above), tie)));
  }
}

// Bit i of the message, least significant first, to 1665 * bit.
void poly_frommsg(Poly& p, const uint8_t msg[32]) {
  const uint16x8_t bits = vld1q_u16(kBits);
  const uint16x8_t h = vdupq_n_u16((kQ + 1) / 2);
  for (int i = 0; i < kSymBytes; ++i) {
    const uint16x8_t x = vdupq_n_u16(msg[i]);
    const uint16x8_t m = vceqq_u16(vandq_u16(x, bits), bits);
    vst1q_s16(p.c + 8 * i, vreinterpretq_s16_u16(vandq_u16(m, h)));
  }
}

// Bit 1 exactly for 833 <= x <= 2496 (x in [0, q)); the masks of eight
// coefficients weighted by their bits and summed make a byte.
void poly_tomsg(uint8_t msg[32], const Poly& p) {
  const uint16x8_t bits = vld1q_u16(kBits);
  const int16x8_t lo = vdupq_n_s16(832), hi = vdupq_n_s16(2497);
  for (int i = 0; i < kSymBytes; ++i) {
    const int16x8_t x = vld1q_s16(p.c + 8 * i);
    const uint16x8_t m = vandq_u16(vcgtq_s16(x, lo), vcltq_s16(x, hi));
    msg[i] = uint8_t(vaddvq_u16(vandq_u16(m, bits)));
  }
}

}  // namespace neon
}  // namespace native
}  // namespace latkem
