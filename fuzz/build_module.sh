#!/usr/bin/env bash
# Builds the module for fuzzing with atheris: clang with libFuzzer's coverage
# instrumentation (fuzzer-no-link), AddressSanitizer and
# UndefinedBehaviorSanitizer.  Usage, from anywhere:
#   bash fuzz/build_module.sh PYTHON [output directory]   (default build/fuzz-module)
# PYTHON is the interpreter the fuzzer runs on (atheris installed in it).  The
# module is then imported with PYTHONPATH=<output directory> and the sanitizer
# runtime that atheris ships preloaded (see fuzz/README.md).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${1:?usage: build_module.sh PYTHON [output directory]}"
out="${2:-$root/build/fuzz-module}"
cmake="$(command -v cmake)"
ninja="$(command -v ninja)"
# The runtime atheris ships predates -fsanitize=function's current handler
# name; that check is left out.  UBSan findings abort, so the fuzzer sees them.
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function"
flags+=" -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXX="${CXX:-clang++}" "$cmake" -S "$root" -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
  -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLATKEM_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="$flags" >/dev/null
"$ninja" -C "$out" >/dev/null
ls "$out"/Latkem*.so
