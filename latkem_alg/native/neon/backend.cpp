// The NEON backend's tables: the polynomial arithmetic of this folder, the
// portable functions for the rest; with the SHA-3 instructions, also the
// two-way sampling.
#include "../portable/portable.h"
#include "neon.h"

namespace latkem {
namespace native {
namespace neon {

extern const Backend kBackend = {
    "neon",
    portable::keccak_f1600,
    poly_ntt,
    poly_invntt_tomont,
    polyvec_basemul_acc_montgomery,
    poly_tomont,
    poly_reduce,
    poly_freeze,
    poly_add,
    poly_sub,
    cbd,
    portable::rej_uniform,
    portable::sample_matrix_entry,
    portable::sample_matrix_and_noise,
    byte_encode,
    byte_decode,
    poly_compress,
    poly_decompress,
    poly_frommsg,
    poly_tomsg,
    portable::hex_encode,
    portable::hex_decode,
    portable::ct_equal,
    portable::ct_select,
};

#if defined(LATKEM_HAVE_NEON_SHA3)
extern const Backend kBackendSha3 = {
    "neon-sha3",
    portable::keccak_f1600,
    poly_ntt,
    poly_invntt_tomont,
    polyvec_basemul_acc_montgomery,
    poly_tomont,
    poly_reduce,
    poly_freeze,
    poly_add,
    poly_sub,
    cbd,
    portable::rej_uniform,
    portable::sample_matrix_entry,
    sample_matrix_and_noise_sha3,
    byte_encode,
    byte_decode,
    poly_compress,
    poly_decompress,
    poly_frommsg,
    poly_tomsg,
    portable::hex_encode,
    portable::hex_decode,
    portable::ct_equal,
    portable::ct_select,
};
#endif

}  // namespace neon
}  // namespace native
}  // namespace latkem
