// AVX2 versions of packing, compression, messages and hex, and of the
// constant-time compare and select.  Every function gives exactly the
// portable result.
#include "vec.h"

#include <immintrin.h>

#include <cstring>

namespace latkem {
namespace native {
namespace avx2 {

// ---------------------------------------------------------------------------
// Packing.  Eight coefficients of d bits make d bytes; each 128-bit half of a
// register packs its eight into its low d bytes, and the halves are stored
// with overlapping 16-byte stores into a buffer with room to spare.

void byte_encode(uint8_t* out, const int16_t* a, int d) {
  alignas(32) uint8_t buf[32 * 12 + 16];
  const __m256i mask = set16(int16_t((1 << d) - 1));
  const __m256i mul = _mm256_set1_epi32(int((1u << d) << 16 | 1u));
  const __m256i sh32 = _mm256_setr_epi32(32 - 2 * d, 0, 32 - 2 * d, 0, 32 - 2 * d, 0, 32 - 2 * d, 0);
  const __m256i shl64 = _mm256_setr_epi64x(0, 4 * d, 0, 4 * d);
  const __m256i shr64 = _mm256_setr_epi64x(64, 64 - 4 * d, 64, 64 - 4 * d);
  const __m256i low64 = _mm256_setr_epi64x(-1, 0, -1, 0);
  const __m128i c32 = _mm_cvtsi32_si128(32 - 2 * d);
  for (int v = 0; v < 16; ++v) {
    const __m256i x = _mm256_and_si256(load(a + 16 * v), mask);
    const __m256i dw = _mm256_madd_epi16(x, mul);                                // 2d bits per dword
    const __m256i qw = _mm256_srl_epi64(_mm256_sllv_epi32(dw, sh32), c32);      // 4d bits per qword
    const __m256i lo = _mm256_sllv_epi64(qw, shl64), hi = _mm256_srlv_epi64(qw, shr64);
    const __m256i r = _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(lo, low64), _mm256_bsrli_epi128(lo, 8)), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + 2 * d * v), _mm256_castsi256_si128(r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buf + 2 * d * v + d), _mm256_extracti128_si256(r, 1));
  }
  std::memcpy(out, buf, size_t(32) * d);
  secure_wipe(buf, size_t(32) * d + 16);  // a secret key, when encoding one
}

// Coefficient j of a group starts at bit j*d: its (up to 19) bits are
// gathered into a 32-bit lane, shifted down and masked; four lanes per
// gather, two gathers packed back to 16 bits.  Per d: the byte gathers for
// coefficients 0-3 (sa) and 4-7 (sb) of each half and their shifts.
namespace {

struct DecodeTable {
  alignas(32) uint8_t sa[32];
  alignas(32) uint8_t sb[32];
  alignas(32) int32_t ca[8];
  alignas(32) int32_t cb[8];
};

struct DecodeTables {
  DecodeTable t[13];
};

constexpr DecodeTables make_decode_tables() {
  DecodeTables r{};
  for (int d = 1; d <= 12; ++d)
    for (int h = 0; h < 2; ++h)
      for (int j = 0; j < 4; ++j) {
        const int ba = (j * d) / 8, bb = ((j + 4) * d) / 8;
        for (int k = 0; k < 4; ++k) {
          r.t[d].sa[16 * h + 4 * j + k] = uint8_t(ba + k);
          r.t[d].sb[16 * h + 4 * j + k] = uint8_t(bb + k);
        }
        r.t[d].ca[4 * h + j] = (j * d) % 8;
        r.t[d].cb[4 * h + j] = ((j + 4) * d) % 8;
      }
  return r;
}

constexpr DecodeTables kDecode = make_decode_tables();

}  // namespace

void byte_decode(int16_t* a, const uint8_t* in, int d) {
  alignas(32) uint8_t buf[32 * 12 + 16];
  std::memcpy(buf, in, size_t(32) * d);
  std::memset(buf + 32 * d, 0, 16);
  const DecodeTable& t = kDecode.t[d];
  const __m256i ma = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.sa));
  const __m256i mb = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.sb));
  const __m256i sha = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.ca));
  const __m256i shb = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.cb));
  const __m256i mask = _mm256_set1_epi32((1 << d) - 1);
  for (int v = 0; v < 16; ++v) {
    const __m256i x = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 2 * d * v))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 2 * d * v + d)), 1);
    const __m256i lo = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(x, ma), sha), mask);
    const __m256i hi = _mm256_and_si256(_mm256_srlv_epi32(_mm256_shuffle_epi8(x, mb), shb), mask);
    store(a + 16 * v, _mm256_packus_epi32(lo, hi));
  }
  secure_wipe(buf, size_t(32) * d + 16);  // a secret key, when decoding one
}

// ---------------------------------------------------------------------------
// Compression.
//
// compress: an estimate y of round(2^d x / q) from x * 2^15 / q (a 16-bit
// high multiplication) is within one of the exact value; the remainder
// 2^d x + 1664 - y q, exact modulo 2^16 and in [-q, 2q), corrects it.

void poly_compress(Poly& poly, int d) {
  int16_t* const p = poly.c;
  const __m128i s = _mm_cvtsi32_si128(15 - d), sd = _mm_cvtsi32_si128(d);
  const __m256i half = set16(int16_t(1 << (14 - d))), q = set16(kQ), qm1 = set16(kQ - 1);
  const __m256i mask = set16(int16_t((1 << d) - 1)), c = set16(int16_t(40318)), r0 = set16(1664);
  for (int i = 0; i < 16; ++i) {
    const __m256i x = load(p + 16 * i);
    const __m256i t = _mm256_mulhi_epu16(_mm256_slli_epi16(x, 4), c);
    __m256i y = _mm256_srl_epi16(_mm256_add_epi16(t, half), s);
    const __m256i r = _mm256_sub_epi16(_mm256_add_epi16(_mm256_sll_epi16(x, sd), r0), _mm256_mullo_epi16(y, q));
    y = _mm256_sub_epi16(y, _mm256_cmpgt_epi16(r, qm1));
    y = _mm256_add_epi16(y, _mm256_cmpgt_epi16(_mm256_setzero_si256(), r));
    store(p + 16 * i, _mm256_and_si256(y, mask));
  }
}

// decompress: the 23-bit product y*q from its two 16-bit halves, then the
// quotient by 2^d rounded with ties to even.
void poly_decompress(Poly& poly, int d) {
  int16_t* const p = poly.c;
  const __m128i sd = _mm_cvtsi32_si128(d), su = _mm_cvtsi32_si128(16 - d);
  const __m256i q = set16(kQ), rmask = set16(int16_t((1 << d) - 1)), half = set16(int16_t(1 << (d - 1)));
  const __m256i one = set16(1);
  for (int i = 0; i < 16; ++i) {
    const __m256i y = load(p + 16 * i);
    const __m256i lo = _mm256_mullo_epi16(y, q), hi = _mm256_mulhi_epu16(y, q);
    const __m256i k = _mm256_or_si256(_mm256_sll_epi16(hi, su), _mm256_srl_epi16(lo, sd));
    const __m256i r = _mm256_and_si256(lo, rmask);
    const __m256i above = _mm256_cmpgt_epi16(r, half);
    const __m256i tie = _mm256_and_si256(_mm256_cmpeq_epi16(r, half),
                                         _mm256_cmpeq_epi16(_mm256_and_si256(k, one), one));
    store(p + 16 * i, _mm256_sub_epi16(_mm256_sub_epi16(k, above), tie));
  }
}

void poly_frommsg(Poly& poly, const uint8_t msg[32]) {
  int16_t* const p = poly.c;
  const __m256i bits = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192,
                                         16384, -32768);
  const __m256i h = set16((kQ + 1) / 2);
  for (int i = 0; i < 16; ++i) {
    const __m256i x = set16(int16_t(msg[2 * i] | (msg[2 * i + 1] << 8)));
    const __m256i m = _mm256_cmpeq_epi16(_mm256_and_si256(x, bits), bits);
    store(p + 16 * i, _mm256_and_si256(m, h));
  }
}

// Bit 1 exactly for 833 <= x <= 2496.  The comparison masks of two registers
// are packed to bytes and gathered with a byte movemask (no bit-extract
// instruction on message data: its timing varies on some processors).
void poly_tomsg(uint8_t msg[32], const Poly& poly) {
  const int16_t* const p = poly.c;
  const __m256i lo = set16(832), hi = set16(2497);
  for (int i = 0; i < 8; ++i) {
    const __m256i x = load(p + 32 * i), y = load(p + 32 * i + 16);
    const __m256i mx = _mm256_and_si256(_mm256_cmpgt_epi16(x, lo), _mm256_cmpgt_epi16(hi, x));
    const __m256i my = _mm256_and_si256(_mm256_cmpgt_epi16(y, lo), _mm256_cmpgt_epi16(hi, y));
    const __m256i b = _mm256_permute4x64_epi64(_mm256_packs_epi16(mx, my), 0xD8);
    const uint32_t bits = static_cast<uint32_t>(_mm256_movemask_epi8(b));
    std::memcpy(msg + 4 * i, &bits, 4);
  }
}

// ---------------------------------------------------------------------------
// Hex and constant-time helpers.  As in the portable code, characters are
// classified with comparisons, never looked up.

namespace {

// core.h's value_barrier(), this file's own copy (see avx2.h).
inline uint32_t barrier(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  __asm__("" : "+r"(x));
  return x;
#else
  volatile uint32_t v = x;
  return v;
#endif
}

// All ones in the bytes with lo <= c <= hi (unsigned).
inline __m256i in_range(__m256i c, char lo, char hi) {
  const __m256i t = _mm256_sub_epi8(c, _mm256_set1_epi8(lo));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(t, _mm256_set1_epi8(char(hi - lo))), t);
}

}  // namespace

void hex_encode(char* out, const uint8_t* in, size_t len) {
  const __m256i m0f = _mm256_set1_epi8(0x0F), nine = _mm256_set1_epi8(9);
  const __m256i zero = _mm256_set1_epi8('0'), gap = _mm256_set1_epi8('a' - '0' - 10);
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), m0f), lo = _mm256_and_si256(x, m0f);
    __m256i a = _mm256_unpacklo_epi8(hi, lo), b = _mm256_unpackhi_epi8(hi, lo);
    a = _mm256_add_epi8(_mm256_add_epi8(a, zero), _mm256_and_si256(_mm256_cmpgt_epi8(a, nine), gap));
    b = _mm256_add_epi8(_mm256_add_epi8(b, zero), _mm256_and_si256(_mm256_cmpgt_epi8(b, nine), gap));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 32), _mm256_permute2x128_si256(a, b, 0x31));
  }
  for (; i < len; ++i) {
    for (int h = 0; h < 2; ++h) {
      const int32_t n = (h == 0) ? (in[i] >> 4) : (in[i] & 0x0F);
      out[2 * i + h] = char('0' + n + (((9 - n) >> 31) & ('a' - '0' - 10)));
    }
  }
}

bool hex_decode(uint8_t* out, const char* hex, size_t hexlen) {
  if (hexlen % 2 != 0) return false;
  const size_t len = hexlen / 2;
  __m256i bad = _mm256_setzero_si256();
  const __m256i x20 = _mm256_set1_epi8(0x20), c0 = _mm256_set1_epi8('0'),
                ca = _mm256_set1_epi8('a' - 10), weights = _mm256_set1_epi16(0x0110);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(hex + 2 * i));
    const __m256i lower = _mm256_or_si256(c, x20);
    const __m256i is_digit = in_range(c, '0', '9'), is_alpha = in_range(lower, 'a', 'f');
    const __m256i v = _mm256_or_si256(_mm256_and_si256(is_digit, _mm256_sub_epi8(c, c0)),
                                      _mm256_and_si256(is_alpha, _mm256_sub_epi8(lower, ca)));
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(_mm256_or_si256(is_digit, is_alpha), _mm256_set1_epi8(1)));
    // 16 * first + second in each 16-bit lane, then down to bytes.
    const __m256i w = _mm256_maddubs_epi16(v, weights);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(w, w), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_castsi256_si128(packed));
  }
  uint32_t bad_tail = 0;
  for (; i < len; ++i) {
    int32_t byte = 0;
    for (int h = 0; h < 2; ++h) {
      const int32_t c = static_cast<unsigned char>(hex[2 * i + h]);
      const int32_t lower = c | 0x20;
      const int32_t is_digit = ~(((c - '0') | ('9' - c)) >> 31);
      const int32_t is_alpha = ~(((lower - 'a') | ('f' - lower)) >> 31);
      const int32_t v = (is_digit & (c - '0')) | (is_alpha & (lower - 'a' + 10));
      bad_tail |= uint32_t(~(is_digit | is_alpha)) & 1u;
      byte = (byte << 4) | v;
    }
    out[i] = uint8_t(byte);
  }
  const uint32_t any = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256()))) ^ 0xFFFFFFFFu;
  return barrier(any | bad_tail) == 0;
}

uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len) {
  __m256i acc = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= len; i += 32)
    acc = _mm256_or_si256(acc, _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)),
                                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i))));
  uint32_t t = 0;
  for (; i < len; ++i) t |= uint32_t(a[i] ^ b[i]);
  // Nonzero bytes of acc become 0xFF under the comparison's complement.
  const uint32_t m = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(acc, _mm256_setzero_si256()))) ^ 0xFFFFFFFFu;
  const uint32_t all = barrier((m & 0xFFu) | (m >> 8) | t) & 0xFFFFFFu;
  return uint8_t((all - 1) >> 31);  // all < 2^24: only all == 0 wraps
}

void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a) {
  const uint8_t mask = uint8_t(-int32_t(barrier(take_a & 1u)));
  const __m256i vm = _mm256_set1_epi8(char(mask));
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_xor_si256(y, _mm256_and_si256(vm, _mm256_xor_si256(x, y))));
  }
  for (; i < len; ++i) out[i] = uint8_t(b[i] ^ (mask & (a[i] ^ b[i])));
}

}  // namespace avx2
}  // namespace native
}  // namespace latkem

