// Internal: the Keccak-f[1600] rounds on one state, included by keccak.cpp
// and by keccak_avx2.cpp, each compiling its own copy with its own flags
// (hence the unnamed namespace).
#ifndef LATKEM_NATIVE_KECCAK_PERM_H
#define LATKEM_NATIVE_KECCAK_PERM_H

#include <cstdint>

namespace latkem {
namespace native {
namespace {

constexpr uint64_t kKeccakRC[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

inline uint64_t rotl64(uint64_t x, unsigned n) { return (x << n) | (x >> (64 - n)); }

// Each round is written out on local variables: theta, then rho and pi fused
// into b, then chi and iota.
inline void keccak_permute(uint64_t state[25]) {
  uint64_t a00 = state[0], a01 = state[1], a02 = state[2], a03 = state[3], a04 = state[4];
  uint64_t a05 = state[5], a06 = state[6], a07 = state[7], a08 = state[8], a09 = state[9];
  uint64_t a10 = state[10], a11 = state[11], a12 = state[12], a13 = state[13], a14 = state[14];
  uint64_t a15 = state[15], a16 = state[16], a17 = state[17], a18 = state[18], a19 = state[19];
  uint64_t a20 = state[20], a21 = state[21], a22 = state[22], a23 = state[23], a24 = state[24];
  for (int round = 0; round < 24; ++round) {
    const uint64_t c0 = a00 ^ a05 ^ a10 ^ a15 ^ a20;
    const uint64_t c1 = a01 ^ a06 ^ a11 ^ a16 ^ a21;
    const uint64_t c2 = a02 ^ a07 ^ a12 ^ a17 ^ a22;
    const uint64_t c3 = a03 ^ a08 ^ a13 ^ a18 ^ a23;
    const uint64_t c4 = a04 ^ a09 ^ a14 ^ a19 ^ a24;
    const uint64_t d0 = c4 ^ rotl64(c1, 1);
    const uint64_t d1 = c0 ^ rotl64(c2, 1);
    const uint64_t d2 = c1 ^ rotl64(c3, 1);
    const uint64_t d3 = c2 ^ rotl64(c4, 1);
    const uint64_t d4 = c3 ^ rotl64(c0, 1);
    const uint64_t b00 = (a00 ^ d0);
    const uint64_t b01 = rotl64(a06 ^ d1, 44);
    const uint64_t b02 = rotl64(a12 ^ d2, 43);
    const uint64_t b03 = rotl64(a18 ^ d3, 21);
    const uint64_t b04 = rotl64(a24 ^ d4, 14);
    const uint64_t b05 = rotl64(a03 ^ d3, 28);
    const uint64_t b06 = rotl64(a09 ^ d4, 20);
    const uint64_t b07 = rotl64(a10 ^ d0, 3);
    const uint64_t b08 = rotl64(a16 ^ d1, 45);
    const uint64_t b09 = rotl64(a22 ^ d2, 61);
    const uint64_t b10 = rotl64(a01 ^ d1, 1);
    const uint64_t b11 = rotl64(a07 ^ d2, 6);
    const uint64_t b12 = rotl64(a13 ^ d3, 25);
    const uint64_t b13 = rotl64(a19 ^ d4, 8);
    const uint64_t b14 = rotl64(a20 ^ d0, 18);
    const uint64_t b15 = rotl64(a04 ^ d4, 27);
    const uint64_t b16 = rotl64(a05 ^ d0, 36);
    const uint64_t b17 = rotl64(a11 ^ d1, 10);
    const uint64_t b18 = rotl64(a17 ^ d2, 15);
    const uint64_t b19 = rotl64(a23 ^ d3, 56);
    const uint64_t b20 = rotl64(a02 ^ d2, 62);
    const uint64_t b21 = rotl64(a08 ^ d3, 55);
    const uint64_t b22 = rotl64(a14 ^ d4, 39);
    const uint64_t b23 = rotl64(a15 ^ d0, 41);
    const uint64_t b24 = rotl64(a21 ^ d1, 2);
    a00 = b00 ^ (~b01 & b02);
    a01 = b01 ^ (~b02 & b03);
    a02 = b02 ^ (~b03 & b04);
    a03 = b03 ^ (~b04 & b00);
    a04 = b04 ^ (~b00 & b01);
    a05 = b05 ^ (~b06 & b07);
    a06 = b06 ^ (~b07 & b08);
    a07 = b07 ^ (~b08 & b09);
    a08 = b08 ^ (~b09 & b05);
    a09 = b09 ^ (~b05 & b06);
    a10 = b10 ^ (~b11 & b12);
    a11 = b11 ^ (~b12 & b13);
    a12 = b12 ^ (~b13 & b14);
    a13 = b13 ^ (~b14 & b10);
    a14 = b14 ^ (~b10 & b11);
    a15 = b15 ^ (~b16 & b17);
    a16 = b16 ^ (~b17 & b18);
    a17 = b17 ^ (~b18 & b19);
    a18 = b18 ^ (~b19 & b15);
    a19 = b19 ^ (~b15 & b16);
    a20 = b20 ^ (~b21 & b22);
    a21 = b21 ^ (~b22 & b23);
    a22 = b22 ^ (~b23 & b24);
    a23 = b23 ^ (~b24 & b20);
    a24 = b24 ^ (~b20 & b21);
    a00 ^= kKeccakRC[round];
  }
  state[0] = a00; state[1] = a01; state[2] = a02; state[3] = a03; state[4] = a04;
  state[5] = a05; state[6] = a06; state[7] = a07; state[8] = a08; state[9] = a09;
  state[10] = a10; state[11] = a11; state[12] = a12; state[13] = a13; state[14] = a14;
  state[15] = a15; state[16] = a16; state[17] = a17; state[18] = a18; state[19] = a19;
  state[20] = a20; state[21] = a21; state[22] = a22; state[23] = a23; state[24] = a24;
}

}  // namespace
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_KECCAK_PERM_H
