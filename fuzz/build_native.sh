#!/usr/bin/env bash
# Builds the libFuzzer target for the native core (fuzz/fuzz_native.cpp) with
# AddressSanitizer and UndefinedBehaviorSanitizer, through CMake
# (LATKEM_BUILD_FUZZ=ON instruments the core too).  Usage, from anywhere:
#   bash fuzz/build_native.sh [output directory]     (default build/fuzz)
# CXX picks the compiler (default clang++; it needs clang's libFuzzer runtime).
# Prints the path of the fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/fuzz}"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
CXX="${CXX:-clang++}" cmake -S "$root" -B "$out" "${generator[@]}" \
  -DLATKEM_BUILD_MODULE=OFF -DLATKEM_BUILD_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$out" --target fuzz_native -j 2 >/dev/null
echo "$out/fuzz_native"
