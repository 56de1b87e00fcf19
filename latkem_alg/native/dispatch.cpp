// Choice between the portable and the AVX2 code paths.
#include <atomic>
#include <cstdlib>

#include "avx2.h"
#include "core.h"

#if LATKEM_X86
#include <cpuid.h>
#endif

namespace latkem {
namespace native {
namespace {

#if LATKEM_X86
// XCR0 through xgetbv; only called once cpuid has reported OSXSAVE.
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}

bool detect_avx2() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
  if (!osxsave || !avx) return false;
  if ((read_xcr0() & 0x6) != 0x6) return false;  // XMM and YMM state enabled
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, a, b, c, d);
  const bool avx2 = (b >> 5) & 1, bmi1 = (b >> 3) & 1, bmi2 = (b >> 8) & 1;
  return avx2 && bmi1 && bmi2;
}
#else
bool detect_avx2() { return false; }
#endif

bool env_portable() {
  const char* v = std::getenv("LATKEM_PORTABLE");
  return v != nullptr && v[0] != '\0' && !(v[0] == '0' && v[1] == '\0');
}

struct PathState {
  bool available;
  std::atomic<bool> portable;
  PathState() : available(detect_avx2()), portable(env_portable()) {}
};

PathState& path_state() {
  static PathState s;
  return s;
}

}  // namespace

bool avx2_available() { return path_state().available; }

void set_portable(bool on) { path_state().portable.store(on, std::memory_order_relaxed); }

bool using_avx2() {
  const PathState& s = path_state();
  return s.available && !s.portable.load(std::memory_order_relaxed);
}

}  // namespace native
}  // namespace latkem
