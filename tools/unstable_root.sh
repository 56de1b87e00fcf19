# Sourced by .ci/unstable and tools/wheels.sh: a root of Debian unstable,
# for the interpreters most people install today (CPython 3.14 and 3.15).
#
# The root gets this machine's CA bundle (the one pip uses here) and resolver
# configuration, so that pip reaches PyPI from inside, and its own few device
# nodes.  Only /proc is mounted inside, and it is unmounted when done; the
# root is removed only once nothing under it is mounted, and never across
# file systems.

# unstable_root WORK PACKAGES: makes the root in WORK/root with PACKAGES
# (comma-separated) and a copy of the sources, without build trees, in
# /src; sets $unstable (the root).  Call unstable_root_cleanup on exit.
unstable_root() {
  local work=$1 packages=$2 src
  src=$(pwd)
  unstable=$work/root
  if ! command -v debootstrap >/dev/null 2>&1; then
    flock /tmp/latkem-apt.lock apt-get update -qq &&
      flock /tmp/latkem-apt.lock apt-get install -y -qq debootstrap >/dev/null
  fi
  local started=$SECONDS
  debootstrap --variant=minbase --include="$packages" unstable "$unstable" \
    http://deb.debian.org/debian >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log"; return 1; }
  echo "unstable: root made in $((SECONDS - started)) s"
  local ca=${PIP_CERT:-$(python3 -m pip config get global.cert 2>/dev/null || true)}
  [ -n "$ca" ] && [ -f "$ca" ] || ca=/etc/ssl/certs/ca-certificates.crt
  mkdir -p "$unstable/etc/ssl/certs"
  cp "$ca" "$unstable/etc/ssl/certs/ca-certificates.crt"
  cp /etc/resolv.conf "$unstable/etc/resolv.conf"
  # The device nodes the root's programs open (made by debootstrap; made here
  # where it did not).
  local node name major minor
  for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    [ -c "$unstable/dev/$name" ] || mknod -m 666 "$unstable/dev/$name" c "$major" "$minor"
  done
  mount -t proc proc "$unstable/proc"
  mkdir -p "$unstable/src"
  tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$unstable/src" -xf -
}

# in_unstable SCRIPT: runs the shell script SCRIPT in the root, in a clean
# environment that reaches PyPI.
in_unstable() {
  chroot "$unstable" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_DEFAULT_TIMEOUT=180 /bin/sh -ec "$1"
}

# unstable_root_cleanup WORK: unmounts /proc, and removes WORK unless
# something is still mounted under it.
unstable_root_cleanup() {
  local work=$1
  if mountpoint -q "$work/root/proc" 2>/dev/null; then
    umount "$work/root/proc" || umount -l "$work/root/proc" || true
  fi
  if awk -v w="$work/" 'index($2, w) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
    echo "unstable: something is still mounted under $work; the root is left in place" >&2
    return
  fi
  rm -rf --one-file-system "$work"
}
