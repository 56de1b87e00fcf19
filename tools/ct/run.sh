#!/usr/bin/env bash
# Builds the secret-independence driver against the native core (CMake,
# LATKEM_BUILD_CT=ON) and runs it under valgrind's memcheck; fails on any
# memcheck report.  Usage, from anywhere:
#   bash tools/ct/run.sh [extra compiler flags]
# CXX picks the compiler (default g++), LATKEM_CT_BUILD the build directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${LATKEM_CT_BUILD:-$root/build/ct}"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# The core is built as the module builds it (Release: -O3), with debug
# information for memcheck's stack traces.
CXX="${CXX:-g++}" cmake -S "$root" -B "$out" "${generator[@]}" \
  -DLATKEM_BUILD_MODULE=OFF -DLATKEM_BUILD_CT=ON -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-g $*" >/dev/null
cmake --build "$out" --target ct_driver -j 2 >/dev/null

# First the canary: a secret-dependent branch and table index must be reported.
canary=$(valgrind --tool=memcheck --error-exitcode=99 "$out/ct_driver" canary 2>&1) && {
  echo "$canary" >&2
  echo "ct: FAILED: memcheck did not report the canary's secret-dependent branch" >&2
  exit 1
}
echo "ct: canary reported as expected ($(echo "$canary" | grep -c 'uninitialised') reports)"

log="$out/memcheck.log"
status=0
valgrind --tool=memcheck --error-exitcode=99 --track-origins=yes --num-callers=30 \
  --log-file="$log" "$out/ct_driver" || status=$?
summary=$(grep -E 'ERROR SUMMARY' "$log" | tail -n 1 | sed 's/^==[0-9]*== //')
echo "ct: memcheck: $summary"
if [ "$status" -ne 0 ]; then
  head -n 400 "$log" >&2
  echo "ct: FAILED (exit $status)" >&2
  exit 1
fi
