#!/usr/bin/env bash
# Builds and runs the native self-test.  Usage, from anywhere:
#   bash tests/native/build.sh [extra g++ flags]
# e.g. bash tests/native/build.sh -fsanitize=address,undefined -g
# On x86-64 the avx2 folder alone gets -mavx2 -mbmi2 -mbmi, as in the module build.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${LATKEM_NATIVE_BUILD:-$root/build/native-selftest}"
mkdir -p "$out"
flags=(-std=c++17 -O2 -Wall -Wextra -Werror "$@")
source "$root/tools/core_objects.sh"
core_objects "$out" g++ "$root/tests/native/selftest.cpp" "${flags[@]}"
g++ "${flags[@]}" "${objs[@]}" -o "$out/selftest"
cd "$root"
"$out/selftest" tests/native/vectors.txt
