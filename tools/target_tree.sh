# Sourced by .ci/cross and tools/wheels.sh: Debian's CPython and numpy for
# another processor, unpacked into a tree that qemu-user takes as the target's
# root.  Needs $work (a scratch directory), $work/tools/bin/python (a venv
# with pip) and Debian's <arch> packages enabled (dpkg --add-architecture).

# target_tree DEBARCH QEMU PROCESSOR WHEEL-PLATFORM: the packages and their
# libraries (the dependency closure, less what only installing or building
# needs and the optional BLAS flavours: the reference BLAS and LAPACK serve),
# unpacked into $work/DEBARCH, the tree that qemu -L takes as the target's
# root and the toolchain file as LATKEM_TARGET_ROOT; pytest and hypothesis
# for it in $work/pydeps-DEBARCH.  Sets $target_python (the interpreter as
# one host command) and $target_versions.
target_tree() {
  local arch=$1 qemu=$2 processor=$3 platform=$4
  local tree="$work/$arch" debs="$work/debs-$arch"
  mkdir -p "$tree" "$debs"
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances \
    "python3:$arch" "libpython3-dev:$arch" "python3-numpy:$arch" "libstdc++6:$arch" \
    2>/dev/null |
    grep -E "^[a-z0-9].*:$arch\$" |
    grep -vE '^(dpkg|install-info|tar|perl|libperl|libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto|zlib1g-dev|libexpat1-dev|libatlas|libblis|libopenblas|libgomp)' |
    sort -u >"$debs/packages"
  (cd "$debs" && flock /tmp/latkem-apt.lock apt-get download -qq -o APT::Sandbox::User=root $(cat packages))
  local deb
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$tree"; done
  # dpkg's alternatives are not run by dpkg -x: the links numpy loads.
  local blas libdir
  blas=$(echo "$tree"/usr/lib/*/blas/libblas.so.3)
  libdir=$(dirname "$(dirname "$blas")")
  ln -sf blas/libblas.so.3 "$libdir/libblas.so.3"
  ln -sf lapack/liblapack.so.3 "$libdir/liblapack.so.3"
  local pyver
  pyver=$(cd "$tree/usr/bin" && ls python3.* | grep -E '^python3\.[0-9]+$' | sort -V | tail -n 1)
  # With its own path as argv[0] the interpreter takes the tree's usr/ as its
  # prefix and reports this script as sys.executable, so the tests that start
  # a fresh interpreter start this one.
  target_python="$tree/usr/bin/$pyver-qemu"
  printf '#!/bin/sh\nbin=$(dirname "$0")\nexec %s -L "$bin/../.." -0 "$0" "$bin/%s" "$@"\n' \
    "$qemu" "$pyver" >"$target_python"
  chmod +x "$target_python"
  target_versions="$pyver, numpy $("$target_python" -c \
    "import numpy, platform; assert platform.machine() == '$processor'; print(numpy.__version__)")"
  "$work/tools/bin/python" -m pip install -q --target "$work/pydeps-$arch" --only-binary=:all: \
    --platform "$platform" --implementation cp \
    --python-version "${pyver#python}" pytest hypothesis >>"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log" >&2; return 1; }
}

