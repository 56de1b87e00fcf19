// Keccak-f[1600] permutation and the SHA-3 / SHAKE sponges (FIPS 202).
#include "backend.h"
#include "core.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

// Little-endian words; a plain copy where that is the machine's order (the
// byte loops are not always recognised as one load).
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline uint64_t load64(const uint8_t* p) {
  uint64_t r;
  std::memcpy(&r, p, 8);
  return r;
}

inline void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
#else
inline uint64_t load64(const uint8_t* p) {
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | p[i];
  return r;
}

inline void store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
#endif

}  // namespace

// Lane (x, y) lives in state[x + 5*y].  The permutation is the backend's
// (the rounds are in keccak_perm.h, compiled by each backend with its flags).
void keccak_f1600(uint64_t state[25]) { backend().keccak_f1600(state); }

Sponge::Sponge(unsigned rate_bytes, uint8_t domain_pad)
    : rate_(rate_bytes), pos_(0), pad_(domain_pad), squeezing_(false) {
  std::memset(s_, 0, sizeof s_);
}

Sponge::~Sponge() { secure_wipe(s_, sizeof s_); }

// Bytes up to a word boundary go in one at a time, whole words at once.
void Sponge::absorb(const uint8_t* in, size_t len) {
  if (squeezing_) return;
  while (len > 0) {
    if (pos_ % 8 == 0 && len >= 8 && pos_ + 8 <= rate_) {
      // Whole words up to the end of the block or of the input.
      unsigned w = pos_ / 8;
      const unsigned end = rate_ / 8;
      while (w < end && len >= 8) {
        s_[w++] ^= load64(in);
        in += 8;
        len -= 8;
      }
      pos_ = 8 * w;
    } else {
      s_[pos_ / 8] ^= uint64_t(*in++) << (8 * (pos_ % 8));
      --len;
      ++pos_;
    }
    if (pos_ == rate_) {
      keccak_f1600(s_);
      pos_ = 0;
    }
  }
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
    if (pos_ % 8 == 0 && len >= 8 && pos_ + 8 <= rate_) {
      unsigned w = pos_ / 8;
      const unsigned end = rate_ / 8;
      while (w < end && len >= 8) {
        store64(out, s_[w++]);
        out += 8;
        len -= 8;
      }
      pos_ = 8 * w;
      continue;
    }
    *out++ = uint8_t(s_[pos_ / 8] >> (8 * (pos_ % 8)));
    ++pos_;
    --len;
  }
}

// The one-shot hashes also wipe the stack the permutation used (core.h).

void sha3_256(const uint8_t* in, size_t len, uint8_t out[32]) {
  {
    Sponge s(136, 0x06);
    s.absorb(in, len);
    s.squeeze(out, 32);
  }
  wipe_stack(kPermutationStack);
}

void sha3_512(const uint8_t* in, size_t len, uint8_t out[64]) {
  {
    Sponge s(72, 0x06);
    s.absorb(in, len);
    s.squeeze(out, 64);
  }
  wipe_stack(kPermutationStack);
}

void shake128(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen) {
  {
    Shake128 s;
    s.absorb(in, inlen);
    s.squeeze(out, outlen);
  }
  wipe_stack(kPermutationStack);
}

void shake256(const uint8_t* in, size_t inlen, uint8_t* out, size_t outlen) {
  {
    Shake256 s;
    s.absorb(in, inlen);
    s.squeeze(out, outlen);
  }
  wipe_stack(kPermutationStack);
}

}  // namespace native
}  // namespace latkem
