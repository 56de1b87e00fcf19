// The NEON backend's tables: the polynomial arithmetic of this folder, the
// portable functions for the rest; with the SHA-3 instructions, also the
// two-way sampling.
#include "../portable/portable.h"
#include "neon.h"

namespace latkem {
namespace native {
namespace neon {

// The portable functions for the rest, and no KemWork of its own.
using portable::ct_equal;
using portable::ct_select;
using portable::hex_decode;
using portable::hex_encode;
using portable::keccak_f1600;
using portable::rej_uniform;
using portable::sample_matrix_and_noise;
using portable::sample_matrix_entry;
constexpr std::nullptr_t kem_work = nullptr;

constexpr Backend kTable = LATKEM_BACKEND_TABLE(neon, "neon");
LATKEM_CHECK_BACKEND(kTable);
extern const Backend kBackend = kTable;

#if defined(LATKEM_HAVE_NEON_SHA3)
constexpr Backend sha3_table() {
  Backend b = kTable;
  b.name = "neon-sha3";
  b.sample_matrix_and_noise = sample_matrix_and_noise_sha3;
  return b;
}
constexpr Backend kTableSha3 = sha3_table();
LATKEM_CHECK_BACKEND(kTableSha3);
extern const Backend kBackendSha3 = kTableSha3;
#endif

}  // namespace neon
}  // namespace native
}  // namespace latkem
