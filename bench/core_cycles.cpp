// Cycles of the native core alone (no Python): the byte-level work of
// CCA_KeyGen, CCA_Enc and CCA_Dec at a given rank, on the portable code or the
// AVX2 code.  First decile of many runs, time-stamp counter on x86-64, steady clock
// elsewhere (then in nanoseconds).  Also prints the pieces (Keccak, NTT, ...)
// so that a profile of the remaining time is at hand, and for each operation
// the least time its Keccak permutations take in the order their inputs
// allow (the "Keccak bound"), beside the core's time: the rest is the
// arithmetic, the hex and the handling of the lanes.
//
//   bash bench/core_cycles.sh [kk] [backend] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "backend.h"
#include "core.h"

#if defined(LATKEM_HAVE_AVX2)
namespace latkem {
namespace native {
namespace avx2 {
void keccakx4_f1600(uint64_t s[100]);  // avx2/avx2.h, which only its own folder includes
}
}  // namespace native
}  // namespace latkem
#endif

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

// Permutations of one sponge over len bytes at a rate (the padding included).
int hash_blocks(size_t len, size_t rate) { return int(len / rate) + 1; }
// Blocks of SHAKE-256 output the noise of one eta takes (64 * eta bytes).
int noise_blocks(int eta) { return (64 * eta + 135) / 136; }
int ceil4(int x) { return (x + 3) / 4; }
int max_of(int a, int b) { return a > b ? a : b; }

// The Keccak permutations one operation cannot do without, in the order
// their inputs allow, as the four-way code schedules them: permutations of
// one state that nothing can share (`single`), and four-way passes
// (`passes`), at least as many as the lane blocks need and as the longest
// chain of blocks that wait for each other.  A matrix entry is counted at
// the three blocks it almost always takes.
struct Chain {
  int single;
  int passes;
};

Chain keygen_chain(const Params& p) {
  const int lanes = 3 * p.kk * p.kk + 2 * p.kk * noise_blocks(p.eta1);
  // G(seed), then the matrix and the noise, then H(pk) over the public key.
  return {1 + hash_blocks(pk_bytes(p), 136), ceil4(lanes)};
}

Chain enc_chain(const Params& p) {
  const int hpk = hash_blocks(pk_bytes(p), 136);
  const int noise = p.kk * noise_blocks(p.eta1) + (p.kk + 1) * noise_blocks(p.eta2);
  const int lanes = hpk + 1 + 3 * p.kk * p.kk + noise;
  // H(pk) beside H(m) and the matrix; G (one state); the noise; then
  // H(c) and the KDF, one state each.
  const int chain = hpk + max_of(noise_blocks(p.eta1), noise_blocks(p.eta2));
  return {1 + hash_blocks(ct_bytes(p), 136) + 1, max_of(ceil4(lanes), chain)};
}

Chain dec_chain(const Params& p) {
  const int hc = hash_blocks(ct_bytes(p), 136);
  const int noise = p.kk * noise_blocks(p.eta1) + (p.kk + 1) * noise_blocks(p.eta2);
  const int lanes = hc + 1 + 3 * p.kk * p.kk + noise + 2;
  // H(c) beside G, the matrix and the noise; then the two KDFs.
  const int chain = max_of(hc, 1 + max_of(noise_blocks(p.eta1), noise_blocks(p.eta2))) + 1;
  return {0, max_of(ceil4(lanes), chain)};
}

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

  // The same calls as the module's native paths (bridge/kem.cpp), hex included.
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

  // The sampling alone, and the bound the Keccak permutations set.
  const Backend& be = backend();
  Poly mat[kMaxRank * kMaxRank], noise[2 * kMaxRank + 1];
  int keygen_eta[2 * kMaxRank + 1], enc_eta[2 * kMaxRank + 1];
  for (int i = 0; i < 2 * kk + 1; ++i) keygen_eta[i] = p.eta1, enc_eta[i] = i < kk ? p.eta1 : p.eta2;
  std::printf("  %-28s %9llu\n", "sampling of CCA_KeyGen",
              (unsigned long long)median_ticks([&] {
                ++seed[0];
                be.sample_matrix_and_noise(mat, seed, kk, false, noise, keygen_eta, 2 * kk, z, 32);
              }, runs));
  std::printf("  %-28s %9llu\n", "sampling of CCA_Enc",
              (unsigned long long)median_ticks([&] {
                ++seed[0];
                be.sample_matrix_and_noise(mat, seed, kk, true, noise, enc_eta, 2 * kk + 1, z, 32);
              }, runs));
  uint64_t pass = 4 * pieces[0].t;  // four states one after the other
  const char* pass_name = "4 x keccak_f1600";
#if defined(LATKEM_HAVE_AVX2)
  if (std::strcmp(backend_name(), "avx2") == 0) {
    alignas(32) uint64_t st4[100] = {1};
    pass = median_ticks([&] { avx2::keccakx4_f1600(st4); }, runs);
    pass_name = "keccakx4_f1600";
    sink = uint8_t(st4[0]);
  }
#endif
  std::printf("  %-28s %9llu\n", pass_name, (unsigned long long)pass);
  // The encryption scheme alone (sampling and arithmetic, no hashes of the
  // KEM, no hex): less the sampling, the arithmetic.
  uint8_t msg[32];
  std::printf("  %-28s %9llu\n", "kpke_keygen",
              (unsigned long long)median_ticks([&] { ++seed[0]; kpke_keygen(p, seed, 32, pk, sk); }, runs));
  kpke_keygen(p, seed, 32, pk, sk);
  std::printf("  %-28s %9llu\n", "kpke_enc",
              (unsigned long long)median_ticks([&] { ++seed[0]; kpke_enc(p, pk, m, seed, 32, ct); }, runs));
  std::printf("  %-28s %9llu\n", "kpke_dec",
              (unsigned long long)median_ticks([&] { kpke_dec(p, ct, sk, msg); }, runs));
  sink = msg[0];
  const uint64_t single = pieces[0].t;
  std::printf("Keccak bound (single states, and passes of four lanes, in the order the inputs\n"
              "allow; matrix entries of 3 blocks)\n");
  const struct { const char* name; Chain c; uint64_t core; } bounds[] = {
      {"CCA_KeyGen", keygen_chain(p), median_ticks(keygen, runs)},
      {"CCA_Enc", enc_chain(p), median_ticks(enc_fused, runs)},
      {"CCA_Dec", dec_chain(p), median_ticks(dec_fused, runs)},
  };
  for (const auto& b : bounds) {
    const uint64_t bound = b.c.single * single + b.c.passes * pass;
    std::printf("  %-11s %2d single + %2d passes = %6llu; core %6llu (%.2fx)\n", b.name,
                b.c.single, b.c.passes, (unsigned long long)bound, (unsigned long long)b.core,
                double(b.core) / double(bound));
  }
  sink = uint8_t(st[0] ^ r.c[0] ^ buf[0]);
  return 0;
}
