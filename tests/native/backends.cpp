// Choosing the core: the list of cores, selection by name, and
// LATKEM_PORTABLE as read at the first use of the core.  (That the process
// starts on the core LATKEM_PORTABLE names is main's --expect-core.)
#include <cstdlib>
#include <string>

#include "check.h"

namespace selftest {
namespace {

void set_env(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

}  // namespace

void test_switch() {
  const std::string fastest = available_backend(0);
  size_t n = 0;
  while (available_backend(n) != nullptr) ++n;
  CHECK(std::string(available_backend(n - 1)) == "portable", "portable backend not listed last");
  CHECK(backend_available("portable") && !backend_available("none"), "backend_available");
  CHECK(!select_backend("none") && backend_name() == fastest, "unknown backend selected");
  for (size_t b = 0; b < n; ++b) {
    CHECK(select_backend(available_backend(b)) && backend_name() == std::string(available_backend(b)),
          "selecting %s", available_backend(b));
  }
  // The environment variable, as read at the first use of the core.
  set_env("LATKEM_PORTABLE", "1");
  select_default_backend();
  CHECK(std::string(backend_name()) == "portable", "LATKEM_PORTABLE=1 not honoured");
  set_env("LATKEM_PORTABLE", "0");
  select_default_backend();
  CHECK(backend_name() == fastest, "LATKEM_PORTABLE=0 not honoured");
}

}  // namespace selftest
