// Internal: the Keccak-f[1600] rounds on one state, included by the backends'
// keccak.cpp, each compiling its own copy with its own flags (hence the
// unnamed namespace).
#ifndef LATKEM_NATIVE_KECCAK_PERM_H
#define LATKEM_NATIVE_KECCAK_PERM_H

#include <cstdint>

#include "backend.h"

namespace latkem {
namespace native {
namespace {

inline uint64_t rotl64(uint64_t x, unsigned n) { return (x << n) | (x >> ((64 - n) & 63)); }

// One round from the state in variables A00..A24 into E00..E24: theta, then
// for each output plane rho and pi into b0..b4 followed at once by chi (and
// iota on lane 0), which keeps few values live at a time.
#define LATKEM_KECCAK_ROUND(A, E, rc)                                                       \
  {                                                                                         \
    const uint64_t c0 = A##00 ^ A##05 ^ A##10 ^ A##15 ^ A##20;                              \
    const uint64_t c1 = A##01 ^ A##06 ^ A##11 ^ A##16 ^ A##21;                              \
    const uint64_t c2 = A##02 ^ A##07 ^ A##12 ^ A##17 ^ A##22;                              \
    const uint64_t c3 = A##03 ^ A##08 ^ A##13 ^ A##18 ^ A##23;                              \
    const uint64_t c4 = A##04 ^ A##09 ^ A##14 ^ A##19 ^ A##24;                              \
    const uint64_t d0 = c4 ^ rotl64(c1, 1), d1 = c0 ^ rotl64(c2, 1), d2 = c1 ^ rotl64(c3, 1); \
    const uint64_t d3 = c2 ^ rotl64(c4, 1), d4 = c3 ^ rotl64(c0, 1);                        \
    uint64_t b0, b1, b2, b3, b4;                                                            \
    b0 = A##00 ^ d0;                                                                        \
    b1 = rotl64(A##06 ^ d1, 44);                                                            \
    b2 = rotl64(A##12 ^ d2, 43);                                                            \
    b3 = rotl64(A##18 ^ d3, 21);                                                            \
    b4 = rotl64(A##24 ^ d4, 14);                                                            \
    E##00 = b0 ^ (~b1 & b2) ^ (rc);                                                         \
    E##01 = b1 ^ (~b2 & b3);                                                                \
    E##02 = b2 ^ (~b3 & b4);                                                                \
    E##03 = b3 ^ (~b4 & b0);                                                                \
    E##04 = b4 ^ (~b0 & b1);                                                                \
    b0 = rotl64(A##03 ^ d3, 28);                                                            \
    b1 = rotl64(A##09 ^ d4, 20);                                                            \
    b2 = rotl64(A##10 ^ d0, 3);                                                             \
    b3 = rotl64(A##16 ^ d1, 45);                                                            \
    b4 = rotl64(A##22 ^ d2, 61);                                                            \
    E##05 = b0 ^ (~b1 & b2);                                                                \
    E##06 = b1 ^ (~b2 & b3);                                                                \
    E##07 = b2 ^ (~b3 & b4);                                                                \
    E##08 = b3 ^ (~b4 & b0);                                                                \
    E##09 = b4 ^ (~b0 & b1);                                                                \
    b0 = rotl64(A##01 ^ d1, 1);                                                             \
    b1 = rotl64(A##07 ^ d2, 6);                                                             \
    b2 = rotl64(A##13 ^ d3, 25);                                                            \
    b3 = rotl64(A##19 ^ d4, 8);                                                             \
    b4 = rotl64(A##20 ^ d0, 18);                                                            \
    E##10 = b0 ^ (~b1 & b2);                                                                \
    E##11 = b1 ^ (~b2 & b3);                                                                \
    E##12 = b2 ^ (~b3 & b4);                                                                \
    E##13 = b3 ^ (~b4 & b0);                                                                \
    E##14 = b4 ^ (~b0 & b1);                                                                \
    b0 = rotl64(A##04 ^ d4, 27);                                                            \
    b1 = rotl64(A##05 ^ d0, 36);                                                            \
    b2 = rotl64(A##11 ^ d1, 10);                                                            \
    b3 = rotl64(A##17 ^ d2, 15);                                                            \
    b4 = rotl64(A##23 ^ d3, 56);                                                            \
    E##15 = b0 ^ (~b1 & b2);                                                                \
    E##16 = b1 ^ (~b2 & b3);                                                                \
    E##17 = b2 ^ (~b3 & b4);                                                                \
    E##18 = b3 ^ (~b4 & b0);                                                                \
    E##19 = b4 ^ (~b0 & b1);                                                                \
    b0 = rotl64(A##02 ^ d2, 62);                                                            \
    b1 = rotl64(A##08 ^ d3, 55);                                                            \
    b2 = rotl64(A##14 ^ d4, 39);                                                            \
    b3 = rotl64(A##15 ^ d0, 41);                                                            \
    b4 = rotl64(A##21 ^ d1, 2);                                                             \
    E##20 = b0 ^ (~b1 & b2);                                                                \
    E##21 = b1 ^ (~b2 & b3);                                                                \
    E##22 = b2 ^ (~b3 & b4);                                                                \
    E##23 = b3 ^ (~b4 & b0);                                                                \
    E##24 = b4 ^ (~b0 & b1);                                                                \
  }

// Lane (x, y) lives in state[x + 5*y].  Two rounds per iteration, from the
// a variables into the e variables and back.
inline void keccak_permute(uint64_t state[25]) {
  uint64_t a00 = state[0], a01 = state[1], a02 = state[2], a03 = state[3], a04 = state[4];
  uint64_t a05 = state[5], a06 = state[6], a07 = state[7], a08 = state[8], a09 = state[9];
  uint64_t a10 = state[10], a11 = state[11], a12 = state[12], a13 = state[13], a14 = state[14];
  uint64_t a15 = state[15], a16 = state[16], a17 = state[17], a18 = state[18], a19 = state[19];
  uint64_t a20 = state[20], a21 = state[21], a22 = state[22], a23 = state[23], a24 = state[24];
  uint64_t e00, e01, e02, e03, e04, e05, e06, e07, e08, e09, e10, e11, e12;
  uint64_t e13, e14, e15, e16, e17, e18, e19, e20, e21, e22, e23, e24;
  for (int round = 0; round < 24; round += 2) {
    LATKEM_KECCAK_ROUND(a, e, kKeccakRoundConstants[round])
    LATKEM_KECCAK_ROUND(e, a, kKeccakRoundConstants[round + 1])
  }
  state[0] = a00; state[1] = a01; state[2] = a02; state[3] = a03; state[4] = a04;
  state[5] = a05; state[6] = a06; state[7] = a07; state[8] = a08; state[9] = a09;
  state[10] = a10; state[11] = a11; state[12] = a12; state[13] = a13; state[14] = a14;
  state[15] = a15; state[16] = a16; state[17] = a17; state[18] = a18; state[19] = a19;
  state[20] = a20; state[21] = a21; state[22] = a22; state[23] = a23; state[24] = a24;
}

#undef LATKEM_KECCAK_ROUND

}  // namespace
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_KECCAK_PERM_H
