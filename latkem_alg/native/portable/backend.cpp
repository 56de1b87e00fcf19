// The portable backend's table, and its sampling of a whole operation: one
// stream after the other.
#include "../backend.h"
#include "portable.h"

namespace latkem {
namespace native {
namespace portable {

bool sample_matrix_and_noise(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                             const int* eta, int count, const uint8_t* seed, size_t seedlen) {
  for (int k = 0; k < count; ++k) sample_noise(noise[k], seed, seedlen, uint8_t(k), eta[k]);
  for (int x = 0; x < kk; ++x)
    for (int y = 0; y < kk; ++y) {
      const uint8_t row = uint8_t(transpose ? y : x), col = uint8_t(transpose ? x : y);
      if (!portable::sample_matrix_entry(m[x * kk + y], rho, row, col)) return false;
    }
  return true;
}

extern const Backend kBackend = {
    "portable",
    keccak_f1600,
    poly_ntt,
    poly_invntt_tomont,
    polyvec_basemul_acc_montgomery,
    poly_tomont,
    poly_reduce,
    poly_freeze,
    poly_add,
    poly_sub,
    cbd,
    rej_uniform,
    sample_matrix_entry,
    sample_matrix_and_noise,
    byte_encode,
    byte_decode,
    poly_compress,
    poly_decompress,
    poly_frommsg,
    poly_tomsg,
    hex_encode,
    hex_decode,
    ct_equal,
    ct_select,
};

}  // namespace portable
}  // namespace native
}  // namespace latkem
