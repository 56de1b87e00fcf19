// What a call leaves behind in memory (probe.h), for tests/test_wipes.py:
// built with LATKEM_WIPE_PROBE only.  The test arms the probe and makes one
// call; the probe keeps
//   - the 64 KiB of stack below the entry of that call, painted before the
//     body runs and copied once it has returned: the frames of the native
//     path and of the core it called, as they were left;
//   - every heap block the module freed while the body ran, copied as it was
//     just before it went back to the allocator (this build's operator
//     delete): the copies of arguments and the decoded texts of the native
//     paths, among others.
// The test then looks for words of the call's secrets in both.  Nested calls
// of module functions are part of the outer one.
#include "frame/probe.h"

#ifdef LATKEM_WIPE_PROBE
#include "frame/latkem.h"

#if !defined(__GLIBC__)
#error "LATKEM_WIPE_PROBE reads the size of a freed block with glibc's malloc_usable_size"
#endif
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace latkem {
namespace probe {
namespace {

constexpr size_t kStack = 64 * 1024;
constexpr size_t kFreedMax = size_t(16) << 20;

bool armed = false;
int depth = 0;  // calls of module functions running
bool recording = false;
uint8_t stack_copy[kStack];
uint8_t* freed = nullptr;  // from malloc: the probe's own memory is not recorded
size_t freed_len = 0;
bool freed_overflow = false;

// Paints the region below the caller's frame (copy null) or copies it out;
// one function for both, so that both see the same addresses.
__attribute__((noinline)) void stack_region(uint8_t* copy) {
  uint8_t region[kStack];
  volatile uint8_t* r = region;
  if (copy == nullptr) {
    for (size_t i = 0; i < kStack; ++i) r[i] = uint8_t(0xA5 ^ (i * 131 >> 3));
  } else {
    for (size_t i = 0; i < kStack; ++i) copy[i] = r[i];
  }
}

}  // namespace

Call::Call() : active_(armed && depth == 0) {
  ++depth;
  if (!active_) return;
  armed = false;
  freed_len = 0;
  freed_overflow = false;
  stack_region(nullptr);
  recording = true;
}

Call::~Call() {
  --depth;
  if (!active_) return;
  recording = false;
  stack_region(stack_copy);
}

void freeing(void* p) noexcept {
  if (!recording || p == nullptr) return;
  const size_t n = malloc_usable_size(p);
  if (freed == nullptr) freed = static_cast<uint8_t*>(std::malloc(kFreedMax));
  if (freed == nullptr || n > kFreedMax - freed_len) {
    freed_overflow = true;
    return;
  }
  std::memcpy(freed + freed_len, p, n);
  freed_len += n;
}

}  // namespace probe
}  // namespace latkem

// The module's own allocation functions (hidden, as every symbol of the
// module): malloc and free, as the C++ runtime's are, with a look at each
// block freed.
void* operator new(std::size_t n) {
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
  latkem::probe::freeing(p);
  std::free(p);
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }

// The test's side, through ctypes: arm the probe for the next call, then read
// what it kept (the sizes are returned; -1 for freed blocks past the probe's
// room).
extern "C" __attribute__((visibility("default"))) void latkem_probe_arm() {
  latkem::probe::armed = true;
}

extern "C" __attribute__((visibility("default"))) long long latkem_probe_stack(void* out,
                                                                             size_t size) {
  using namespace latkem::probe;
  std::memcpy(out, stack_copy, size < kStack ? size : kStack);
  return static_cast<long long>(kStack);
}

extern "C" __attribute__((visibility("default"))) long long latkem_probe_freed(void* out,
                                                                             size_t size) {
  using namespace latkem::probe;
  if (freed_overflow) return -1;
  if (freed != nullptr) std::memcpy(out, freed, size < freed_len ? size : freed_len);
  return static_cast<long long>(freed_len);
}
#endif  // LATKEM_WIPE_PROBE
