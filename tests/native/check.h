// What every part of the native self-test shares: the check macro and its
// counts, a deterministic generator of inputs, small byte helpers, and the
// groups of tests that main (selftest.cpp) runs, each in a file of its own.
#ifndef LATKEM_TESTS_NATIVE_CHECK_H
#define LATKEM_TESTS_NATIVE_CHECK_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../../latkem_alg/native/backend.h"
#include "../../latkem_alg/native/core.h"

namespace selftest {

using namespace latkem::native;
using Bytes = std::vector<uint8_t>;
// The vector file, a line a list of words.
using Lines = std::vector<std::vector<std::string>>;

inline int g_failures = 0;
inline int g_checks = 0;
inline const char* g_path = "";  // code path the running test is on

#define CHECK(cond, ...)                                   \
  do {                                                     \
    ++g_checks;                                            \
    if (!(cond)) {                                         \
      ++g_failures;                                        \
      std::printf("FAIL [%s] %s:%d: ", g_path, __FILE__, __LINE__); \
      std::printf(__VA_ARGS__);                            \
      std::printf("\n");                                   \
    }                                                      \
  } while (0)

constexpr int Q = 3329;

// Deterministic generator for test inputs.
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed) {}
  uint64_t next() {
    s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return int(next() % uint64_t(n)); }
  Bytes bytes(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(next());
    return b;
  }
};

inline Bytes unhex(const std::string& s) {
  Bytes out;
  if (s == "-") return out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string tohex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

inline Bytes cat(const Bytes& a, const Bytes& b) {
  Bytes r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

inline int mod(long long a) { return int(((a % Q) + Q) % Q); }

// Every parameter set the core takes: kk 2 to 4, eta1 and eta2 2 or 3, du 10
// or 11, dv 4 or 5.
inline std::vector<Params> every_params() {
  std::vector<Params> sets;
  for (int kk = 2; kk <= 4; ++kk)
    for (int eta1 = 2; eta1 <= 3; ++eta1)
      for (int eta2 = 2; eta2 <= 3; ++eta2)
        for (int du = 10; du <= 11; ++du)
          for (int dv = 4; dv <= 5; ++dv) sets.push_back({kk, eta1, eta2, du, dv});
  return sets;
}

// The groups, a file each, run on each core in turn: Keccak (hashes.cpp),
// arithmetic and the NTT (arith.cpp), sampling (sampling.cpp), packing,
// compression and the byte helpers (encoding.cpp), the encryption scheme and
// the key encapsulation (scheme.cpp), what they leave on the stack (stack.cpp) ...
void test_hashes(const Lines& lines);
void test_reductions();
void test_ntt();
void test_cbd();
void test_uniform();
void test_packing();
void test_compress();
void test_bytes();
void test_vectors(const Lines& lines);
void test_roundtrip();
void test_kem();
void test_stack_wiped();
// ... and run once: choosing the core (backends.cpp), the cores against each
// other (paths.cpp).
void test_switch();
void test_paths_agree();

}  // namespace selftest

#endif  // LATKEM_TESTS_NATIVE_CHECK_H
