#!/usr/bin/env bash
# Builds bench/core_cycles.cpp against the native core, with the flags of the
# module's release build, and runs it.  Usage: bash bench/core_cycles.sh [kk] [portable|avx2] [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${LATKEM_BENCH_BUILD:-$root/build/core-cycles}"
mkdir -p "$out"
src="$root/latkem_alg/native"
flags=(-std=c++17 -O3 -DNDEBUG -fno-strict-aliasing ${CORE_CYCLES_FLAGS:-})
objs=()
for f in "$src"/*.cpp "$root"/bench/core_cycles.cpp; do
  name=$(basename "$f" .cpp)
  extra=()
  case "$name" in *_avx2) extra=(-mavx2 -mbmi2 -mbmi) ;; esac
  if [ ! -e "$out/$name.o" ] || [ "$f" -nt "$out/$name.o" ] || [ -n "$(find "$src" -name '*.h' -newer "$out/$name.o")" ]; then
    g++ "${flags[@]}" "${extra[@]}" -I"$root/latkem_alg" -c "$f" -o "$out/$name.o"
  fi
  objs+=("$out/$name.o")
done
g++ "${flags[@]}" "${objs[@]}" -o "$out/core_cycles"
"$out/core_cycles" "$@"
