// Four Keccak-f[1600] permutations at once, one per 64-bit lane of the AVX2
// registers, and the sponge steps the samplers need on top of them.
#include "avx2.h"
#include "keccak_perm.h"

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

alignas(32) const uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

#define ROL(x, n) _mm256_or_si256(_mm256_slli_epi64((x), (n)), _mm256_srli_epi64((x), 64 - (n)))
// Rotations by whole bytes are a single byte shuffle.
#define ROL8(x) _mm256_shuffle_epi8((x), rot8)
#define ROL56(x) _mm256_shuffle_epi8((x), rot56)
#define XOR(a, b) _mm256_xor_si256((a), (b))
#define CHI(a, b, c) XOR((a), _mm256_andnot_si256((b), (c)))

}  // namespace

void keccak_f1600(uint64_t state[25]) { keccak_permute(state); }

void keccakx4_f1600(uint64_t s[100]) {
  const __m256i rot8 = _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14, 7, 0,
                                        1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14);
  const __m256i rot56 = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8, 1,
                                         2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8);
  __m256i* v = reinterpret_cast<__m256i*>(s);
  __m256i a00 = _mm256_loadu_si256(v + 0), a01 = _mm256_loadu_si256(v + 1),
          a02 = _mm256_loadu_si256(v + 2), a03 = _mm256_loadu_si256(v + 3),
          a04 = _mm256_loadu_si256(v + 4), a05 = _mm256_loadu_si256(v + 5),
          a06 = _mm256_loadu_si256(v + 6), a07 = _mm256_loadu_si256(v + 7),
          a08 = _mm256_loadu_si256(v + 8), a09 = _mm256_loadu_si256(v + 9),
          a10 = _mm256_loadu_si256(v + 10), a11 = _mm256_loadu_si256(v + 11),
          a12 = _mm256_loadu_si256(v + 12), a13 = _mm256_loadu_si256(v + 13),
          a14 = _mm256_loadu_si256(v + 14), a15 = _mm256_loadu_si256(v + 15),
          a16 = _mm256_loadu_si256(v + 16), a17 = _mm256_loadu_si256(v + 17),
          a18 = _mm256_loadu_si256(v + 18), a19 = _mm256_loadu_si256(v + 19),
          a20 = _mm256_loadu_si256(v + 20), a21 = _mm256_loadu_si256(v + 21),
          a22 = _mm256_loadu_si256(v + 22), a23 = _mm256_loadu_si256(v + 23),
          a24 = _mm256_loadu_si256(v + 24);
  for (int round = 0; round < 24; ++round) {
    const __m256i c0 = XOR(XOR(XOR(a00, a05), XOR(a10, a15)), a20);
    const __m256i c1 = XOR(XOR(XOR(a01, a06), XOR(a11, a16)), a21);
    const __m256i c2 = XOR(XOR(XOR(a02, a07), XOR(a12, a17)), a22);
    const __m256i c3 = XOR(XOR(XOR(a03, a08), XOR(a13, a18)), a23);
    const __m256i c4 = XOR(XOR(XOR(a04, a09), XOR(a14, a19)), a24);
    const __m256i d0 = XOR(c4, ROL(c1, 1));
    const __m256i d1 = XOR(c0, ROL(c2, 1));
    const __m256i d2 = XOR(c1, ROL(c3, 1));
    const __m256i d3 = XOR(c2, ROL(c4, 1));
    const __m256i d4 = XOR(c3, ROL(c0, 1));
    const __m256i b00 = XOR(a00, d0);
    const __m256i b01 = ROL(XOR(a06, d1), 44);
    const __m256i b02 = ROL(XOR(a12, d2), 43);
    const __m256i b03 = ROL(XOR(a18, d3), 21);
    const __m256i b04 = ROL(XOR(a24, d4), 14);
    const __m256i b05 = ROL(XOR(a03, d3), 28);
    const __m256i b06 = ROL(XOR(a09, d4), 20);
    const __m256i b07 = ROL(XOR(a10, d0), 3);
    const __m256i b08 = ROL(XOR(a16, d1), 45);
    const __m256i b09 = ROL(XOR(a22, d2), 61);
    const __m256i b10 = ROL(XOR(a01, d1), 1);
    const __m256i b11 = ROL(XOR(a07, d2), 6);
    const __m256i b12 = ROL(XOR(a13, d3), 25);
    const __m256i b13 = ROL8(XOR(a19, d4));
    const __m256i b14 = ROL(XOR(a20, d0), 18);
    const __m256i b15 = ROL(XOR(a04, d4), 27);
    const __m256i b16 = ROL(XOR(a05, d0), 36);
    const __m256i b17 = ROL(XOR(a11, d1), 10);
    const __m256i b18 = ROL(XOR(a17, d2), 15);
    const __m256i b19 = ROL56(XOR(a23, d3));
    const __m256i b20 = ROL(XOR(a02, d2), 62);
    const __m256i b21 = ROL(XOR(a08, d3), 55);
    const __m256i b22 = ROL(XOR(a14, d4), 39);
    const __m256i b23 = ROL(XOR(a15, d0), 41);
    const __m256i b24 = ROL(XOR(a21, d1), 2);
    a00 = XOR(CHI(b00, b01, b02), _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[round])));
    a01 = CHI(b01, b02, b03);
    a02 = CHI(b02, b03, b04);
    a03 = CHI(b03, b04, b00);
    a04 = CHI(b04, b00, b01);
    a05 = CHI(b05, b06, b07);
    a06 = CHI(b06, b07, b08);
    a07 = CHI(b07, b08, b09);
    a08 = CHI(b08, b09, b05);
    a09 = CHI(b09, b05, b06);
    a10 = CHI(b10, b11, b12);
    a11 = CHI(b11, b12, b13);
    a12 = CHI(b12, b13, b14);
    a13 = CHI(b13, b14, b10);
    a14 = CHI(b14, b10, b11);
    a15 = CHI(b15, b16, b17);
    a16 = CHI(b16, b17, b18);
    a17 = CHI(b17, b18, b19);
    a18 = CHI(b18, b19, b15);
    a19 = CHI(b19, b15, b16);
    a20 = CHI(b20, b21, b22);
    a21 = CHI(b21, b22, b23);
    a22 = CHI(b22, b23, b24);
    a23 = CHI(b23, b24, b20);
    a24 = CHI(b24, b20, b21);
  }
  _mm256_storeu_si256(v + 0, a00); _mm256_storeu_si256(v + 1, a01);
  _mm256_storeu_si256(v + 2, a02); _mm256_storeu_si256(v + 3, a03);
  _mm256_storeu_si256(v + 4, a04); _mm256_storeu_si256(v + 5, a05);
  _mm256_storeu_si256(v + 6, a06); _mm256_storeu_si256(v + 7, a07);
  _mm256_storeu_si256(v + 8, a08); _mm256_storeu_si256(v + 9, a09);
  _mm256_storeu_si256(v + 10, a10); _mm256_storeu_si256(v + 11, a11);
  _mm256_storeu_si256(v + 12, a12); _mm256_storeu_si256(v + 13, a13);
  _mm256_storeu_si256(v + 14, a14); _mm256_storeu_si256(v + 15, a15);
  _mm256_storeu_si256(v + 16, a16); _mm256_storeu_si256(v + 17, a17);
  _mm256_storeu_si256(v + 18, a18); _mm256_storeu_si256(v + 19, a19);
  _mm256_storeu_si256(v + 20, a20); _mm256_storeu_si256(v + 21, a21);
  _mm256_storeu_si256(v + 22, a22); _mm256_storeu_si256(v + 23, a23);
  _mm256_storeu_si256(v + 24, a24);
}

#undef ROL
#undef ROL8
#undef ROL56
#undef XOR
#undef CHI

namespace {

inline uint64_t load64(const uint8_t* p) {
  uint64_t r;
  std::memcpy(&r, p, 8);  // little-endian target
  return r;
}

// XOR byte b into position pos of state j.
inline void xor_byte(uint64_t* s, unsigned j, size_t pos, uint8_t b) {
  s[4 * (pos / 8) + j] ^= uint64_t(b) << (8 * (pos % 8));
}

}  // namespace

void keccakx4_absorb(uint64_t s[100], unsigned rate, const uint8_t* prefix, size_t plen,
                     const uint8_t* suffix, size_t sl, uint8_t pad) {
  std::memset(s, 0, 100 * sizeof(uint64_t));
  // Whole blocks of the shared prefix (long seeds only).
  while (plen >= rate) {
    for (unsigned w = 0; w < rate / 8; ++w) {
      const uint64_t x = load64(prefix + 8 * w);
      for (unsigned j = 0; j < 4; ++j) s[4 * w + j] ^= x;
    }
    keccakx4_f1600(s);
    prefix += rate;
    plen -= rate;
  }
  // The rest of the prefix a word at a time, then its tail and the suffixes.
  size_t pos = 0;
  for (; pos + 8 <= plen; pos += 8) {
    const uint64_t x = load64(prefix + pos);
    for (unsigned j = 0; j < 4; ++j) s[4 * (pos / 8) + j] ^= x;
  }
  for (; pos < plen; ++pos)
    for (unsigned j = 0; j < 4; ++j) xor_byte(s, j, pos, prefix[pos]);
  for (size_t k = 0; k < sl; ++k, ++pos) {
    if (pos == rate) {
      keccakx4_f1600(s);
      pos = 0;
    }
    for (unsigned j = 0; j < 4; ++j) xor_byte(s, j, pos, suffix[sl * j + k]);
  }
  if (pos == rate) {
    keccakx4_f1600(s);
    pos = 0;
  }
  for (unsigned j = 0; j < 4; ++j) {
    xor_byte(s, j, pos, pad);
    xor_byte(s, j, rate - 1, 0x80);
  }
}

void keccakx4_squeeze(uint64_t s[100], unsigned rate, uint8_t* const out[4], size_t nblocks) {
  for (size_t b = 0; b < nblocks; ++b) {
    keccakx4_f1600(s);
    for (unsigned j = 0; j < 4; ++j) {
      if (out[j] == nullptr) continue;
      uint8_t* o = out[j] + b * rate;
      for (unsigned w = 0; w < rate / 8; ++w) std::memcpy(o + 8 * w, &s[4 * w + j], 8);
    }
  }
}

}  // namespace avx2
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_X86
