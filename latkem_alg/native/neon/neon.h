// Internal: the NEON backend, for 64-bit Arm (little-endian), where NEON is
// part of the base instruction set: these files need no extra flags and may
// run on any such processor.  The polynomial arithmetic is vectorised here;
// the table takes the portable functions for the rest.
#ifndef LATKEM_NATIVE_NEON_H
#define LATKEM_NATIVE_NEON_H

#include <cstddef>
#include <cstdint>

#include "../backend.h"
#include "../core.h"

namespace latkem {
namespace native {
namespace neon {

// Same contracts and same results as the portable functions.
void poly_ntt(Poly& p);
void poly_invntt_tomont(Poly& p);
void polyvec_basemul_acc_montgomery(Poly& r, const Poly* a, const Poly* b, int kk);
void poly_tomont(Poly& p);
void poly_reduce(Poly& p);
void poly_freeze(Poly& p);
void poly_add(Poly& r, const Poly& a, const Poly& b);
void poly_sub(Poly& r, const Poly& a, const Poly& b);

}  // namespace neon
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_NEON_H
