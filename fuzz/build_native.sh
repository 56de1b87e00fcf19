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
       -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -I"$root/latkem_alg/native")
if grep -q 'void set_portable' "$root/latkem_alg/native/core.h"; then
  flags+=(-DLATKEM_HAVE_SET_PORTABLE)
fi
# The *_avx2.cpp files get the flags the module build gives them.
read -r -a vector_flags <<<"$(grep -o 'COMPILE_OPTIONS "[^"]*"' "$root/CMakeLists.txt" |
  head -n 1 | sed 's/^COMPILE_OPTIONS "//; s/"$//; s/;/ /g')"
[ "${#vector_flags[@]}" -gt 0 ] || vector_flags=(-mavx2 -mbmi2 -mbmi)
objs=()
for src in "$root"/latkem_alg/native/*.cpp "$root/fuzz/fuzz_native.cpp"; do
  extra=()
  case "$src" in *_avx2.cpp) extra=("${vector_flags[@]}") ;; esac
  obj="$out/obj/$(basename "${src%.cpp}").o"
  "$cxx" "${flags[@]}" "${extra[@]}" -c "$src" -o "$obj" &
  objs+=("$obj")
done
wait
for obj in "${objs[@]}"; do [ -f "$obj" ] || { echo "build_native: $obj failed" >&2; exit 1; }; done
"$cxx" -fsanitize=fuzzer,address,undefined "${objs[@]}" -o "$out/fuzz_native"
echo "$out/fuzz_native"
