# Compiles the native core and the given extra sources into objects: the
# shared files, the portable backend and, on x86-64, the AVX2 backend with
# the vector flags the module build gives it.  Meant
# to be sourced; call as
#   core_objects OUTDIR COMPILER "EXTRA SOURCES" FLAGS...
# and the object paths are left in the array `objs`.
core_objects() {
  local out=$1 cxx=$2 extra_sources=$3
  shift 3
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  local native="$root/latkem_alg/native"
  local sources=("$native"/*.cpp "$native"/portable/*.cpp)
  local defines=() vector_flags=()
  # The AVX2 backend on x86-64 targets only, its folder alone with the flags;
  # the NEON backend on 64-bit Arm, where it needs none.
  case "$("$cxx" -dumpmachine)" in
    x86_64-* | amd64-*)
      sources+=("$native"/avx2/*.cpp)
      defines=(-DLATKEM_HAVE_AVX2=1)
      vector_flags=(-mavx2 -mbmi2 -mbmi)
      ;;
    aarch64-*)  # little-endian only
      sources+=("$native"/neon/*.cpp)
      defines=(-DLATKEM_HAVE_NEON=1)
      ;;
  esac
  objs=()
  local src obj extra dir
  for src in "${sources[@]}" $extra_sources; do
    extra=()
    dir=$(basename "$(dirname "$src")")
    case "$src" in "$native"/avx2/*) extra=("${vector_flags[@]}") ;; esac
    case "$src" in "$native"/*/*) obj="$out/${dir}_$(basename "${src%.cpp}").o" ;;
                   *) obj="$out/$(basename "${src%.cpp}").o" ;; esac
    "$cxx" "$@" "${defines[@]}" -I"$native" "${extra[@]}" -c "$src" -o "$obj" &
    objs+=("$obj")
  done
  wait
  for obj in "${objs[@]}"; do
    [ -f "$obj" ] || { echo "core_objects: $obj failed" >&2; return 1; }
  done
}
