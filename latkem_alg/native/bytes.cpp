// Hex conversion and constant-time byte helpers.  Keys pass through the hex
// routines, so characters are mapped with arithmetic rather than tables or
// branches.
#include "avx2.h"
#include "core.h"

namespace latkem {
namespace native {
namespace {

// Hide a value from the optimiser so that mask arithmetic on it is not turned
// back into a branch.
inline uint32_t value_barrier(uint32_t x) {
#if defined(__GNUC__) || defined(__clang__)
  __asm__("" : "+r"(x));
  return x;
#else
  volatile uint32_t v = x;
  return v;
#endif
}

// All ones if lo <= c <= hi, else zero (c, lo, hi in 0..255).
inline int32_t in_range_mask(int32_t c, int32_t lo, int32_t hi) {
  return ~(((c - lo) | (hi - c)) >> 31);
}

}  // namespace

void hex_encode(char* out, const uint8_t* in, size_t len) {
  LATKEM_DISPATCH(hex_encode(out, in, len));
  for (size_t i = 0; i < len; ++i) {
    for (int h = 0; h < 2; ++h) {
      const int32_t n = (h == 0) ? (in[i] >> 4) : (in[i] & 0x0F);
      // '0' + n, plus the gap from '9'+1 to 'a' when n > 9.
      out[2 * i + h] = char('0' + n + (((9 - n) >> 31) & ('a' - '0' - 10)));
    }
  }
}

bool hex_decode(uint8_t* out, const char* hex, size_t hexlen) {
  LATKEM_DISPATCH(hex_decode(out, hex, hexlen));
  if (hexlen % 2 != 0) return false;
  uint32_t bad = 0;
  for (size_t i = 0; i < hexlen / 2; ++i) {
    int32_t byte = 0;
    for (int h = 0; h < 2; ++h) {
      const int32_t c = static_cast<unsigned char>(hex[2 * i + h]);
      const int32_t lower = c | 0x20;
      const int32_t is_digit = in_range_mask(c, '0', '9');
      const int32_t is_alpha = in_range_mask(lower, 'a', 'f');
      const int32_t v = (is_digit & (c - '0')) | (is_alpha & (lower - 'a' + 10));
      bad |= uint32_t(~(is_digit | is_alpha)) & 1u;
      byte = (byte << 4) | v;
    }
    out[i] = uint8_t(byte);
  }
  return value_barrier(bad) == 0;
}

uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len) {
  LATKEM_DISPATCH(ct_equal(a, b, len));
  uint32_t acc = 0;
  for (size_t i = 0; i < len; ++i) acc |= uint32_t(a[i] ^ b[i]);
  acc = value_barrier(acc);
  return uint8_t((acc - 1) >> 31);  // acc < 256: only acc == 0 wraps
}

void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a) {
  LATKEM_DISPATCH(ct_select(out, a, b, len, take_a));
  const uint8_t mask = uint8_t(-int32_t(value_barrier(take_a & 1u)));
  for (size_t i = 0; i < len; ++i) out[i] = uint8_t(b[i] ^ (mask & (a[i] ^ b[i])));
}

}  // namespace native
}  // namespace latkem
