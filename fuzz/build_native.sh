#!/usr/bin/env bash
# Builds the libFuzzer target for the native core (fuzz/fuzz_native.cpp) with
# AddressSanitizer and UndefinedBehaviorSanitizer.  Usage, from anywhere:
#   bash fuzz/build_native.sh [output directory]     (default build/fuzz)
# CXX picks the compiler (default clang++; it needs clang's libFuzzer runtime).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/fuzz}"
cxx="${CXX:-clang++}"
mkdir -p "$out/obj"
rm -f "$out"/obj/*.o

flags=(-std=c++17 -O1 -g -fno-omit-frame-pointer -fno-strict-aliasing
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined)
source "$root/tools/core_objects.sh"
core_objects "$out/obj" "$cxx" "$root/fuzz/fuzz_native.cpp" "${flags[@]}"
"$cxx" -fsanitize=fuzzer,address,undefined "${objs[@]}" -o "$out/fuzz_native"
echo "$out/fuzz_native"
