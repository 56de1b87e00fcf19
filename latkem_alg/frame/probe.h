// What a call leaves behind in memory, for tests/test_wipes.py: in a module
// built with the CMake option LATKEM_WIPE_PROBE only (the define of the same
// name), which no release build sets.  See probe.cpp.
#pragma once

#ifdef LATKEM_WIPE_PROBE
namespace latkem {
namespace probe {

// Around the body of a call from outside the module, once armed: paints the
// stack below the caller's frame when made, and when it goes keeps a copy of
// that stack as the body left it, beside the heap blocks the module freed
// meanwhile, each as it was when freed.
class Call {
 public:
  Call();
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  bool active_;
};

}  // namespace probe
}  // namespace latkem
#endif
