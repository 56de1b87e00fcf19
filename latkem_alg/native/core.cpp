// The core.h functions that belong to a backend, each handed to the one in
// use, and what is built on them the same way for every backend.
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "backend.h"
#include "core.h"
#include "portable/portable.h"

namespace latkem {
namespace native {

// ---------------------------------------------------------------------------
// Wiping.  A plain memset of memory that is dead afterwards may be dropped;
// the empty asm that may read the memory through p keeps it (GCC, clang),
// SecureZeroMemory is never dropped (Windows), and stores through a volatile
// pointer are kept everywhere else.

void secure_wipe(void* p, size_t len) {
  if (len == 0) return;
#if defined(_WIN32)
  SecureZeroMemory(p, len);
#elif defined(__GNUC__) || defined(__clang__)
  std::memset(p, 0, len);
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < len; ++i) v[i] = 0;
#endif
}

// Not inlined, so that its array lies below the caller's frame; the stack
// grows down, so the top of the array is the part nearest to that frame.
#if defined(_MSC_VER)
__declspec(noinline)
#elif defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
void wipe_stack(size_t len) {
  uint8_t below[kStackWipe];
  if (len > kStackWipe) len = kStackWipe;
  secure_wipe(below + kStackWipe - len, len);
}

// ---------------------------------------------------------------------------
// Polynomial layer.

void poly_ntt(Poly& p) { backend().poly_ntt(p); }
void poly_invntt_tomont(Poly& p) { backend().poly_invntt_tomont(p); }

void polyvec_basemul_acc_montgomery(Poly& r, const Poly* a, const Poly* b, int kk) {
  backend().polyvec_basemul_acc_montgomery(r, a, b, kk);
}

void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b) {
  backend().polyvec_basemul_acc_montgomery(r, &a, &b, 1);
}

void poly_tomont(Poly& p) { backend().poly_tomont(p); }
void poly_reduce(Poly& p) { backend().poly_reduce(p); }
void poly_freeze(Poly& p) { backend().poly_freeze(p); }
void poly_add(Poly& r, const Poly& a, const Poly& b) { backend().poly_add(r, a, b); }
void poly_sub(Poly& r, const Poly& a, const Poly& b) { backend().poly_sub(r, a, b); }

void ntt_reduced(const int16_t in[kN], int16_t out[kN]) {
  const Backend& be = backend();
  Poly p;
  Wiped wipe_p(&p, sizeof p);
  std::memcpy(p.c, in, sizeof p.c);
  be.poly_ntt(p);
  be.poly_freeze(p);
  std::memcpy(out, p.c, sizeof p.c);
}

void invntt_reduced(const int16_t in[kN], int16_t out[kN]) {
  Poly p;
  Wiped wipe_p(&p, sizeof p);
  std::memcpy(p.c, in, sizeof p.c);
  backend().poly_invntt_tomont(p);
  for (int i = 0; i < kN; ++i) p.c[i] = freeze(montgomery_reduce(p.c[i]));
  std::memcpy(out, p.c, sizeof p.c);
}

void basemul_reduced(const int16_t a[kN], const int16_t b[kN], int16_t out[kN]) {
  const Backend& be = backend();
  Poly pa, pb, r;
  Wiped wipe_a(&pa, sizeof pa), wipe_b(&pb, sizeof pb), wipe_r(&r, sizeof r);
  std::memcpy(pa.c, a, sizeof pa.c);
  std::memcpy(pb.c, b, sizeof pb.c);
  be.polyvec_basemul_acc_montgomery(r, &pa, &pb, 1);
  be.poly_tomont(r);
  be.poly_freeze(r);
  std::memcpy(out, r.c, sizeof r.c);
}

// ---------------------------------------------------------------------------
// Sampling.

// The backends take eta = 2 and 3; other values are rare and portable.
bool cbd(Poly& p, const uint8_t* buf, int eta) {
  if (eta == 2 || eta == 3) return backend().cbd(p, buf, eta);
  return portable::cbd(p, buf, eta);
}

bool cbd_reduced(Poly& p, const uint8_t* buf, int eta) {
  if (!cbd(p, buf, eta)) return false;
  for (int i = 0; i < kN; ++i) p.c[i] = int16_t(p.c[i] + ((p.c[i] >> 15) & kQ));
  return true;
}

bool sample_noise(Poly& p, const uint8_t* seed, size_t seedlen, uint8_t nonce, int eta) {
  if (eta < 1 || eta > kMaxEta) return false;
  uint8_t buf[64 * kMaxEta];
  Wiped wipe_buf(buf, size_t(64) * eta);
  Shake256 xof;
  xof.absorb(seed, seedlen);
  xof.absorb(&nonce, 1);
  xof.squeeze(buf, size_t(64) * eta);
  return cbd(p, buf, eta);
}

int rej_uniform(int16_t* p, int ctr, const uint8_t* buf, size_t len) {
  return backend().rej_uniform(p, ctr, buf, len);
}

bool sample_matrix_entry(Poly& p, const uint8_t rho[32], uint8_t i, uint8_t j) {
  return backend().sample_matrix_entry(p, rho, i, j);
}

// ---------------------------------------------------------------------------
// Packing and compression.

void byte_encode(uint8_t* out, const int16_t a[kN], int d) { backend().byte_encode(out, a, d); }
void byte_decode(int16_t a[kN], const uint8_t* in, int d) { backend().byte_decode(a, in, d); }
void poly_compress(Poly& p, int d) { backend().poly_compress(p, d); }
void poly_decompress(Poly& p, int d) { backend().poly_decompress(p, d); }
void poly_frommsg(Poly& p, const uint8_t msg[32]) { backend().poly_frommsg(p, msg); }
void poly_tomsg(uint8_t msg[32], const Poly& p) { backend().poly_tomsg(msg, p); }

// ---------------------------------------------------------------------------
// Hex and constant-time helpers.

void hex_encode(char* out, const uint8_t* in, size_t len) { backend().hex_encode(out, in, len); }

bool hex_decode(uint8_t* out, const char* hex, size_t hexlen) {
  return backend().hex_decode(out, hex, hexlen);
}

uint8_t ct_equal(const uint8_t* a, const uint8_t* b, size_t len) {
  return backend().ct_equal(a, b, len);
}

void ct_select(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t len, uint8_t take_a) {
  backend().ct_select(out, a, b, len, take_a);
}

}  // namespace native
}  // namespace latkem
