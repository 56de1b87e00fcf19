#!/usr/bin/env bash
# Builds and runs the native self-test.  Usage, from anywhere:
#   bash tests/native/build.sh [extra g++ flags]
# e.g. bash tests/native/build.sh -fsanitize=address,undefined -g
# The *_avx2.cpp files alone get -mavx2 -mbmi2 -mbmi, as in the module build.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${LATKEM_NATIVE_BUILD:-$root/build/native-selftest}"
mkdir -p "$out"
src="$root/latkem_alg/native"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror "$@")
objs=()
pids=()
for f in "$src"/*.cpp "$root"/tests/native/selftest.cpp; do
  name=$(basename "$f" .cpp)
  extra=()
  case "$name" in *_avx2) extra=(-mavx2 -mbmi2 -mbmi) ;; esac
  g++ "${flags[@]}" "${extra[@]}" -c "$f" -o "$out/$name.o" &
  pids+=($!)
  objs+=("$out/$name.o")
done
for pid in "${pids[@]}"; do wait "$pid"; done
g++ "${flags[@]}" "${objs[@]}" -o "$out/selftest"
cd "$root"
"$out/selftest" tests/native/vectors.txt
