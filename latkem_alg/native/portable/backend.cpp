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

// No KemWork of its own: the core runs the steps one after the other.
constexpr std::nullptr_t kem_work = nullptr;

constexpr Backend kTable = LATKEM_BACKEND_TABLE(portable, "portable");
LATKEM_CHECK_BACKEND(kTable);
extern const Backend kBackend = kTable;

}  // namespace portable
}  // namespace native
}  // namespace latkem
