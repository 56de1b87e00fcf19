// Sampling: the centred binomial noise and the rejection sampling of the
// matrix, against the bits and the streams they take.
#include <cstring>

#include "check.h"

namespace selftest {

void test_cbd() {
  Rng rng(3);
  for (int eta = 1; eta <= 8; ++eta) {
    const Bytes buf = rng.bytes(64 * eta);
    Poly p, pr;
    CHECK(cbd(p, buf.data(), eta) && cbd_reduced(pr, buf.data(), eta), "cbd eta %d refused", eta);
    bool ok = true;
    for (int i = 0; i < kN; ++i) {
      int a = 0, b = 0;
      for (int m = 0; m < eta; ++m) {
        const int bit_a = 2 * i * eta + m, bit_b = 2 * i * eta + eta + m;
        a += (buf[bit_a / 8] >> (bit_a % 8)) & 1;
        b += (buf[bit_b / 8] >> (bit_b % 8)) & 1;
      }
      ok &= p.c[i] == a - b && pr.c[i] == mod(a - b);
    }
    CHECK(ok, "cbd eta %d", eta);
  }
  Poly p;
  uint8_t buf[64 * 9] = {0};
  CHECK(!cbd(p, buf, 0) && !cbd(p, buf, 9), "cbd accepts eta outside 1..8");

  // PRF input is seed || nonce.
  const Bytes seed = rng.bytes(45);
  Bytes in = seed;
  in.push_back(7);
  uint8_t stream[192];
  shake256(in.data(), in.size(), stream, sizeof stream);
  Poly a, b;
  sample_noise(a, seed.data(), seed.size(), 7, 3);
  cbd(b, stream, 3);
  CHECK(std::memcmp(a.c, b.c, sizeof a.c) == 0, "sample_noise is not CBD(SHAKE-256(seed || nonce))");
}

void test_uniform() {
  // Parse order, the two candidates per group, and the stop at 256.
  int16_t out[kN];
  // d1 = 0x201 kept, d2 = 3344 dropped; then 0xFFF twice; then q twice.
  const uint8_t grp[9] = {0x01, 0x02, 0xD1, 0xFF, 0xFF, 0xFF, 0x01, 0x1D, 0xD0};
  CHECK(rej_uniform(out, 0, grp, 9) == 1 && out[0] == 0x201, "rej_uniform candidates");
  const uint8_t both[3] = {0x00, 0x0D, 0x00};  // d1 = 3328 accepted, d2 = 0 accepted
  CHECK(rej_uniform(out, 0, both, 3) == 2 && out[0] == 3328 && out[1] == 0, "rej_uniform bounds");
  CHECK(rej_uniform(out, 255, both, 3) == 256 && out[255] == 3328, "rej_uniform overran 256");

  Rng rng(4);
  for (int trial = 0; trial < 8; ++trial) {
    const Bytes rho = rng.bytes(32);
    const uint8_t i = uint8_t(rng.below(4)), j = uint8_t(rng.below(4));
    Bytes in = rho;
    in.push_back(j);  // column index first
    in.push_back(i);
    uint8_t stream[768];
    shake128(in.data(), in.size(), stream, sizeof stream);
    int16_t ref[kN];
    const int n = rej_uniform(ref, 0, stream, sizeof stream);
    Poly p;
    CHECK(sample_matrix_entry(p, rho.data(), i, j) && n == kN &&
              std::memcmp(p.c, ref, sizeof ref) == 0,
          "matrix entry (%d,%d)", i, j);
  }
}

}  // namespace selftest
