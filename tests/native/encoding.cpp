// Packing and compression, and the hex and constant-time helpers: against
// their definitions, bit by bit, over their whole domains where they are small.
#include <cctype>
#include <cstring>

#include "check.h"

namespace selftest {

void test_packing() {
  Rng rng(5);
  for (int d = 1; d <= 12; ++d) {
    int16_t a[kN], back[kN];
    for (int i = 0; i < kN; ++i) a[i] = int16_t(rng.below(1 << d));
    std::vector<uint8_t> enc(32 * d);
    byte_encode(enc.data(), a, d);
    bool ok = true;
    for (int i = 0; i < kN; ++i)
      for (int b = 0; b < d; ++b) {
        const int pos = i * d + b;
        ok &= ((enc[pos / 8] >> (pos % 8)) & 1) == ((a[i] >> b) & 1);
      }
    byte_decode(back, enc.data(), d);
    ok &= std::memcmp(a, back, sizeof a) == 0;
    CHECK(ok, "ByteEncode/ByteDecode d = %d", d);
  }
}

void test_compress() {
  bool ok = true;
  for (int d = 1; d <= 11 && ok; ++d) {
    for (int x = 0; x < Q && ok; ++x) {
      const int want = int((((long long)x << d) + 1664) / Q) % (1 << d);
      ok = compress(int16_t(x), d) == want;
      if (!ok) std::printf("  compress(%d, %d) = %d, want %d\n", x, d, compress(int16_t(x), d), want);
    }
    for (int y = 0; y < (1 << d) && ok; ++y) {
      // Exact rounding of q*y / 2^d with ties to even, in rationals.
      const long long t = (long long)Q * y, den = 1LL << d;
      long long k = t / den;
      const long long twice_r = 2 * (t - k * den);
      if (twice_r > den || (twice_r == den && (k & 1))) ++k;
      ok = decompress(int16_t(y), d) == k;
      if (!ok) std::printf("  decompress(%d, %d) = %d, want %lld\n", y, d, decompress(int16_t(y), d), k);
    }
  }
  CHECK(ok, "compress/decompress over their whole domains");
  CHECK(decompress(1, 1) == 1664 && decompress(8, 4) == 1664 && decompress(512, 10) == 1664 &&
            decompress(15, 4) == 3121 && decompress(1023, 10) == 3326 && decompress(1, 10) == 3,
        "decompress reference values");

  // Message bits: 1 exactly on [833, 2496].
  Poly p;
  for (int i = 0; i < kN; ++i) p.c[i] = int16_t(i < 128 ? 832 + i % 4 : 2494 + i % 4);
  uint8_t m[32];
  poly_tomsg(m, p);
  ok = true;
  for (int i = 0; i < kN; ++i) {
    const int want = (p.c[i] >= 833 && p.c[i] <= 2496) ? 1 : 0;
    ok &= ((m[i / 8] >> (i % 8)) & 1) == want;
  }
  CHECK(ok, "poly_tomsg thresholds");
  poly_frommsg(p, m);
  ok = true;
  for (int i = 0; i < kN; ++i) ok &= p.c[i] == 1665 * ((m[i / 8] >> (i % 8)) & 1);
  CHECK(ok, "poly_frommsg");
}

// Hex and the constant-time helpers.
void test_bytes() {
  uint8_t all[256];
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  std::string h(512, ' ');
  hex_encode(&h[0], all, 256);
  CHECK(h == tohex(all, 256), "hex_encode");
  uint8_t back[256];
  CHECK(hex_decode(back, h.data(), h.size()) && std::memcmp(all, back, 256) == 0, "hex_decode lower");
  std::string up = h;
  for (auto& c : up) c = char(std::toupper(static_cast<unsigned char>(c)));
  CHECK(hex_decode(back, up.data(), up.size()) && std::memcmp(all, back, 256) == 0, "hex_decode upper");
  CHECK(!hex_decode(back, "abc", 3), "odd length accepted");
  bool ok = true;
  for (int c = 0; c < 256; ++c) {
    const bool valid = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    char s[4] = {'0', '0', char(c), '7'};
    ok &= hex_decode(back, s, 4) == valid;
    s[0] = char(c);
    s[2] = 'e';
    ok &= hex_decode(back, s, 4) == valid;
  }
  CHECK(ok, "hex_decode character classes");

  uint8_t a[32], b[32], out[32];
  for (int i = 0; i < 32; ++i) a[i] = b[i] = uint8_t(3 * i);
  CHECK(ct_equal(a, b, 32) == 1, "ct_equal on equal input");
  ok = true;
  for (int i = 0; i < 32; ++i)
    for (int bit = 0; bit < 8; ++bit) {
      b[i] ^= uint8_t(1 << bit);
      ok &= ct_equal(a, b, 32) == 0;
      b[i] ^= uint8_t(1 << bit);
    }
  CHECK(ok, "ct_equal misses a single-bit difference");
  for (int i = 0; i < 32; ++i) b[i] = uint8_t(~a[i]);
  ct_select(out, a, b, 32, 1);
  CHECK(std::memcmp(out, a, 32) == 0, "ct_select take_a = 1");
  ct_select(out, a, b, 32, 0);
  CHECK(std::memcmp(out, b, 32) == 0, "ct_select take_a = 0");
}

}  // namespace selftest
