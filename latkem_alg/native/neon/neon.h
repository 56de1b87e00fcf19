// Internal: the NEON backend, for 64-bit Arm (little-endian), where NEON is
// part of the base instruction set: these files need no extra flags and may
// run on any such processor.  The polynomial arithmetic, the noise sampler,
// the 12-bit packing, compression and the message encoding are vectorised
// here, and the sampling runs on a two-way Keccak with the SHA-3 instructions
// where the processor has them (a second table, "neon-sha3"); the tables take
// the portable functions for the rest.
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

// eta = 2 or 3 only; returns true.
bool cbd(Poly& p, const uint8_t* buf, int eta);
void byte_encode(uint8_t* out, const int16_t* a, int d);
void byte_decode(int16_t* a, const uint8_t* in, int d);
void poly_compress(Poly& p, int d);
void poly_decompress(Poly& p, int d);
void poly_frommsg(Poly& p, const uint8_t msg[32]);
void poly_tomsg(uint8_t msg[32], const Poly& p);

#if defined(LATKEM_HAVE_NEON_SHA3)
// For processors with the SHA-3 instructions: the streams two at a time on
// a two-way Keccak.
bool sample_matrix_and_noise_sha3(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                                  const int* eta, int count, const uint8_t* seed, size_t seedlen);
#endif

}  // namespace neon
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_NEON_H
