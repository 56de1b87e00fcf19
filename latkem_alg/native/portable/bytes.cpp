// Hex conversion and constant-time byte helpers.  Keys pass through the hex
// routines, so characters are mapped with arithmetic rather than tables or
// branches.
#include "../core.h"
#include "portable.h"

namespace latkem {
namespace native {
namespace portable {

void hex_encode(char* out, const uint8_t* in, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    for (int h = 0; h < 2; ++h) {
      const int32_t n = (h == 0) ? (in[i] >> 4) : (in[i] & 0x0F);
      // '0' + n, plus the gap from '9'+1 to 'a' when n > 9.
      out[2 * i + h] = char('0' + n + (((9 - n) >> 31) & ('a' - '0' - 10)));
    }
  }
}

bool hex_decode(uint8_t* out, const char* hex, size_t hexlen) {
  if (hexlen % 2 != 0) return false;
  uint32_t bad = 0;
  for (size_t i = 0; i < hexlen / 2; ++i)
    out[i] = uint8_t((hex_digit(hex[2 * i], bad) << 4) | hex_digit(hex[2 * i + 1], bad));
  return value_barrier(bad) == 0;
}

uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len) {
  uint32_t acc = 0;
  for (size_t i = 0; i < len; ++i) acc |= uint32_t(a[i] ^ b[i]);
  acc = value_barrier(acc);
  return uint8_t((acc - 1) >> 31);  // acc < 256: only acc == 0 wraps
}

void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a) {
  const uint8_t mask = uint8_t(-int32_t(value_barrier(take_a & 1u)));
  for (size_t i = 0; i < len; ++i) out[i] = uint8_t(b[i] ^ (mask & (a[i] ^ b[i])));
}

}  // namespace portable
}  // namespace native
}  // namespace latkem
