// Packing and compression: the portable backend's byte encoding and
// decoding, and the scalar compress and decompress of core.h.
#include "../backend.h"
#include "../core.h"
#include "portable.h"

#include <cstring>

namespace latkem {
namespace native {

namespace portable {

namespace {

// ByteEncode_D / ByteDecode_D with D fixed: groups of eight coefficients are
// D bytes, built in (or read from) two 64-bit words with shifts known at
// compile time, instead of a bit accumulator with a loop per byte.
template <int D>
void encode_fixed(uint8_t* out, const int16_t* a) {
  constexpr uint32_t kMask = (1u << D) - 1;
  for (int g = 0; g < kN / 8; ++g) {
    uint64_t lo = 0, hi = 0;
    for (int j = 0; j < 8; ++j) {
      const uint64_t v = uint64_t(uint32_t(uint16_t(a[8 * g + j])) & kMask);
      const int bit = j * D;
      if (bit < 64) {
        lo |= v << bit;
        if (bit + D > 64) hi |= v >> (64 - bit);
      } else {
        hi |= v << (bit - 64);
      }
    }
    uint8_t* o = out + D * g;
    for (int b = 0; b < D; ++b) o[b] = uint8_t(b < 8 ? lo >> (8 * b) : hi >> (8 * (b - 8)));
  }
}

template <int D>
void decode_fixed(int16_t* a, const uint8_t* in) {
  constexpr uint64_t kMask = (uint64_t(1) << D) - 1;
  for (int g = 0; g < kN / 8; ++g) {
    const uint8_t* p = in + D * g;
    uint64_t lo = 0, hi = 0;
    for (int b = 0; b < D; ++b) {
      if (b < 8)
        lo |= uint64_t(p[b]) << (8 * b);
      else
        hi |= uint64_t(p[b]) << (8 * (b - 8));
    }
    for (int j = 0; j < 8; ++j) {
      const int bit = j * D;
      uint64_t v;
      if (bit + D <= 64)
        v = lo >> bit;
      else if (bit >= 64)
        v = hi >> (bit - 64);
      else
        v = (lo >> bit) | (hi << (64 - bit));
      a[8 * g + j] = int16_t(v & kMask);
    }
  }
}

}  // namespace

void byte_encode(uint8_t* out, const int16_t a[kN], int d) {
  switch (d) {  // the sizes of keys and ciphertexts
    case 12: encode_fixed<12>(out, a); return;
    case 1: encode_fixed<1>(out, a); return;
    case 4: encode_fixed<4>(out, a); return;
    case 5: encode_fixed<5>(out, a); return;
    case 10: encode_fixed<10>(out, a); return;
    case 11: encode_fixed<11>(out, a); return;
    default: break;
  }
  const uint32_t mask = (1u << d) - 1;
  uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    acc |= (uint32_t(uint16_t(a[i])) & mask) << bits;
    bits += d;
    while (bits >= 8) {
      *out++ = uint8_t(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

void byte_decode(int16_t a[kN], const uint8_t* in, int d) {
  switch (d) {
    case 12: decode_fixed<12>(a, in); return;
    case 1: decode_fixed<1>(a, in); return;
    case 4: decode_fixed<4>(a, in); return;
    case 5: decode_fixed<5>(a, in); return;
    case 10: decode_fixed<10>(a, in); return;
    case 11: decode_fixed<11>(a, in); return;
    default: break;
  }
  const uint32_t mask = (1u << d) - 1;
  uint32_t acc = 0;
  int bits = 0;
  for (int i = 0; i < kN; ++i) {
    while (bits < d) {
      acc |= uint32_t(*in++) << bits;
      bits += 8;
    }
    a[i] = int16_t(acc & mask);
    acc >>= d;
    bits -= d;
  }
}

}  // namespace portable

// floor(n / q) for n = 2^d * x + 1664 (x < q, d <= 11, so n < 6817409) in
// 32-bit arithmetic, which vectorises where 64-bit products do not:
// k = (n * 315) >> 20 overestimates n / q by less than 0.15 (315 / 2^20 is
// 1/q to within 6e-5 and n / q < 2048), so it is floor(n / q) or one more,
// and one more exactly when n - k*q is negative.  n * 315 < 2^31.
int16_t compress(int16_t x, int d) {
  const uint32_t n = (uint32_t(uint16_t(x)) << d) + 1664;
  const uint32_t k = (n * 315u) >> 20;
  const uint32_t below = uint32_t(int32_t(n - k * uint32_t(kQ)) >> 31);  // all ones if k > n/q
  return int16_t((k + below) & ((1u << d) - 1));
}

int16_t decompress(int16_t y, int d) {
  const uint32_t t = uint32_t(uint16_t(y)) * uint32_t(kQ);
  const uint32_t k = t >> d;
  const uint32_t r = t & ((1u << d) - 1);
  const uint32_t half = 1u << (d - 1);
  const uint32_t above = (half - r) >> 31;      // r > half
  const uint32_t tie = ((r ^ half) - 1) >> 31;  // r == half (r ^ half < 2^12)
  return int16_t(k + above + (tie & k & 1));
}

namespace portable {

void poly_compress(Poly& p, int d) {
  for (int i = 0; i < kN; ++i) p.c[i] = compress(p.c[i], d);
}

void poly_decompress(Poly& p, int d) {
  for (int i = 0; i < kN; ++i) p.c[i] = decompress(p.c[i], d);
}

void poly_frommsg(Poly& p, const uint8_t msg[32]) {
  for (int i = 0; i < kSymBytes; ++i)
    for (int j = 0; j < 8; ++j) {
      const int16_t bit = int16_t((msg[i] >> j) & 1);
      p.c[8 * i + j] = int16_t(-bit & ((kQ + 1) / 2));
    }
}

void poly_tomsg(uint8_t msg[32], const Poly& p) {
  int16_t bits[kN];  // compressed first, in a loop of its own, which vectorises
  for (int i = 0; i < kN; ++i) bits[i] = compress(p.c[i], 1);
  for (int i = 0; i < kSymBytes; ++i) {
    uint8_t byte = 0;
    for (int j = 0; j < 8; ++j) byte = uint8_t(byte | (bits[8 * i + j] << j));
    msg[i] = byte;
  }
}

}  // namespace portable

}  // namespace native
}  // namespace latkem
