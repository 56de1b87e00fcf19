// Sampling: the portable backend's centred binomial sampler and uniform
// rejection sampling, one matrix entry at a time.
#include "../backend.h"
#include "../core.h"
#include "portable.h"

#include <cstring>

namespace latkem {
namespace native {
namespace {

inline uint32_t load24(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}

// Little-endian 64-bit word; one load where that is the machine's order.
inline uint64_t load64_le(const uint8_t* p) {
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
  uint64_t r;
  std::memcpy(&r, p, 8);
  return r;
#else
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | p[i];
  return r;
#endif
}

inline uint32_t load32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

namespace portable {

bool cbd(Poly& p, const uint8_t* buf, int eta) {
  if (eta < 1 || eta > kMaxEta) return false;
  if (eta == 2) {
    for (int i = 0; i < kN / 8; ++i) {
      const uint32_t t = load32(buf + 4 * i);
      const uint32_t d = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
      for (int j = 0; j < 8; ++j) {
        const int16_t a = int16_t((d >> (4 * j)) & 3);
        const int16_t b = int16_t((d >> (4 * j + 2)) & 3);
        p.c[8 * i + j] = int16_t(a - b);
      }
    }
    return true;
  }
  if (eta == 3) {
    for (int i = 0; i < kN / 4; ++i) {
      const uint32_t t = load24(buf + 3 * i);
      const uint32_t d =
          (t & 0x00249249u) + ((t >> 1) & 0x00249249u) + ((t >> 2) & 0x00249249u);
      for (int j = 0; j < 4; ++j) {
        const int16_t a = int16_t((d >> (6 * j)) & 7);
        const int16_t b = int16_t((d >> (6 * j + 3)) & 7);
        p.c[4 * i + j] = int16_t(a - b);
      }
    }
    return true;
  }
  // General eta: each coefficient spans 2*eta <= 16 bits, i.e. at most three
  // bytes from its first one.  Reads past the 64*eta input bytes see zeros.
  const size_t nbytes = size_t(64) * eta;
  for (int i = 0; i < kN; ++i) {
    const size_t bit = size_t(2) * eta * i;
    const size_t byte = bit / 8;
    uint32_t w = 0;
    for (size_t m = 0; m < 3; ++m)
      if (byte + m < nbytes) w |= uint32_t(buf[byte + m]) << (8 * m);  // public bound
    w >>= bit % 8;
    int16_t a = 0, b = 0;
    for (int m = 0; m < eta; ++m) {
      a = int16_t(a + ((w >> m) & 1));
      b = int16_t(b + ((w >> (eta + m)) & 1));
    }
    p.c[i] = int16_t(a - b);
  }
  return true;
}

int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  for (size_t pos = 0; ctr < kN && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    if (d1 < kQ) p[ctr++] = int16_t(d1);
    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);
  }
  return ctr;
}

namespace {

// rej_uniform() for the matrix, without a branch per candidate (random
// accept/reject branches are mispredicted about one time in five): each
// candidate is stored at p[ctr] and ctr advances when it is accepted, so a
// rejected one is overwritten by the next.  A 3-byte group adds at most two
// coefficients, so while ctr <= kN - 2 (kN - 4 for two groups) the stores
// stay inside p; the last few go through the branching loop, which never
// stores past kN.  Slots at ctr and beyond may hold rejected candidates until
// they are filled.
int rej_uniform_matrix(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  size_t pos = 0;
  // Two groups (four candidates, from one 64-bit read of which 48 bits are
  // used) while four stores fit.
  for (; ctr <= kN - 4 && pos + 8 <= len; pos += 6) {
    const uint64_t t = load64_le(buf + pos);
    const uint16_t d0 = uint16_t(t & 0xFFF), d1 = uint16_t((t >> 12) & 0xFFF);
    const uint16_t d2 = uint16_t((t >> 24) & 0xFFF), d3 = uint16_t((t >> 36) & 0xFFF);
    p[ctr] = int16_t(d0);
    ctr += d0 < kQ;
    p[ctr] = int16_t(d1);
    ctr += d1 < kQ;
    p[ctr] = int16_t(d2);
    ctr += d2 < kQ;
    p[ctr] = int16_t(d3);
    ctr += d3 < kQ;
  }
  for (; ctr <= kN - 2 && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    p[ctr] = int16_t(d1);
    ctr += d1 < kQ;
    p[ctr] = int16_t(d2);
    ctr += d2 < kQ;
  }
  for (; ctr < kN && pos + 3 <= len; pos += 3) {
    const uint16_t d1 = uint16_t(buf[pos] | ((buf[pos + 1] & 0x0F) << 8));
    const uint16_t d2 = uint16_t((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    if (d1 < kQ) p[ctr++] = int16_t(d1);
    if (d2 < kQ && ctr < kN) p[ctr++] = int16_t(d2);
  }
  return ctr;
}

}  // namespace

// 768 bytes is 4 full blocks plus 96 bytes of a fifth.  168 is a multiple of
// 3, so no 3-byte group straddles a block boundary.
bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j) {
  constexpr size_t kLimit = 768;
  uint8_t ext[kSymBytes + 2];
  std::memcpy(ext, rho, kSymBytes);
  ext[kSymBytes] = j;
  ext[kSymBytes + 1] = i;
  Shake128 xof;
  xof.absorb(ext, sizeof ext);
  uint8_t block[Shake128::kRate];
  int ctr = 0;
  size_t used = 0;
  while (ctr < kN && used < kLimit) {
    xof.squeeze_blocks(block, 1);
    size_t take = kLimit - used;
    if (take > Shake128::kRate) take = Shake128::kRate;
    ctr = rej_uniform_matrix(p.c, ctr, block, take);
    used += take;
  }
  return ctr == kN;
}

}  // namespace portable

}  // namespace native
}  // namespace latkem
