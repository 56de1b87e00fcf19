// Internal: the vector helpers shared by the AVX2 files (loads and stores of
// 16 coefficients, Montgomery and Barrett reduction), which alone include it.
// Everything here has internal linkage: no copy is shared with portable code.
#ifndef LATKEM_NATIVE_AVX2_VEC_H
#define LATKEM_NATIVE_AVX2_VEC_H

#include <immintrin.h>

#include "avx2.h"

// Loop unrolling hint where the compiler takes one.
#if defined(__GNUC__) || defined(__clang__)
#define LATKEM_UNROLL8 _Pragma("GCC unroll 8")
#else
#define LATKEM_UNROLL8
#endif

namespace latkem {
namespace native {
namespace avx2 {
namespace {


constexpr int16_t kQInv = -3327;      // q^-1 mod 2^16
constexpr int16_t kMont2 = 1353;      // 2^32 mod q
constexpr int16_t kInvNttScale = 1441;
constexpr int16_t kBarrettV = 20159;  // round(2^26 / q)

constexpr int16_t mul16(int a, int b) { return int16_t(uint16_t(unsigned(a) * unsigned(b))); }

inline __m256i load(const int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(int16_t* p, __m256i x) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x); }
inline __m256i loadt(const int16_t (&t)[16]) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(t)); }
inline __m256i set16(int16_t x) { return _mm256_set1_epi16(x); }

// a * b * 2^-16 mod q, bq = b * q^-1 mod 2^16; the same value as fqmul().
inline __m256i fqmul(__m256i a, __m256i b, __m256i bq) {
  const __m256i t = _mm256_mullo_epi16(a, bq);
  return _mm256_sub_epi16(_mm256_mulhi_epi16(a, b), _mm256_mulhi_epi16(t, set16(kQ)));
}

inline __m256i fqmul(__m256i a, __m256i b) { return fqmul(a, b, _mm256_mullo_epi16(b, set16(kQInv))); }

// The same value as barrett_reduce(): (v*a + 2^25) >> 26 is computed as
// ((v*a >> 16) + 2^9) >> 10 with a rounding high multiplication by 2^5.
inline __m256i barrett(__m256i a) {
  __m256i t = _mm256_mulhi_epi16(a, set16(kBarrettV));
  t = _mm256_mulhrs_epi16(t, set16(32));
  return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, set16(kQ)));
}

inline __m256i freeze(__m256i a) {
  const __m256i r = barrett(a);
  return _mm256_add_epi16(r, _mm256_and_si256(_mm256_srai_epi16(r, 15), set16(kQ)));
}

}  // namespace
}  // namespace avx2
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_AVX2_VEC_H
