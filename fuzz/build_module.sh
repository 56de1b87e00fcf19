#!/usr/bin/env bash
# Builds the module for fuzzing with atheris, with clang.  Usage, from anywhere:
#   bash fuzz/build_module.sh PYTHON [output directory] [coverage|ubsan]
# (default output build/fuzz-module, default kind coverage).  PYTHON is the
# interpreter the fuzzer runs on (atheris installed in it).
#
# coverage: AddressSanitizer and one coverage flag per edge of the module's
#   code (inline-bool-flag, handed to libFuzzer by edge_flags.so, built next
#   to the module); the fuzzer is guided by, and its edge count is, the
#   module's own code, every edge that ran in an input counted whatever the
#   number of times.  No UndefinedBehaviorSanitizer: its checks add a branch
#   to a report for each of them, never taken without a finding.
# ubsan: AddressSanitizer and UndefinedBehaviorSanitizer (findings abort),
#   with libFuzzer's usual instrumentation, to run the inputs the coverage
#   build found (.ci/fuzz runs the grown corpus through it).
#
# The module is then imported with PYTHONPATH=<output directory> and the
# sanitizer runtime that atheris ships preloaded (see fuzz/README.md).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${1:?usage: build_module.sh PYTHON [output directory] [coverage|ubsan]}"
out="${2:-$root/build/fuzz-module}"
kind="${3:-coverage}"
cmake="$(command -v cmake)"
ninja="$(command -v ninja)"
cxx="${CXX:-clang++}"
flags="-fsanitize=address -fno-omit-frame-pointer -DLATKEM_FAULT_SITES"
case "$kind" in
  coverage)
    flags+=" -fsanitize-coverage=inline-bool-flag,pc-table,trace-cmp"
    mkdir -p "$out"
    "${CC:-clang}" -shared -fPIC -O1 "$root/fuzz/edge_flags.c" -o "$out/edge_flags.so"
    ;;
  ubsan)
    # The runtime atheris ships predates -fsanitize=function's current
    # handler name; that check is left out.
    flags+=" -fsanitize=undefined,fuzzer-no-link -fno-sanitize=function"
    flags+=" -fno-sanitize-recover=undefined"
    ;;
  *) echo "build_module.sh: unknown kind $kind (coverage or ubsan)" >&2; exit 2 ;;
esac
CXX="$cxx" "$cmake" -S "$root" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
  -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLATKEM_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
"$ninja" -C "$out" >/dev/null
ls "$out"/Latkem*.so
