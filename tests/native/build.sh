#!/usr/bin/env bash
# Builds and runs the native self-test.  Usage, from anywhere:
#   bash tests/native/build.sh [extra g++ flags]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${LATKEM_NATIVE_BUILD:-$root/build/native-selftest}"
mkdir -p "$out"
g++ -std=c++17 -O2 -Wall -Wextra -Werror "$@" \
  "$root"/latkem_alg/native/keccak.cpp "$root"/latkem_alg/native/poly.cpp \
  "$root"/latkem_alg/native/bytes.cpp "$root"/latkem_alg/native/kpke.cpp \
  "$root"/tests/native/selftest.cpp -o "$out/selftest"
cd "$root"
"$out/selftest" tests/native/vectors.txt
