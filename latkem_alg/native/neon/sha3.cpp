// Two Keccak-f[1600] permutations at once, one per 64-bit lane of the NEON
// registers, with the SHA-3 instructions (EOR3, RAX1, XAR, BCAX) where the
// processor has them, and the sampling of a whole operation on top: matrix
// entries and noise polynomials two streams at a time.  Only these functions
// carry the SHA-3 target; dispatch.cpp checks the processor first.
#include "../portable/portable.h"
#include "neon.h"

#if defined(LATKEM_HAVE_NEON_SHA3)

#include <arm_neon.h>

#include <cstring>

#if defined(__clang__)
#define LATKEM_SHA3_TARGET __attribute__((target("sha3")))
#else
#define LATKEM_SHA3_TARGET __attribute__((target("arch=armv8.2-a+sha3")))
#endif

namespace latkem {
namespace native {
namespace neon {
namespace {

// rotl(a ^ d, n) for 0 < n < 64, and a ^ (~b & c).
#define ROLX(a, d, n) vxarq_u64((a), (d), 64 - (n))
#define CHI(a, b, c) vbcaxq_u64((a), (c), (b))

// One round from A00..A24 into E00..E24, in the order of the single-state
// code (keccak_perm.h): theta, then per output plane rho, pi, chi.
#define ROUND2(A, E, rc)                                                                  \
  {                                                                                       \
    const uint64x2_t c0 = veor3q_u64(veor3q_u64(A##00, A##05, A##10), A##15, A##20);      \
    const uint64x2_t c1 = veor3q_u64(veor3q_u64(A##01, A##06, A##11), A##16, A##21);      \
    const uint64x2_t c2 = veor3q_u64(veor3q_u64(A##02, A##07, A##12), A##17, A##22);      \
    const uint64x2_t c3 = veor3q_u64(veor3q_u64(A##03, A##08, A##13), A##18, A##23);      \
    const uint64x2_t c4 = veor3q_u64(veor3q_u64(A##04, A##09, A##14), A##19, A##24);      \
    const uint64x2_t d0 = vrax1q_u64(c4, c1), d1 = vrax1q_u64(c0, c2);                    \
    const uint64x2_t d2 = vrax1q_u64(c1, c3), d3 = vrax1q_u64(c2, c4);                    \
    const uint64x2_t d4 = vrax1q_u64(c3, c0);                                             \
    uint64x2_t b0, b1, b2, b3, b4;                                                        \
    b0 = veorq_u64(A##00, d0);                                                            \
    b1 = ROLX(A##06, d1, 44);                                                             \
    b2 = ROLX(A##12, d2, 43);                                                             \
    b3 = ROLX(A##18, d3, 21);                                                             \
    b4 = ROLX(A##24, d4, 14);                                                             \
    E##00 = veorq_u64(CHI(b0, b1, b2), vdupq_n_u64(rc));                                  \
    E##01 = CHI(b1, b2, b3);                                                              \
    E##02 = CHI(b2, b3, b4);                                                              \
    E##03 = CHI(b3, b4, b0);                                                              \
    E##04 = CHI(b4, b0, b1);                                                              \
    b0 = ROLX(A##03, d3, 28);                                                             \
    b1 = ROLX(A##09, d4, 20);                                                             \
    b2 = ROLX(A##10, d0, 3);                                                              \
    b3 = ROLX(A##16, d1, 45);                                                             \
    b4 = ROLX(A##22, d2, 61);                                                             \
    E##05 = CHI(b0, b1, b2);                                                              \
    E##06 = CHI(b1, b2, b3);                                                              \
    E##07 = CHI(b2, b3, b4);                                                              \
    E##08 = CHI(b3, b4, b0);                                                              \
    E##09 = CHI(b4, b0, b1);                                                              \
    b0 = ROLX(A##01, d1, 1);                                                              \
    b1 = ROLX(A##07, d2, 6);                                                              \
    b2 = ROLX(A##13, d3, 25);                                                             \
    b3 = ROLX(A##19, d4, 8);                                                              \
    b4 = ROLX(A##20, d0, 18);                                                             \
    E##10 = CHI(b0, b1, b2);                                                              \
    E##11 = CHI(b1, b2, b3);                                                              \
    E##12 = CHI(b2, b3, b4);                                                              \
    E##13 = CHI(b3, b4, b0);                                                              \
    E##14 = CHI(b4, b0, b1);                                                              \
    b0 = ROLX(A##04, d4, 27);                                                             \
    b1 = ROLX(A##05, d0, 36);                                                             \
    b2 = ROLX(A##11, d1, 10);                                                             \
    b3 = ROLX(A##17, d2, 15);                                                             \
    b4 = ROLX(A##23, d3, 56);                                                             \
    E##15 = CHI(b0, b1, b2);                                                              \
    E##16 = CHI(b1, b2, b3);                                                              \
    E##17 = CHI(b2, b3, b4);                                                              \
    E##18 = CHI(b3, b4, b0);                                                              \
    E##19 = CHI(b4, b0, b1);                                                              \
    b0 = ROLX(A##02, d2, 62);                                                             \
    b1 = ROLX(A##08, d3, 55);                                                             \
    b2 = ROLX(A##14, d4, 39);                                                             \
    b3 = ROLX(A##15, d0, 41);                                                             \
    b4 = ROLX(A##21, d1, 2);                                                              \
    E##20 = CHI(b0, b1, b2);                                                              \
    E##21 = CHI(b1, b2, b3);                                                              \
    E##22 = CHI(b2, b3, b4);                                                              \
    E##23 = CHI(b3, b4, b0);                                                              \
    E##24 = CHI(b4, b0, b1);                                                              \
  }

// Two states side by side: word w of state j is s[2*w + j].
LATKEM_SHA3_TARGET void keccakx2_f1600(uint64_t s[50]) {
  uint64x2_t a00 = vld1q_u64(s + 0), a01 = vld1q_u64(s + 2), a02 = vld1q_u64(s + 4),
             a03 = vld1q_u64(s + 6), a04 = vld1q_u64(s + 8), a05 = vld1q_u64(s + 10),
             a06 = vld1q_u64(s + 12), a07 = vld1q_u64(s + 14), a08 = vld1q_u64(s + 16),
             a09 = vld1q_u64(s + 18), a10 = vld1q_u64(s + 20), a11 = vld1q_u64(s + 22),
             a12 = vld1q_u64(s + 24), a13 = vld1q_u64(s + 26), a14 = vld1q_u64(s + 28),
             a15 = vld1q_u64(s + 30), a16 = vld1q_u64(s + 32), a17 = vld1q_u64(s + 34),
             a18 = vld1q_u64(s + 36), a19 = vld1q_u64(s + 38), a20 = vld1q_u64(s + 40),
             a21 = vld1q_u64(s + 42), a22 = vld1q_u64(s + 44), a23 = vld1q_u64(s + 46),
             a24 = vld1q_u64(s + 48);
  uint64x2_t e00, e01, e02, e03, e04, e05, e06, e07, e08, e09, e10, e11, e12;
  uint64x2_t e13, e14, e15, e16, e17, e18, e19, e20, e21, e22, e23, e24;
  for (int round = 0; round < 24; round += 2) {
    ROUND2(a, e, kKeccakRoundConstants[round])
    ROUND2(e, a, kKeccakRoundConstants[round + 1])
  }
  vst1q_u64(s + 0, a00); vst1q_u64(s + 2, a01); vst1q_u64(s + 4, a02); vst1q_u64(s + 6, a03);
  vst1q_u64(s + 8, a04); vst1q_u64(s + 10, a05); vst1q_u64(s + 12, a06); vst1q_u64(s + 14, a07);
  vst1q_u64(s + 16, a08); vst1q_u64(s + 18, a09); vst1q_u64(s + 20, a10); vst1q_u64(s + 22, a11);
  vst1q_u64(s + 24, a12); vst1q_u64(s + 26, a13); vst1q_u64(s + 28, a14); vst1q_u64(s + 30, a15);
  vst1q_u64(s + 32, a16); vst1q_u64(s + 34, a17); vst1q_u64(s + 36, a18); vst1q_u64(s + 38, a19);
  vst1q_u64(s + 40, a20); vst1q_u64(s + 42, a21); vst1q_u64(s + 44, a22); vst1q_u64(s + 46, a23);
  vst1q_u64(s + 48, a24);
}

#undef ROUND2
#undef ROLX
#undef CHI

// XOR byte b into position pos of state j.
inline void xor_byte(uint64_t* s, unsigned j, size_t pos, uint8_t b) {
  s[2 * (pos / 8) + j] ^= uint64_t(b) << (8 * (pos % 8));
}

// Starts two sponges of the given rate on prefix || suffix_j (suffix_j =
// suffix[sl*j, sl*j + sl)), padded with the SHAKE domain bits.  Output
// starts with the next squeeze2().
void absorb2(uint64_t s[50], unsigned rate, const uint8_t* prefix, size_t plen, const uint8_t* suffix,
             size_t sl) {
  std::memset(s, 0, 50 * sizeof(uint64_t));
  size_t pos = 0;
  for (size_t k = 0; k < plen; ++k) {
    for (unsigned j = 0; j < 2; ++j) xor_byte(s, j, pos, prefix[k]);
    if (++pos == rate) {
      keccakx2_f1600(s);
      pos = 0;
    }
  }
  for (size_t k = 0; k < sl; ++k) {
    for (unsigned j = 0; j < 2; ++j) xor_byte(s, j, pos, suffix[sl * j + k]);
    if (++pos == rate) {
      keccakx2_f1600(s);
      pos = 0;
    }
  }
  for (unsigned j = 0; j < 2; ++j) {
    xor_byte(s, j, pos, 0x1F);
    xor_byte(s, j, rate - 1, 0x80);
  }
}

// nblocks rate-sized blocks from each state into out[j].
void squeeze2(uint64_t s[50], unsigned rate, uint8_t* const out[2], size_t nblocks) {
  for (size_t b = 0; b < nblocks; ++b) {
    keccakx2_f1600(s);
    for (unsigned j = 0; j < 2; ++j)
      for (unsigned w = 0; w < rate / 8; ++w) std::memcpy(out[j] + b * rate + 8 * w, &s[2 * w + j], 8);
  }
}

}  // namespace

// Noise polynomials and matrix entries in pairs (an odd last one shares the
// permutation with a copy of itself).  A matrix entry gets its first three
// blocks here, which almost always suffice; otherwise it is sampled again by
// the portable code, which goes on to the 768-byte limit on the same stream
// (public data only).
bool sample_matrix_and_noise_sha3(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                                  const int* eta, int count, const uint8_t* seed, size_t seedlen) {
  uint64_t s[50];
  for (int k = 0; k < count; k += 2) {
    const int k1 = k + 1 < count ? k + 1 : k;
    const uint8_t nonces[2] = {uint8_t(k), uint8_t(k1)};
    absorb2(s, 136, seed, seedlen, nonces, 1);
    uint8_t buf[2][2 * 136];
    uint8_t* const out[2] = {buf[0], buf[1]};
    squeeze2(s, 136, out, (eta[k] == 3 || eta[k1] == 3) ? 2 : 1);
    portable::cbd(noise[k], buf[0], eta[k]);
    if (k1 != k) portable::cbd(noise[k1], buf[1], eta[k1]);
    secure_wipe(buf, sizeof buf);
  }
  secure_wipe(s, sizeof s);  // the noise streams' state
  const int n = kk * kk;
  for (int e = 0; e < n; e += 2) {
    const int pair[2] = {e, e + 1 < n ? e + 1 : e};
    uint8_t suffix[4], row[2], col[2];
    for (int j = 0; j < 2; ++j) {
      const int x = pair[j] / kk, y = pair[j] % kk;
      row[j] = uint8_t(transpose ? y : x);
      col[j] = uint8_t(transpose ? x : y);
      suffix[2 * j] = col[j];
      suffix[2 * j + 1] = row[j];
    }
    absorb2(s, 168, rho, 32, suffix, 2);
    uint8_t buf[2][3 * 168];
    uint8_t* const out[2] = {buf[0], buf[1]};
    squeeze2(s, 168, out, 3);
    for (int j = 0; j < 2; ++j) {
      Poly& p = m[pair[j]];
      if (portable::rej_uniform(p.c, 0, buf[j], sizeof buf[j]) < kN &&
          !portable::sample_matrix_entry(p, rho, row[j], col[j]))
        return false;
    }
  }
  return true;
}

}  // namespace neon
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_HAVE_NEON_SHA3
