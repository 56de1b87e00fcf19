// The AVX2 backend's table (constant data: nothing runs here).
#include "avx2.h"

// The build gives the whole folder the same flags.
#if defined(_MSC_VER) && !defined(__clang__)
#if !defined(__AVX2__)
#error "the avx2 folder must be compiled with /arch:AVX2"
#endif
#elif !defined(__AVX2__) || !defined(__BMI2__) || !defined(__BMI__)
#error "the avx2 folder must be compiled with -mavx2 -mbmi2 -mbmi"
#endif

namespace latkem {
namespace native {
namespace avx2 {

extern const Backend kBackend = {
    "avx2",
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
    kem_work,
};

}  // namespace avx2
}  // namespace native
}  // namespace latkem
