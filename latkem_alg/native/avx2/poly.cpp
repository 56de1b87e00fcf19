// AVX2 versions of the polynomial layer and the samplers (packing,
// compression, messages and hex are in pack.cpp).  Every function gives
// exactly the portable result; the NTT, its inverse and the base
// multiplication even agree before the final reductions, coefficient for
// coefficient.
//
// A polynomial is 16 registers of 16 coefficients, register v holding
// coefficients 16v .. 16v+15.  The three innermost NTT layers pair
// coefficients inside a register; for them two registers are regrouped with
// 128-bit, 64-bit and 32-bit interleaves (each its own inverse) so that every
// butterfly again pairs whole registers, and regrouped back afterwards.
#include "vec.h"

#include <immintrin.h>

#include <cstring>

namespace latkem {
namespace native {
namespace avx2 {
namespace {

// Per-register zeta tables for the three innermost layers of each register
// pair w (coefficients 32w .. 32w+31), in the regrouped lane order, and the
// base-multiplication factors in natural order.  Each comes with its product
// by q^-1 mod 2^16 for the Montgomery multiplication.
struct Tables {
  int16_t fwd8[8][16], fwd4[8][16], fwd2[8][16];
  int16_t inv8[8][16], inv4[8][16], inv2[8][16];
  int16_t fwd8q[8][16], fwd4q[8][16], fwd2q[8][16];
  int16_t inv8q[8][16], inv4q[8][16], inv2q[8][16];
  int16_t bm[16][16];  // odd lanes: +-gamma of the pair, even lanes unused (0)
};

constexpr Tables make_tables() {
  Tables t{};
  for (int w = 0; w < 8; ++w)
    for (int l = 0; l < 16; ++l) {
      t.fwd8[w][l] = kZetas[16 + 2 * w + l / 8];
      t.fwd4[w][l] = kZetas[32 + 4 * w + l / 4];
      t.fwd2[w][l] = kZetas[64 + 8 * w + l / 2];
      t.inv8[w][l] = kZetas[31 - 2 * w - l / 8];
      t.inv4[w][l] = kZetas[63 - 4 * w - l / 4];
      t.inv2[w][l] = kZetas[127 - 8 * w - l / 2];
      t.fwd8q[w][l] = mul16(t.fwd8[w][l], kQInv);
      t.fwd4q[w][l] = mul16(t.fwd4[w][l], kQInv);
      t.fwd2q[w][l] = mul16(t.fwd2[w][l], kQInv);
      t.inv8q[w][l] = mul16(t.inv8[w][l], kQInv);
      t.inv4q[w][l] = mul16(t.inv4[w][l], kQInv);
      t.inv2q[w][l] = mul16(t.inv2[w][l], kQInv);
    }
  for (int v = 0; v < 16; ++v)
    for (int l = 0; l < 16; ++l) {
      const int pair = l / 2;  // pair index within the register
      const int16_t g = kZetas[64 + 4 * v + pair / 2];
      t.bm[v][l] = (l % 2 == 0) ? int16_t(0) : (pair % 2 == 0 ? g : int16_t(-g));
    }
  return t;
}

alignas(32) constexpr Tables kT = make_tables();

// Shuffles for the matrix sampler: for each 8-bit acceptance mask, the byte
// indices that move the accepted 16-bit candidates to the front, in order.
struct RejTable {
  uint8_t idx[256][16];
};

constexpr RejTable make_rej_table() {
  RejTable t{};
  for (int m = 0; m < 256; ++m) {
    int n = 0;
    for (int b = 0; b < 8; ++b)
      if ((m >> b) & 1) {
        t.idx[m][2 * n] = uint8_t(2 * b);
        t.idx[m][2 * n + 1] = uint8_t(2 * b + 1);
        ++n;
      }
    for (; n < 8; ++n) t.idx[m][2 * n] = t.idx[m][2 * n + 1] = 0x80;
  }
  return t;
}

alignas(16) constexpr RejTable kRej = make_rej_table();

// Cooley-Tukey and Gentleman-Sande butterflies.
inline void ct(__m256i& lo, __m256i& hi, __m256i z, __m256i zq) {
  const __m256i t = fqmul(hi, z, zq);
  hi = _mm256_sub_epi16(lo, t);
  lo = _mm256_add_epi16(lo, t);
}

inline void gs(__m256i& lo, __m256i& hi, __m256i z, __m256i zq) {
  const __m256i t = lo;
  lo = barrett(_mm256_add_epi16(t, hi));
  hi = fqmul(_mm256_sub_epi16(hi, t), z, zq);
}

// The three regroupings; each maps (a, b) to its new pair and is its own
// inverse.
inline void swap128(__m256i& a, __m256i& b) {
  const __m256i x = _mm256_permute2x128_si256(a, b, 0x20);
  b = _mm256_permute2x128_si256(a, b, 0x31);
  a = x;
}

inline void swap64(__m256i& a, __m256i& b) {
  const __m256i x = _mm256_unpacklo_epi64(a, b);
  b = _mm256_unpackhi_epi64(a, b);
  a = x;
}

inline void swap32(__m256i& a, __m256i& b) {
  const __m256i x = _mm256_blend_epi32(a, _mm256_slli_epi64(b, 32), 0xAA);
  b = _mm256_blend_epi32(_mm256_srli_epi64(a, 32), b, 0xAA);
  a = x;
}

inline __m256i zeta(int k) { return set16(kZetas[k]); }
inline __m256i zetaq(int k) { return set16(mul16(kZetas[k], kQInv)); }

}  // namespace

// ---------------------------------------------------------------------------
// NTT.

// Two passes over memory, each keeping four registers' worth of work in
// registers: the two outer layers on registers i, i+4, i+8, i+12; then, per
// block of four consecutive registers, the remaining five layers.
void poly_ntt(Poly& poly) {
  int16_t* const p = poly.c;
  for (int i = 0; i < 4; ++i) {
    __m256i a = load(p + 16 * i), b = load(p + 16 * (i + 4));
    __m256i c = load(p + 16 * (i + 8)), d = load(p + 16 * (i + 12));
    ct(a, c, zeta(1), zetaq(1));
    ct(b, d, zeta(1), zetaq(1));
    ct(a, b, zeta(2), zetaq(2));
    ct(c, d, zeta(3), zetaq(3));
    store(p + 16 * i, a);
    store(p + 16 * (i + 4), b);
    store(p + 16 * (i + 8), c);
    store(p + 16 * (i + 12), d);
  }
  for (int blk = 0; blk < 4; ++blk) {
    int16_t* q = p + 64 * blk;
    __m256i r[4] = {load(q), load(q + 16), load(q + 32), load(q + 48)};
    ct(r[0], r[2], zeta(4 + blk), zetaq(4 + blk));
    ct(r[1], r[3], zeta(4 + blk), zetaq(4 + blk));
    ct(r[0], r[1], zeta(8 + 2 * blk), zetaq(8 + 2 * blk));
    ct(r[2], r[3], zeta(9 + 2 * blk), zetaq(9 + 2 * blk));
    // 8, 4 and 2 apart, inside each register pair.
    for (int h = 0; h < 2; ++h) {
      const int w = 2 * blk + h;
      __m256i a = r[2 * h], b = r[2 * h + 1];
      swap128(a, b);
      ct(a, b, loadt(kT.fwd8[w]), loadt(kT.fwd8q[w]));
      swap64(a, b);
      ct(a, b, loadt(kT.fwd4[w]), loadt(kT.fwd4q[w]));
      swap32(a, b);
      ct(a, b, loadt(kT.fwd2[w]), loadt(kT.fwd2q[w]));
      swap32(a, b);
      swap64(a, b);
      swap128(a, b);
      store(q + 32 * h, barrett(a));
      store(q + 32 * h + 16, barrett(b));
    }
  }
}

// The same passes in reverse order.
void poly_invntt_tomont(Poly& poly) {
  int16_t* const p = poly.c;
  for (int blk = 0; blk < 4; ++blk) {
    int16_t* q = p + 64 * blk;
    __m256i r[4];
    for (int h = 0; h < 2; ++h) {
      const int w = 2 * blk + h;
      __m256i a = load(q + 32 * h), b = load(q + 32 * h + 16);
      swap128(a, b);
      swap64(a, b);
      swap32(a, b);
      gs(a, b, loadt(kT.inv2[w]), loadt(kT.inv2q[w]));
      swap32(a, b);
      gs(a, b, loadt(kT.inv4[w]), loadt(kT.inv4q[w]));
      swap64(a, b);
      gs(a, b, loadt(kT.inv8[w]), loadt(kT.inv8q[w]));
      swap128(a, b);
      gs(a, b, zeta(15 - w), zetaq(15 - w));
      r[2 * h] = a;
      r[2 * h + 1] = b;
    }
    gs(r[0], r[2], zeta(7 - blk), zetaq(7 - blk));
    gs(r[1], r[3], zeta(7 - blk), zetaq(7 - blk));
    for (int k = 0; k < 4; ++k) store(q + 16 * k, r[k]);
  }
  const __m256i s = set16(kInvNttScale), sq = set16(mul16(kInvNttScale, kQInv));
  for (int i = 0; i < 4; ++i) {
    __m256i a = load(p + 16 * i), b = load(p + 16 * (i + 4));
    __m256i c = load(p + 16 * (i + 8)), d = load(p + 16 * (i + 12));
    gs(a, b, zeta(3), zetaq(3));
    gs(c, d, zeta(2), zetaq(2));
    gs(a, c, zeta(1), zetaq(1));
    gs(b, d, zeta(1), zetaq(1));
    store(p + 16 * i, fqmul(a, s, sq));
    store(p + 16 * (i + 4), fqmul(b, s, sq));
    store(p + 16 * (i + 8), fqmul(c, s, sq));
    store(p + 16 * (i + 12), fqmul(d, s, sq));
  }
}

// Base multiplication on pairs held in 32-bit lanes.  With f = fqmul(a1, b1),
// the even output a0*b0 + f*gamma and the odd output a0*b1 + a1*b0 are both
// one multiply-add of 16-bit pairs; the terms are summed in 32 bits over the
// rank and reduced once, exactly as the portable code does.
void polyvec_basemul_acc_montgomery(Poly& out, const Poly* a, const Poly* b, int kk) {
  int16_t* const r = out.c;
  if (kk < 1 || kk > 4) {
    std::memset(r, 0, kN * sizeof(int16_t));
    return;
  }
  const __m256i swap = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3,
                                        0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  const __m256i qinv = set16(kQInv), q = set16(kQ);
  for (int v = 0; v < 16; ++v) {
    const __m256i g = loadt(kT.bm[v]);
    __m256i c0 = _mm256_setzero_si256(), c1 = _mm256_setzero_si256();
    for (int m = 0; m < kk; ++m) {
      const __m256i x = load(a[m].c + 16 * v), y = load(b[m].c + 16 * v);
      const __m256i f = fqmul(x, y);
      c0 = _mm256_add_epi32(c0, _mm256_madd_epi16(_mm256_blend_epi16(x, f, 0xAA),
                                                   _mm256_blend_epi16(y, g, 0xAA)));
      c1 = _mm256_add_epi32(c1, _mm256_madd_epi16(x, _mm256_shuffle_epi8(y, swap)));
    }
    // Montgomery reduction of each 32-bit lane H*2^16 + L: H - hi(lo(L*qinv)*q).
    const __m256i m0 = _mm256_mulhi_epi16(_mm256_mullo_epi16(c0, qinv), q);
    const __m256i m1 = _mm256_mulhi_epi16(_mm256_mullo_epi16(c1, qinv), q);
    const __m256i r0 = _mm256_sub_epi16(c0, _mm256_slli_epi32(m0, 16));
    const __m256i r1 = _mm256_sub_epi16(c1, _mm256_slli_epi32(m1, 16));
    store(r + 16 * v, _mm256_blend_epi16(_mm256_srli_epi32(r0, 16), r1, 0xAA));
  }
}

void poly_tomont(Poly& poly) {
  int16_t* const p = poly.c;
  const __m256i m = set16(kMont2), mq = set16(mul16(kMont2, kQInv));
  for (int i = 0; i < 16; ++i) store(p + 16 * i, fqmul(load(p + 16 * i), m, mq));
}

void poly_reduce(Poly& poly) {
  int16_t* const p = poly.c;
  for (int i = 0; i < 16; ++i) store(p + 16 * i, barrett(load(p + 16 * i)));
}

void poly_freeze(Poly& poly) {
  int16_t* const p = poly.c;
  for (int i = 0; i < 16; ++i) store(p + 16 * i, freeze(load(p + 16 * i)));
}

void poly_add(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < 16; ++i) store(r.c + 16 * i, _mm256_add_epi16(load(a.c + 16 * i), load(b.c + 16 * i)));
}

void poly_sub(Poly& r, const Poly& a, const Poly& b) {
  for (int i = 0; i < 16; ++i) store(r.c + 16 * i, _mm256_sub_epi16(load(a.c + 16 * i), load(b.c + 16 * i)));
}

// ---------------------------------------------------------------------------
// Sampling.

namespace {

// eta = 2: each byte holds two coefficients, each the difference of two
// 2-bit popcounts; 32 bytes make 64 coefficients.
inline void cbd2_chunk(int16_t* o, __m256i x) {
  const __m256i m55 = _mm256_set1_epi8(0x55), m3 = _mm256_set1_epi8(3);
  const __m256i d = _mm256_add_epi8(_mm256_and_si256(x, m55), _mm256_and_si256(_mm256_srli_epi16(x, 1), m55));
  const __m256i lo = _mm256_sub_epi8(_mm256_and_si256(d, m3), _mm256_and_si256(_mm256_srli_epi16(d, 2), m3));
  const __m256i hi = _mm256_sub_epi8(_mm256_and_si256(_mm256_srli_epi16(d, 4), m3),
                                     _mm256_and_si256(_mm256_srli_epi16(d, 6), m3));
  const __m256i e0 = _mm256_unpacklo_epi8(lo, hi), e1 = _mm256_unpackhi_epi8(lo, hi);
  store(o, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(e0)));
  store(o + 16, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(e1)));
  store(o + 32, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(e0, 1)));
  store(o + 48, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(e1, 1)));
}

// eta = 3: each 3 bytes hold four coefficients from 6-bit fields; 24 bytes,
// given as 64-bit words (w0, w1, w1, w2), make 32 coefficients.
inline void cbd3_chunk(int16_t* o, __m256i x) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 4, 5,
                                          6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
  const __m256i m249 = _mm256_set1_epi32(0x249249), m3f = _mm256_set1_epi32(0x3F),
                m3f16 = _mm256_set1_epi32(0x3F0000), m7 = set16(7);
  x = _mm256_shuffle_epi8(x, spread);
  const __m256i d = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_and_si256(x, m249), _mm256_and_si256(_mm256_srli_epi32(x, 1), m249)),
      _mm256_and_si256(_mm256_srli_epi32(x, 2), m249));
  // Fields 0 and 1 into the two halves of e, fields 2 and 3 into f.
  const __m256i e = _mm256_or_si256(_mm256_and_si256(d, m3f), _mm256_and_si256(_mm256_slli_epi32(d, 10), m3f16));
  const __m256i f = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(d, 12), m3f),
                                    _mm256_and_si256(_mm256_srli_epi32(d, 2), m3f16));
  const __m256i ce = _mm256_sub_epi16(_mm256_and_si256(e, m7), _mm256_and_si256(_mm256_srli_epi16(e, 3), m7));
  const __m256i cf = _mm256_sub_epi16(_mm256_and_si256(f, m7), _mm256_and_si256(_mm256_srli_epi16(f, 3), m7));
  const __m256i lo = _mm256_unpacklo_epi32(ce, cf), hi = _mm256_unpackhi_epi32(ce, cf);
  store(o, _mm256_permute2x128_si256(lo, hi, 0x20));
  store(o + 16, _mm256_permute2x128_si256(lo, hi, 0x31));
}

// (*a, *b, *c, *d) from 64-bit loads.  Written out because the compiler
// builds a set of four words on the stack and reloads it whole, which stalls
// on the four fresh stores.
inline __m256i words(const uint64_t* a, const uint64_t* b, const uint64_t* c, const uint64_t* d) {
  const __m128i lo = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
  const __m128i hi = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c)),
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(d)));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

}  // namespace

bool cbd(Poly& poly, const uint8_t* buf, int eta) {
  int16_t* const p = poly.c;
  if (eta == 2) {
    for (int c = 0; c < 4; ++c)
      cbd2_chunk(p + 64 * c, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + 32 * c)));
    return true;
  }
  // The last group's 32-byte load would run 8 bytes past the input.
  for (int g = 0; g < 7; ++g) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + 24 * g));
    cbd3_chunk(p + 32 * g, _mm256_permute4x64_epi64(x, 0x94));
  }
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + 160));
  cbd3_chunk(p + 224, _mm256_permute4x64_epi64(x, 0xE9));
  return true;
}

void cbd_words(int16_t* p, const uint64_t* w, size_t stride, int eta) {
  const size_t t = stride;
  if (eta == 2) {
    for (size_t c = 0; c < 4; ++c) {
      const uint64_t* x = w + 4 * c * t;
      cbd2_chunk(p + 64 * c, words(x, x + t, x + 2 * t, x + 3 * t));
    }
    return;
  }
  for (size_t g = 0; g < 8; ++g) {
    const uint64_t* x = w + 3 * g * t;
    cbd3_chunk(p + 32 * g, words(x, x + t, x + t, x + 2 * t));
  }
}

namespace {

// The 16 candidates from 24 bytes, given as 64-bit words (w0, w1, w1, w2),
// and the mask of the accepted ones.
inline __m256i rej_candidates(__m256i x, unsigned& mask) {
  const __m256i spread = _mm256_setr_epi8(0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11, 4, 5,
                                          5, 6, 7, 8, 8, 9, 10, 11, 11, 12, 13, 14, 14, 15);
  x = _mm256_shuffle_epi8(x, spread);
  const __m256i v = _mm256_blend_epi16(_mm256_and_si256(x, set16(0xFFF)), _mm256_srli_epi16(x, 4), 0xAA);
  const __m256i good = _mm256_cmpgt_epi16(set16(kQ), v);
  mask = _pext_u32(static_cast<unsigned>(_mm256_movemask_epi8(good)), 0x55555555u);
  return v;
}

// The same from the 24 bytes at buf (32 bytes readable).
inline __m256i rej_candidates(const uint8_t* buf, unsigned& mask) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf));
  return rej_candidates(_mm256_permute4x64_epi64(x, 0x94), mask);
}

// Appends the accepted candidates at p + ctr (room for 16 needed).
inline int rej_store(int16_t* p, int ctr, __m256i v, unsigned mask) {
  const unsigned m0 = mask & 0xFF, m1 = mask >> 8;
  const __m128i lo = _mm_shuffle_epi8(_mm256_castsi256_si128(v),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(kRej.idx[m0])));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + ctr), lo);
  ctr += _mm_popcnt_u32(m0);
  const __m128i hi = _mm_shuffle_epi8(_mm256_extracti128_si256(v, 1),
                                      _mm_load_si128(reinterpret_cast<const __m128i*>(kRej.idx[m1])));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p + ctr), hi);
  return ctr + _mm_popcnt_u32(m1);
}

int rej_scalar(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  for (size_t pos = 0; ctr < kN && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    if (d1 < kQ) p[ctr++] = int16_t(d1);
    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);
  }
  return ctr;
}

// As rej_store(), for any count: near the end the candidates go through a
// scratch buffer and only those that still fit are kept.
inline int rej_store_bounded(int16_t* p, int ctr, __m256i v, unsigned mask) {
  if (ctr <= kN - 16) return rej_store(p, ctr, v, mask);
  int16_t tmp[16];
  const int n = rej_store(tmp, 0, v, mask);
  const int room = kN - ctr;
  const int m = n < room ? n : room;
  std::memcpy(p + ctr, tmp, sizeof(int16_t) * size_t(m));
  return ctr + m;
}

// As rej_uniform(), but with `slack` readable bytes after buf + len.  The
// candidates of up to eight groups are prepared before any of them is
// stored: a store's address depends on the count so far, and loads queued
// behind such stores would otherwise wait for the whole chain.
int rej_core(int16_t* p, int ctr, const uint8_t* buf, size_t len, size_t slack) {
  size_t pos = 0;
  while (ctr <= kN - 16) {
    int groups = 0;
    while (groups < 8 && pos + 24 * (groups + 1) <= len && pos + 24 * groups + 32 <= len + slack) ++groups;
    if (groups == 0) break;
    __m256i v[8];
    unsigned mask[8];
    for (int g = 0; g < groups; ++g) v[g] = rej_candidates(buf + pos + 24 * g, mask[g]);
    int g = 0;
    for (; g < groups && ctr <= kN - 16; ++g) ctr = rej_store(p, ctr, v[g], mask[g]);
    pos += size_t(24) * g;
  }
  if (ctr >= kN) return ctr;
  return rej_scalar(p, ctr, buf + pos, len - pos);
}

}  // namespace

int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  return rej_core(p, ctr, buf, len, 0);
}

// Each 24-byte group is three whole 64-bit words of the lane.
namespace {

// NG groups of 24 bytes from the lane, with the candidates and masks of all
// groups in registers before the first store (a constant trip count lets the
// loops unroll; arrays in memory would be reloaded behind the stores).
template <int NG>
inline int rej_groups(int16_t* p, int ctr, const uint64_t* s, unsigned lane) {
  __m256i v[NG];
  unsigned mask[NG];
LATKEM_UNROLL8
  for (int k = 0; k < NG; ++k) {
    const uint64_t* w = s + 4 * 3 * k + lane;
    v[k] = rej_candidates(words(w, w + 4, w + 4, w + 8), mask[k]);
  }
LATKEM_UNROLL8
  for (int k = 0; k < NG; ++k) ctr = rej_store_bounded(p, ctr, v[k], mask[k]);
  return ctr;
}

}  // namespace

int rej_lane(int16_t* p, int ctr, const uint64_t* s, unsigned lane, size_t take) {
  if (take == 168) return rej_groups<7>(p, ctr, s, lane);  // a whole block
  if (take == 96) return rej_groups<4>(p, ctr, s, lane);   // the last 96 of 768 bytes
  for (size_t g = 0; g + 24 <= take && ctr < kN; g += 24) ctr = rej_groups<1>(p, ctr, s + 4 * (g / 8), lane);
  return ctr;
}

// Same stream as the portable sampler: 504 bytes (three blocks) almost always
// suffice; otherwise the stream is squeezed again to its 768-byte limit.
bool sample_matrix_entry(Poly& poly, const uint8_t rho[32], uint8_t i, uint8_t j) {
  int16_t* const p = poly.c;
  uint8_t ext[kSymBytes + 2];
  std::memcpy(ext, rho, kSymBytes);
  ext[kSymBytes] = j;
  ext[kSymBytes + 1] = i;
  alignas(32) uint8_t buf[768 + 8];
  std::memset(buf + 768, 0, 8);
  shake128(ext, sizeof ext, buf, 504);
  int ctr = rej_core(p, 0, buf, 504, 8);
  if (ctr < kN) {
    shake128(ext, sizeof ext, buf, 768);
    ctr = rej_core(p, ctr, buf + 504, 768 - 504, 8);
  }
  return ctr == kN;
}

}  // namespace avx2
}  // namespace native
}  // namespace latkem
