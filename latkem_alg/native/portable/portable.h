// Internal: the portable backend, plain C++ that runs everywhere.  Same
// contracts as the core.h functions of the same names.
#ifndef LATKEM_NATIVE_PORTABLE_H
#define LATKEM_NATIVE_PORTABLE_H

#include <cstddef>
#include <cstdint>

#include "../core.h"

namespace latkem {
namespace native {
namespace portable {

void keccak_f1600(uint64_t state[25]);

void poly_ntt(Poly& p);
void poly_invntt_tomont(Poly& p);
void polyvec_basemul_acc_montgomery(Poly& r, const Poly* a, const Poly* b, int kk);
void poly_tomont(Poly& p);
void poly_reduce(Poly& p);
void poly_freeze(Poly& p);
void poly_add(Poly& r, const Poly& a, const Poly& b);
void poly_sub(Poly& r, const Poly& a, const Poly& b);

// Any eta in 1..kMaxEta.
bool cbd(Poly& p, const uint8_t* buf, int eta);
int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len);
bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j);
bool sample_matrix_and_noise(Poly* m, const uint8_t rho[32], int kk, bool transpose, Poly* noise,
                             const int* eta, int count, const uint8_t* seed, size_t seedlen);

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

}  // namespace portable
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_PORTABLE_H
