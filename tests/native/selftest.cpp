// Self-test for the native core, run by ctest (tests/native/CMakeLists.txt).
// By hand, from the build directory (its CMake build writes vectors.txt there
// from tests/vectors/*.json with tests/native/make_vectors.py):
//   selftest [--core=portable|avx2] [vectors.txt]
//   selftest --expect-core=portable|avx2
// --core runs the checks on that core alone (default: on each core the
// processor offers, then compares them); --expect-core only reports whether
// the process started on that core (LATKEM_PORTABLE).  Exit status 0 when
// every check passes, 77 when the processor lacks the core asked for.
// The checks are grouped by concern, a file each (check.h lists them); the
// core's timings are bench/core_cycles.cpp's.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check.h"

using namespace selftest;

namespace {

std::string g_only;  // the cores the checks run on (--core=NAME), else all

// True if the backend is the one --core named or one of its variants
// ("neon" also takes "neon-sha3").
bool selected(const std::string& name) {
  return g_only.empty() || name == g_only || name.rfind(g_only + "-", 0) == 0;
}

// True if this processor runs a backend that --core selects.
bool any_selected() {
  for (size_t b = 0; available_backend(b) != nullptr; ++b)
    if (selected(available_backend(b))) return true;
  return false;
}

// Runs f on every backend this processor runs, naming it in failure messages.
template <class F>
void on_each_path(F f) {
  for (size_t b = 0; available_backend(b) != nullptr; ++b) {
    if (!selected(available_backend(b))) continue;
    select_backend(available_backend(b));
    g_path = available_backend(b);
    f();
  }
  select_backend(available_backend(0));
  g_path = "";
}

// The vector file's lines, split into words; false if it cannot be read.
bool read_lines(const char* path, Lines& lines) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::vector<std::string> f;
    std::string w;
    while (ss >> w) f.push_back(w);
    if (!f.empty()) lines.push_back(f);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = "vectors.txt";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--expect-core=", 0) == 0) {
      // The first use of the core in this process: LATKEM_PORTABLE decides.
      const std::string core = backend_name();
      const bool ok = core == a.substr(14);
      std::printf("started on the %s core%s\n", core.c_str(), ok ? "" : ": FAIL");
      return ok ? 0 : 1;
    } else if (a.rfind("--core=", 0) == 0) {
      g_only = a.substr(7);
      if (!any_selected()) {
        std::printf("no %s core on this machine: skipped\n", g_only.c_str());
        return 77;
      }
    } else if (a.rfind("--", 0) == 0) {
      std::printf("unknown option %s\n", a.c_str());
      return 2;
    } else {
      path = argv[i];
    }
  }
  Lines lines;
  if (!read_lines(path, lines)) {
    std::printf("cannot open %s (run from the repository root)\n", path);
    return 2;
  }

  on_each_path([&] {
    test_hashes(lines);
    test_reductions();
    test_ntt();
    test_cbd();
    test_uniform();
    test_packing();
    test_compress();
    test_bytes();
    test_vectors(lines);
    test_roundtrip();
    test_kem();
    test_stack_wiped();
  });
  test_switch();
  if (g_only != "portable") test_paths_agree();
  std::printf("%d checks, %d failures\n", g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}
