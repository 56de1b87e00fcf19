// Keccak-f[1600] permutation and the SHA-3 / SHAKE sponges (FIPS 202).
#include "core.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

constexpr uint64_t kRoundConstants[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

inline uint64_t rotl(uint64_t x, unsigned n) { return (x << n) | (x >> (64 - n)); }

inline uint64_t load64(const uint8_t* p) {
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | p[i];
  return r;
}

inline void store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

// Lane (x, y) lives in state[x + 5*y].  Each round is written out on local
// variables: theta, then rho and pi fused into b, then chi and iota.
void keccak_f1600(uint64_t state[25]) {
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
    const uint64_t d0 = c4 ^ rotl(c1, 1);
    const uint64_t d1 = c0 ^ rotl(c2, 1);
    const uint64_t d2 = c1 ^ rotl(c3, 1);
    const uint64_t d3 = c2 ^ rotl(c4, 1);
    const uint64_t d4 = c3 ^ rotl(c0, 1);
    const uint64_t b00 = (a00 ^ d0);
    const uint64_t b01 = rotl(a06 ^ d1, 44);
    const uint64_t b02 = rotl(a12 ^ d2, 43);
    const uint64_t b03 = rotl(a18 ^ d3, 21);
    const uint64_t b04 = rotl(a24 ^ d4, 14);
    const uint64_t b05 = rotl(a03 ^ d3, 28);
    const uint64_t b06 = rotl(a09 ^ d4, 20);
    const uint64_t b07 = rotl(a10 ^ d0, 3);
    const uint64_t b08 = rotl(a16 ^ d1, 45);
    const uint64_t b09 = rotl(a22 ^ d2, 61);
    const uint64_t b10 = rotl(a01 ^ d1, 1);
    const uint64_t b11 = rotl(a07 ^ d2, 6);
    const uint64_t b12 = rotl(a13 ^ d3, 25);
    const uint64_t b13 = rotl(a19 ^ d4, 8);
    const uint64_t b14 = rotl(a20 ^ d0, 18);
    const uint64_t b15 = rotl(a04 ^ d4, 27);
    const uint64_t b16 = rotl(a05 ^ d0, 36);
    const uint64_t b17 = rotl(a11 ^ d1, 10);
    const uint64_t b18 = rotl(a17 ^ d2, 15);
    const uint64_t b19 = rotl(a23 ^ d3, 56);
    const uint64_t b20 = rotl(a02 ^ d2, 62);
    const uint64_t b21 = rotl(a08 ^ d3, 55);
    const uint64_t b22 = rotl(a14 ^ d4, 39);
    const uint64_t b23 = rotl(a15 ^ d0, 41);
    const uint64_t b24 = rotl(a21 ^ d1, 2);
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
    a00 ^= kRoundConstants[round];
  }
  state[0] = a00; state[1] = a01; state[2] = a02; state[3] = a03; state[4] = a04;
  state[5] = a05; state[6] = a06; state[7] = a07; state[8] = a08; state[9] = a09;
  state[10] = a10; state[11] = a11; state[12] = a12; state[13] = a13; state[14] = a14;
  state[15] = a15; state[16] = a16; state[17] = a17; state[18] = a18; state[19] = a19;
  state[20] = a20; state[21] = a21; state[22] = a22; state[23] = a23; state[24] = a24;
}

Sponge::Sponge(unsigned rate_bytes, uint8_t domain_pad)
    : rate_(rate_bytes), pos_(0), pad_(domain_pad), squeezing_(false) {
  std::memset(s_, 0, sizeof s_);
}

void Sponge::absorb(const uint8_t* in, size_t len) {
  if (squeezing_) return;
  // Finish a partial block byte by byte.
  while (len > 0 && pos_ != 0) {
    s_[pos_ / 8] ^= uint64_t(*in++) << (8 * (pos_ % 8));
    --len;
    if (++pos_ == rate_) {
      keccak_f1600(s_);
      pos_ = 0;
    }
  }
  // Whole blocks a lane at a time.
  while (len >= rate_) {
    for (unsigned i = 0; i < rate_ / 8; ++i) s_[i] ^= load64(in + 8 * i);
    keccak_f1600(s_);
    in += rate_;
    len -= rate_;
  }
  for (size_t i = 0; i < len; ++i, ++pos_) s_[pos_ / 8] ^= uint64_t(in[i]) << (8 * (pos_ % 8));
}

void Sponge::finalize() {
  s_[pos_ / 8] ^= uint64_t(pad_) << (8 * (pos_ % 8));
  s_[(rate_ - 1) / 8] ^= uint64_t(0x80) << (8 * ((rate_ - 1) % 8));
  keccak_f1600(s_);
  pos_ = 0;
  squeezing_ = true;
}

void Sponge::squeeze(uint8_t* out, size_t len) {
  if (!squeezing_) finalize();
  while (len > 0) {
    if (pos_ == rate_) {
      keccak_f1600(s_);
      pos_ = 0;
    }
    if (pos_ == 0 && len >= rate_) {
      for (unsigned i = 0; i < rate_ / 8; ++i) store64(out + 8 * i, s_[i]);
      out += rate_;
      len -= rate_;
      pos_ = rate_;
      continue;
    }
    *out++ = uint8_t(s_[pos_ / 8] >> (8 * (pos_ % 8)));
    ++pos_;
    --len;
  }
}

void sha3_256(const uint8_t* in, size_t len, uint8_t out[32]) {
  Sponge s(136, 0x06);
  s.absorb(in, len);
  s.squeeze(out, 32);
}

void sha3_512(const uint8_t* in, size_t len, uint8_t out[64]) {
  Sponge s(72, 0x06);
  s.absorb(in, len);
  s.squeeze(out, 64);
}

void shake128(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen) {
  Shake128 s;
  s.absorb(in, inlen);
  s.squeeze(out, outlen);
}

void shake256(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen) {
  Shake256 s;
  s.absorb(in, inlen);
  s.squeeze(out, outlen);
}

}  // namespace native
}  // namespace latkem
