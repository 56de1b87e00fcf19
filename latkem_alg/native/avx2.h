// Internal: the AVX2 implementations behind the core's functions, defined in
// the *_avx2.cpp files, which alone are compiled with -mavx2 -mbmi2 -mbmi.  Nothing
// here may be called unless using_avx2() is true.
//
// The AVX2 files must not call inline functions or templates shared with the
// portable files (core.h's inline helpers, standard library templates): the
// linker could keep their AVX2 copy for everyone.
#ifndef LATKEM_NATIVE_AVX2_H
#define LATKEM_NATIVE_AVX2_H

#include <cstddef>
#include <cstdint>

#include "core.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define LATKEM_X86 1
#else
#define LATKEM_X86 0
#endif

// In a portable function: hand the call to the AVX2 code when it is in use.
#if LATKEM_X86
#define LATKEM_DISPATCH(call) \
  if (using_avx2()) return avx2::call
#else
#define LATKEM_DISPATCH(call) static_cast<void>(0)
#endif

namespace latkem {
namespace native {

// zetas[k] = 17^brv7(k) * 2^16 mod q, centred.  Entry 0 is unused by the
// transforms; entries 64..127 are the gamma values of the base multiplication.
constexpr int16_t kZetas[128] = {
    -1044, -758,  -359,  -1517, 1493,  1422,  287,   202,   -171,  622,   1577,  182,   962,
    -1202, -1474, 1468,  573,   -1325, 264,   383,   -829,  1458,  -1602, -130,  -681,  1017,
    732,   608,   -1542, 411,   -205,  -1571, 1223,  652,   -552,  1015,  -1293, 1491,  -282,
    -1544, 516,   -8,    -320,  -666,  -1618, -1162, 126,   1469,  -853,  -90,   -271,  830,
    107,   -1421, -247,  -951,  -398,  961,   -1508, -725,  448,   -1065, 677,   -1275, -1103,
    430,   555,   843,   -1251, 871,   1550,  105,   422,   587,   177,   -235,  -291,  -460,
    1574,  1653,  -246,  778,   1159,  -147,  -777,  1483,  -602,  1119,  -1590, 644,   -872,
    349,   418,   329,   -156,  -75,   817,   1097,  603,   610,   1322,  -1285, -1465, 384,
    -1215, -136,  1218,  -1335, -874,  220,   -1187, -1659, -1185, -1530, -1278, 794,   -1510,
    -854,  -870,  478,   -108,  -308,  996,   991,   958,   -1460, 1522,  1628,
};

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

// Polynomial layer, same contracts and same results as the portable code.
void poly_ntt(int16_t* p);
void poly_invntt_tomont(int16_t* p);
void polyvec_basemul_acc_montgomery(int16_t* r, const Poly* a, const Poly* b, int kk);
void poly_tomont(int16_t* p);
void poly_reduce(int16_t* p);
void poly_freeze(int16_t* p);
void poly_add(int16_t* r, const int16_t* a, const int16_t* b);
void poly_sub(int16_t* r, const int16_t* a, const int16_t* b);

// eta = 2 or 3 only.
void cbd(int16_t* p, const uint8_t* buf, int eta);
// The same on the input as 64-bit words (little-endian byte order), word k
// at w[k * stride].
void cbd_words(int16_t* p, const uint64_t* w, size_t stride, int eta);
int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len);
// The same over the first take bytes (a multiple of 24) of the current block
// of lane `lane` of a four-way Keccak state.
int rej_lane(int16_t* p, int ctr, const uint64_t* s, unsigned lane, size_t take);
bool sample_matrix_entry(int16_t* p, const uint8_t rho[32], uint8_t i, uint8_t j);

void byte_encode(uint8_t* out, const int16_t* a, int d);
void byte_decode(int16_t* a, const uint8_t* in, int d);
void poly_compress(int16_t* p, int d);
void poly_decompress(int16_t* p, int d);
void poly_frommsg(int16_t* p, const uint8_t msg[32]);
void poly_tomsg(uint8_t msg[32], const int16_t* p);

void hex_encode(char* out, const uint8_t* in, size_t len);
bool hex_decode(uint8_t* out, const char* hex, size_t hexlen);
uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len);
void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a);

bool kpke_keygen(const Params& p, const uint8_t* seed, size_t seedlen, uint8_t* pk, uint8_t* sk);
bool kpke_enc(const Params& p, const uint8_t* pk, const uint8_t msg[32], const uint8_t* coins,
              size_t coinslen, uint8_t* ct);
void kpke_dec(const Params& p, const uint8_t* ct, const uint8_t* sk, uint8_t msg[32]);

}  // namespace avx2
}  // namespace native
}  // namespace latkem

#endif  // LATKEM_NATIVE_AVX2_H
