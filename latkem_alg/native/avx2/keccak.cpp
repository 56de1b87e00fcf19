// Four Keccak-f[1600] permutations at once, one per 64-bit lane of the AVX2
// registers, and the sponge steps the samplers need on top of them.
#include "avx2.h"
#include "../keccak_perm.h"

#include <immintrin.h>

#include <cstring>

namespace latkem {
namespace native {
namespace avx2 {
namespace {

#define XOR(a, b) _mm256_xor_si256((a), (b))
#define ROL(x, n) _mm256_or_si256(_mm256_slli_epi64((x), (n)), _mm256_srli_epi64((x), 64 - (n)))
// Rotations by whole bytes are a single byte shuffle.
#define ROL8(x) _mm256_shuffle_epi8((x), rot8)
#define ROL56(x) _mm256_shuffle_epi8((x), rot56)
#define CHI(a, b, c) XOR((a), _mm256_andnot_si256((b), (c)))

// One round from A00..A24 into E00..E24, in the order of the single-state
// code (keccak_perm.h): theta, then per output plane rho, pi, chi.
#define ROUND4(A, E, rc)                                                                        \
  {                                                                                             \
    const __m256i c0 = XOR(XOR(XOR(A##00, A##05), XOR(A##10, A##15)), A##20);                  \
    const __m256i c1 = XOR(XOR(XOR(A##01, A##06), XOR(A##11, A##16)), A##21);                  \
    const __m256i c2 = XOR(XOR(XOR(A##02, A##07), XOR(A##12, A##17)), A##22);                  \
    const __m256i c3 = XOR(XOR(XOR(A##03, A##08), XOR(A##13, A##18)), A##23);                  \
    const __m256i c4 = XOR(XOR(XOR(A##04, A##09), XOR(A##14, A##19)), A##24);                  \
    const __m256i d0 = XOR(c4, ROL(c1, 1)), d1 = XOR(c0, ROL(c2, 1)), d2 = XOR(c1, ROL(c3, 1)); \
    const __m256i d3 = XOR(c2, ROL(c4, 1)), d4 = XOR(c3, ROL(c0, 1));                           \
    __m256i b0, b1, b2, b3, b4;                                                                 \
    b0 = XOR(A##00, d0);                                                                        \
    b1 = ROL(XOR(A##06, d1), 44);                                                               \
    b2 = ROL(XOR(A##12, d2), 43);                                                               \
    b3 = ROL(XOR(A##18, d3), 21);                                                               \
    b4 = ROL(XOR(A##24, d4), 14);                                                               \
    E##00 = XOR(CHI(b0, b1, b2), _mm256_set1_epi64x(static_cast<long long>(rc)));               \
    E##01 = CHI(b1, b2, b3);                                                                    \
    E##02 = CHI(b2, b3, b4);                                                                    \
    E##03 = CHI(b3, b4, b0);                                                                    \
    E##04 = CHI(b4, b0, b1);                                                                    \
    b0 = ROL(XOR(A##03, d3), 28);                                                               \
    b1 = ROL(XOR(A##09, d4), 20);                                                               \
    b2 = ROL(XOR(A##10, d0), 3);                                                                \
    b3 = ROL(XOR(A##16, d1), 45);                                                               \
    b4 = ROL(XOR(A##22, d2), 61);                                                               \
    E##05 = CHI(b0, b1, b2);                                                                    \
    E##06 = CHI(b1, b2, b3);                                                                    \
    E##07 = CHI(b2, b3, b4);                                                                    \
    E##08 = CHI(b3, b4, b0);                                                                    \
    E##09 = CHI(b4, b0, b1);                                                                    \
    b0 = ROL(XOR(A##01, d1), 1);                                                                \
    b1 = ROL(XOR(A##07, d2), 6);                                                                \
    b2 = ROL(XOR(A##13, d3), 25);                                                               \
    b3 = ROL8(XOR(A##19, d4));                                                                  \
    b4 = ROL(XOR(A##20, d0), 18);                                                               \
    E##10 = CHI(b0, b1, b2);                                                                    \
    E##11 = CHI(b1, b2, b3);                                                                    \
    E##12 = CHI(b2, b3, b4);                                                                    \
    E##13 = CHI(b3, b4, b0);                                                                    \
    E##14 = CHI(b4, b0, b1);                                                                    \
    b0 = ROL(XOR(A##04, d4), 27);                                                               \
    b1 = ROL(XOR(A##05, d0), 36);                                                               \
    b2 = ROL(XOR(A##11, d1), 10);                                                               \
    b3 = ROL(XOR(A##17, d2), 15);                                                               \
    b4 = ROL56(XOR(A##23, d3));                                                                 \
    E##15 = CHI(b0, b1, b2);                                                                    \
    E##16 = CHI(b1, b2, b3);                                                                    \
    E##17 = CHI(b2, b3, b4);                                                                    \
    E##18 = CHI(b3, b4, b0);                                                                    \
    E##19 = CHI(b4, b0, b1);                                                                    \
    b0 = ROL(XOR(A##02, d2), 62);                                                               \
    b1 = ROL(XOR(A##08, d3), 55);                                                               \
    b2 = ROL(XOR(A##14, d4), 39);                                                               \
    b3 = ROL(XOR(A##15, d0), 41);                                                               \
    b4 = ROL(XOR(A##21, d1), 2);                                                                \
    E##20 = CHI(b0, b1, b2);                                                                    \
    E##21 = CHI(b1, b2, b3);                                                                    \
    E##22 = CHI(b2, b3, b4);                                                                    \
    E##23 = CHI(b3, b4, b0);                                                                    \
    E##24 = CHI(b4, b0, b1);                                                                    \
  }

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
  __m256i e00, e01, e02, e03, e04, e05, e06, e07, e08, e09, e10, e11, e12;
  __m256i e13, e14, e15, e16, e17, e18, e19, e20, e21, e22, e23, e24;
  for (int round = 0; round < 24; round += 2) {
    ROUND4(a, e, kKeccakRoundConstants[round])
    ROUND4(e, a, kKeccakRoundConstants[round + 1])
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

#undef ROUND4
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

