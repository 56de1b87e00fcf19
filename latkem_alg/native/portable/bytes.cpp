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

namespace {

// hex_digit() on 16-bit values, the lane width compilers vectorise eight at
// a time: the value of the digit c (0..255), and all ones in `bad` for a
// character that is none.
inline uint16_t hex_value16(uint16_t c, uint16_t& bad) {
  const int16_t x = int16_t(c), lower = int16_t(c | 0x20);
  const uint16_t digit = uint16_t(~int16_t(int16_t(int16_t(x - '0') | int16_t('9' - x)) >> 15));
  const uint16_t alpha =
      uint16_t(~int16_t(int16_t(int16_t(lower - 'a') | int16_t('f' - lower)) >> 15));
  bad = uint16_t(bad | ~(digit | alpha));
  return uint16_t((digit & uint16_t(x - '0')) | (alpha & uint16_t(lower - ('a' - 10))));
}

}  // namespace

bool hex_decode(uint8_t* out, const char* hex, size_t hexlen) {
  if (hexlen % 2 != 0) return false;
  const uint8_t* in = reinterpret_cast<const uint8_t*>(hex);
  uint16_t bad = 0;
  for (size_t i = 0; i < hexlen / 2; ++i) {
    const uint16_t high = hex_value16(in[2 * i], bad), low = hex_value16(in[2 * i + 1], bad);
    out[i] = uint8_t((high << 4) | low);
  }
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
