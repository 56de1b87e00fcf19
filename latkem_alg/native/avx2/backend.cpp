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

constexpr Backend kTable = LATKEM_BACKEND_TABLE(avx2, "avx2");
LATKEM_CHECK_BACKEND(kTable);
extern const Backend kBackend = kTable;

}  // namespace avx2
}  // namespace native
}  // namespace latkem
