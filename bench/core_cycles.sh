#!/usr/bin/env bash
# Builds bench/core_cycles.cpp against the native core (the CMake target
# latkem_core, release flags) and runs it.
# Usage: bash bench/core_cycles.sh [kk] [portable|avx2|...] [runs]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${LATKEM_BENCH_BUILD:-$root/build/core-cycles}"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=Release -DLATKEM_BUILD_MODULE=OFF \
  -DLATKEM_BUILD_BENCH=ON >/dev/null
cmake --build "$out" --target core_cycles >/dev/null
"$out/core_cycles" "$@"
