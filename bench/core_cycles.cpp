// Cycles of the native core alone (no Python): the byte-level work of
// CCA_KeyGen, CCA_Enc and CCA_Dec at a given rank, on the portable code or the
// AVX2 code.  First decile of many runs, time-stamp counter on x86-64, steady clock
// elsewhere (then in nanoseconds).  Also prints the pieces (Keccak, NTT, ...)
// so that a profile of the remaining time is at hand.
//
//   bash bench/core_cycles.sh [kk] [backend] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <x86intrin.h>
static inline uint64_t ticks() { return __rdtsc(); }
static const char* kUnit = "cycles";
#else
static inline uint64_t ticks() {
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}
static const char* kUnit = "ns";
#endif

using namespace latkem::native;

namespace {

template <class F>
uint64_t median_ticks(F&& f, int runs) {
  std::vector<uint64_t> t(runs);
  for (int i = 0; i < 8; ++i) f();
  for (int i = 0; i < runs; ++i) {
    const uint64_t a = ticks();
    f();
    t[i] = ticks() - a;
  }
  std::sort(t.begin(), t.end());
  return t[runs / 10];  // first decile: steadier than the median on a shared machine
}

volatile uint8_t sink;

}  // namespace

int main(int argc, char** argv) {
  const int kk = argc > 1 ? std::atoi(argv[1]) : 2;
  if (!select_backend(argc > 2 ? argv[2] : "portable")) {
    std::printf("no such core on this machine: %s\n", argv[2]);
    return 2;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 2001;
  const Params p{kk, kk == 2 ? 3 : 2, 2, kk == 4 ? 11 : 10, kk == 4 ? 5 : 4};
  std::printf("kk = %d, %s core, first decile of %d runs, %s\n", kk,
              backend_name(), runs, kUnit);

  uint8_t seed[32], m[32], z[32];
  for (int i = 0; i < 32; ++i) seed[i] = uint8_t(i), m[i] = uint8_t(100 + i), z[i] = uint8_t(7 * i);
  uint8_t pk[2048], sk[2048], ct[2048], again[2048], digest[32];
  char pk_text[4096], sk_text[4096], ct_text[4096], again_text[4096];
  const size_t pk_len = pk_bytes(p), sk_len = sk_bytes(p), ct_len = ct_bytes(p);

  // The same calls as the module's native paths (kem.cpp), hex included.
  // A fresh seed per key pair, as in use (the matrix then differs each time,
  // and the branches of its rejection sampling cannot be learnt).
  auto keygen = [&] {
    ++seed[0];
    kpke_keygen(p, seed, 32, pk, sk);
    sha3_256(pk, pk_len, digest);
    hex_encode(pk_text, pk, pk_len);
    hex_encode(sk_text, sk, sk_len);
    sink = uint8_t(pk_text[0] ^ sk_text[0] ^ digest[0]);
  };
  auto enc = [&] {
    uint8_t s[64], split[64], pre[64], key[32];
    hex_decode(pk, pk_text, 2 * pk_len);
    sha3_256(m, 32, s);
    sha3_256(pk, pk_len, s + 32);
    sha3_512(s, 64, split);
    kpke_enc(p, pk, s, split + 32, 32, ct);
    std::memcpy(pre, split, 32);
    sha3_256(ct, ct_len, pre + 32);
    shake256(pre, 64, key, 32);
    hex_encode(ct_text, ct, ct_len);
    sink = uint8_t(ct_text[0] ^ key[0]);
  };
  auto dec = [&] {
    uint8_t key[4096], s[64], split[64], pre[64], accept[32], reject[32], out[32];
    hex_decode(key, sk_text, 2 * sk_len);
    hex_decode(key + sk_len, pk_text, 2 * pk_len);
    hex_decode(ct, ct_text, 2 * ct_len);
    kpke_dec(p, ct, key, s);
    std::memcpy(s + 32, digest, 32);
    sha3_512(s, 64, split);
    kpke_enc(p, key + sk_len, s, split + 32, 32, again);
    hex_encode(again_text, again, ct_len);
    const uint8_t same = ct_equal(reinterpret_cast<const uint8_t*>(again_text),
                                  reinterpret_cast<const uint8_t*>(ct_text), 2 * ct_len);
    sha3_256(ct, ct_len, pre + 32);
    std::memcpy(pre, split, 32);
    shake256(pre, 64, accept, 32);
    std::memcpy(pre, z, 32);
    shake256(pre, 64, reject, 32);
    ct_select(out, accept, reject, 32, same);
    sink = out[0];
  };
  // The same two through the entry points that share the four-way Keccak
  // passes between the sampling and the hashes (kem_enc, kem_dec).
  auto enc_fused = [&] {
    uint8_t key[32];
    hex_decode(pk, pk_text, 2 * pk_len);
    kem_enc(p, pk, m, 32, ct, key);
    hex_encode(ct_text, ct, ct_len);
    sink = uint8_t(ct_text[0] ^ key[0]);
  };
  auto dec_fused = [&] {
    uint8_t key[4096], out[32], same;
    hex_decode(key, sk_text, 2 * sk_len);
    hex_decode(key + sk_len, pk_text, 2 * pk_len);
    hex_decode(ct, ct_text, 2 * ct_len);
    kem_dec(p, ct, ct_text, key, key + sk_len, digest, z, out, same);
    sink = uint8_t(out[0] ^ same);
  };
  keygen();
  enc();
  if (std::getenv("CORE_CYCLES_ONLY")) {  // one operation in a loop, for profilers
    const int which = std::atoi(std::getenv("CORE_CYCLES_ONLY"));
    for (int i = 0; i < runs; ++i) {
      if (which == 0) keygen(); else if (which == 1) enc(); else if (which == 2) dec();
      else if (which == 3) enc_fused(); else dec_fused();
    }
    return 0;
  }
  std::printf("  %-28s %9llu\n", "CCA_KeyGen (core)", (unsigned long long)median_ticks(keygen, runs));
  std::printf("  %-28s %9llu\n", "CCA_Enc (core)", (unsigned long long)median_ticks(enc, runs));
  std::printf("  %-28s %9llu\n", "CCA_Dec (core)", (unsigned long long)median_ticks(dec, runs));
  std::printf("  %-28s %9llu\n", "CCA_Enc (kem_enc)", (unsigned long long)median_ticks(enc_fused, runs));
  std::printf("  %-28s %9llu\n", "CCA_Dec (kem_dec)", (unsigned long long)median_ticks(dec_fused, runs));

  uint64_t st[25] = {1};
  Poly a, b, r, pv[4], qv[4];
  for (int i = 0; i < kN; ++i) a.c[i] = int16_t(i * 13 % kQ), b.c[i] = int16_t(i * 7 % kQ);
  for (int j = 0; j < 4; ++j) pv[j] = a, qv[j] = b;
  uint8_t buf[1024], rho[32] = {3};
  shake256(seed, 32, buf, sizeof buf);
  struct Piece { const char* name; uint64_t t; };
  const Piece pieces[] = {
      {"keccak_f1600", median_ticks([&] { keccak_f1600(st); }, runs)},
      {"sample_matrix_entry", median_ticks([&] { sample_matrix_entry(r, rho, 0, 1); }, runs)},
      {"sample_noise eta=3", median_ticks([&] { sample_noise(r, seed, 32, 5, 3); }, runs)},
      {"sample_noise eta=2", median_ticks([&] { sample_noise(r, seed, 32, 5, 2); }, runs)},
      {"cbd eta=2", median_ticks([&] { cbd(r, buf, 2); }, runs)},
      {"poly_ntt", median_ticks([&] { r = a; poly_ntt(r); }, runs)},
      {"poly_invntt_tomont", median_ticks([&] { r = a; poly_invntt_tomont(r); }, runs)},
      {"polyvec_basemul_acc (kk)", median_ticks([&] { polyvec_basemul_acc_montgomery(r, pv, qv, kk); }, runs)},
      {"poly_freeze", median_ticks([&] { r = a; poly_freeze(r); }, runs)},
      {"poly_compress d=10", median_ticks([&] { r = a; poly_compress(r, 10); }, runs)},
      {"poly_decompress d=10", median_ticks([&] { r = a; for (auto& c : r.c) c &= 1023; poly_decompress(r, 10); }, runs)},
      {"byte_encode d=12", median_ticks([&] { byte_encode(buf, a.c, 12); }, runs)},
      {"byte_encode d=10", median_ticks([&] { byte_encode(buf, a.c, 10); }, runs)},
      {"byte_decode d=10", median_ticks([&] { byte_decode(r.c, buf, 10); }, runs)},
      {"byte_decode d=12", median_ticks([&] { byte_decode(r.c, buf, 12); }, runs)},
      {"poly_tomsg", median_ticks([&] { poly_tomsg(buf, a); }, runs)},
      {"hex_encode pk", median_ticks([&] { hex_encode(pk_text, pk, pk_len); }, runs)},
      {"hex_decode pk", median_ticks([&] { hex_decode(pk, pk_text, 2 * pk_len); }, runs)},
      {"sha3_256 pk", median_ticks([&] { sha3_256(pk, pk_len, digest); }, runs)},
  };
  for (const Piece& x : pieces)
    std::printf("  %-28s %9llu\n", x.name, (unsigned long long)x.t);
  sink = uint8_t(st[0] ^ r.c[0] ^ buf[0]);
  return 0;
}
