#!/usr/bin/env bash
# Builds the secret-independence driver against the native core and runs it
# under valgrind's memcheck; fails on any memcheck report.  Usage, from
# anywhere:  bash tools/ct/run.sh [extra compiler flags]
# CXX picks the compiler (default g++), LATKEM_CT_BUILD the build directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${LATKEM_CT_BUILD:-$root/build/ct}"
cxx="${CXX:-g++}"
mkdir -p "$out"
rm -f "$out"/*.o

# The core is built as the module builds it (Release: -O3), with debug
# information for memcheck's stack traces.
flags=(-std=c++17 -O3 -g -fno-strict-aliasing "$@")
source "$root/tools/core_objects.sh"
core_objects "$out" "$cxx" "$root/tools/ct/ct_driver.cpp" "${flags[@]}"
# Calls of G (SHA3-512) from the other files go through the driver's wrapper,
# which makes rho defined once it is derived.
"$cxx" "${flags[@]}" "${objs[@]}" -Wl,--wrap=_ZN6latkem6native8sha3_512EPKhmPh \
  -o "$out/ct_driver"

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
