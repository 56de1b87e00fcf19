// Internal: the AVX2 backend, for x86-64 processors with AVX2, BMI1, BMI2
// and POPCNT.  The files of this folder alone are compiled with the vector
// flags (-mavx2 -mbmi2 -mbmi, or /arch:AVX2); nothing here may run before
// dispatch.cpp has checked the processor, so they define functions and a
// constant table only (no initialisation code).
//
// These files must not call inline functions or templates shared with the
// rest of the core (core.h's and backend.h's inline helpers, standard library
// templates): the linker could keep their AVX2 copy for everyone.
#ifndef LATKEM_NATIVE_AVX2_H
#define LATKEM_NATIVE_AVX2_H

#include <cstddef>
#include <cstdint>

#include "../backend.h"
#include "../core.h"

namespace latkem {
namespace native {
namespace avx2 {

// One Keccak-f[1600] state, compiled with BMI1/BMI2.
void keccak_f1600(uint64_t state[25]);

// Four Keccak-f[1600] states side by side: word w of state j is s[4*w + j].
void keccakx4_f1600(uint64_t s[100]);
// Starts four sponges of the given rate and domain byte on the inputs
// prefix || suffix_j (prefix shared, suffix_j = suffix[sl*j, sl*j + sl), sl
// small) and pads them.  Output starts with the next keccakx4_squeeze.
void keccakx4_absorb(uint64_t s[100], unsigned rate, const uint8_t* prefix, size_t plen,
                     const uint8_t* suffix, size_t sl, uint8_t pad);
// nblocks rate-sized blocks from each state into out[j] (skipped if null).
void keccakx4_squeeze(uint64_t s[100], unsigned rate, uint8_t* const out[4], size_t nblocks);

// The backend's functions: same contracts and same results as the portable
// ones.

// Polynomial layer.
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
// The same on the input as 64-bit words (little-endian byte order), word k
// at w[k * stride].
void cbd_words(int16_t* p, const uint64_t* w, size_t stride, int eta);
int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len);
// The same over the first take bytes (a multiple of 24) of the current block
// of lane `lane` of a four-way Keccak state.
int rej_lane(int16_t* p, int ctr, const uint64_t* s, unsigned lane, size_t take);
bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j);

void byte_encode(uint8_t* out, const int16_t* a, int d);
void byte_decode(int16_t* a, const uint8_t* in, int d);
void poly_compress(Poly& p, int d);
void poly_decompress(Poly& p, int d);
void poly_frommsg(Poly& p, const uint8_t msg[32]);
void poly_tomsg(uint8_t msg[32], const Poly& p);

void hex_encode(char* out, const uint8_t* in, size_t len);
bool hex_decode(uint8_t* out, const char* hex, size_t hexlen);
uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len);
void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a);

// The matrix and noise streams of one operation share the four-way Keccak.
bool sample_matrix_and_noise(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                             const int* eta, int count, const uint8_t* seed, size_t seedlen);
// And the hashes of a KemWork with them.
bool kem_work(const KemWork& w);

}  // namespace avx2
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_AVX2_H
