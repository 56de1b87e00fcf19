// The choice of backend: what the processor can run, checked once per
// process, and the selection.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "backend.h"
#include "core.h"

#if defined(LATKEM_HAVE_AVX2)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>  // _xgetbv
#include <intrin.h>     // __cpuid, __cpuidex
#else
#include <cpuid.h>
#endif
#endif

#if defined(LATKEM_HAVE_NEON_SHA3) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(LATKEM_HAVE_NEON_SHA3) && defined(__APPLE__)
#include <sys/sysctl.h>
#endif

namespace latkem {
namespace native {
namespace {

#if defined(LATKEM_HAVE_AVX2)
// cpuid leaf `leaf`, subleaf `sub`: r = eax, ebx, ecx, edx.
void cpuid(unsigned leaf, unsigned sub, unsigned r[4]) {
#if defined(_MSC_VER) && !defined(__clang__)
  int v[4];
  __cpuidex(v, int(leaf), int(sub));
  for (int k = 0; k < 4; ++k) r[k] = unsigned(v[k]);
#else
  __cpuid_count(leaf, sub, r[0], r[1], r[2], r[3]);
#endif
}

// XCR0; only called once cpuid has reported OSXSAVE.
uint64_t read_xcr0() {
#if defined(_MSC_VER) && !defined(__clang__)
  return _xgetbv(0);
#else
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
#endif
}

// AVX2, BMI1, BMI2 and POPCNT, with the YMM registers saved by the OS.
bool cpu_has_avx2() {
  unsigned r[4];
  cpuid(0, 0, r);
  if (r[0] < 7) return false;
  cpuid(1, 0, r);
  const bool popcnt = (r[2] >> 23) & 1, osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1;
  if (!popcnt || !osxsave || !avx) return false;
  if ((read_xcr0() & 0x6) != 0x6) return false;  // XMM and YMM state enabled
  cpuid(7, 0, r);
  const bool avx2 = (r[1] >> 5) & 1, bmi1 = (r[1] >> 3) & 1, bmi2 = (r[1] >> 8) & 1;
  return avx2 && bmi1 && bmi2;
}
#endif

#if defined(LATKEM_HAVE_NEON_SHA3)
// The Armv8.2 SHA-3 instructions, as the OS reports them.
bool cpu_has_sha3() {
#if defined(__linux__)
  return (getauxval(AT_HWCAP) & (1ul << 17)) != 0;  // HWCAP_SHA3
#elif defined(__APPLE__)
  int v = 0;
  size_t n = sizeof v;
  return sysctlbyname("hw.optional.armv8_2_sha3", &v, &n, nullptr, 0) == 0 && v != 0;
#else
  return false;
#endif
}
#endif

bool always() { return true; }

struct Candidate {
  const Backend* backend;
  bool (*runs_here)();
};

// Every backend of this build, fastest first; the portable one last.
const Candidate kCandidates[] = {
#if defined(LATKEM_HAVE_AVX2)
    {&avx2::kBackend, cpu_has_avx2},
#endif
#if defined(LATKEM_HAVE_NEON_SHA3)
    {&neon::kBackendSha3, cpu_has_sha3},
#endif
#if defined(LATKEM_HAVE_NEON)
    {&neon::kBackend, always},  // part of the base instruction set
#endif
    {&portable::kBackend, always},
};
constexpr size_t kCount = sizeof kCandidates / sizeof kCandidates[0];

// Filled once, by the first caller (function-local static: thread-safe).
struct Available {
  const Backend* list[kCount + 1];
  Available() : list() {
    size_t n = 0;
    for (const Candidate& c : kCandidates)
      if (c.runs_here()) list[n++] = c.backend;
  }
};

const Available& available() {
  static const Available a;
  return a;
}

bool env_portable() {
  const char* v = std::getenv("LATKEM_PORTABLE");
  return v != nullptr && v[0] != '\0' && !(v[0] == '0' && v[1] == '\0');
}

// The fastest available, or the portable one when the environment asks.
const Backend* default_backend() {
  return env_portable() ? &portable::kBackend : available().list[0];
}

}  // namespace

namespace detail {

std::atomic<const Backend*> active_backend{nullptr};

// The first choice.  Concurrent first callers store the same value.
const Backend& choose_backend() {
  const Backend* b = default_backend();
  const Backend* expected = nullptr;
  if (!active_backend.compare_exchange_strong(expected, b)) return *expected;
  return *b;
}

}  // namespace detail

const Backend* const* available_backends() { return available().list; }

bool select_backend(const char* name) {
  for (const Backend* const* b = available_backends(); *b != nullptr; ++b) {
    if (std::strcmp((*b)->name, name) == 0) {
      detail::active_backend.store(*b, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void select_default_backend() {
  detail::active_backend.store(default_backend(), std::memory_order_relaxed);
}

const char* backend_name() { return backend().name; }

const char* available_backend(size_t i) {
  const Backend* const* list = available_backends();
  for (size_t k = 0; k < i; ++k)
    if (list[k] == nullptr) return nullptr;
  return list[i] != nullptr ? list[i]->name : nullptr;
}

bool backend_available(const char* name) {
  for (const Backend* const* b = available_backends(); *b != nullptr; ++b)
    if (std::strcmp((*b)->name, name) == 0) return true;
  return false;
}

}  // namespace native
}  // namespace latkem
