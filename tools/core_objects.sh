# Compiles the native core and the given extra sources into objects, the
# *_avx2.cpp files with the vector flags the module build gives them.  Meant
# to be sourced; call as
#   core_objects OUTDIR COMPILER "EXTRA SOURCES" FLAGS...
# and the object paths are left in the array `objs`.
core_objects() {
  local out=$1 cxx=$2 extra_sources=$3
  shift 3
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  local vector_flags
  read -r -a vector_flags <<<"$(grep -o 'COMPILE_OPTIONS "[^"]*"' "$root/CMakeLists.txt" |
    head -n 1 | sed 's/^COMPILE_OPTIONS "//; s/"$//; s/;/ /g')"
  [ "${#vector_flags[@]}" -gt 0 ] || vector_flags=(-mavx2 -mbmi2 -mbmi)
  objs=()
  local src obj extra
  for src in "$root"/latkem_alg/native/*.cpp $extra_sources; do
    extra=()
    case "$src" in *_avx2.cpp) extra=("${vector_flags[@]}") ;; esac
    obj="$out/$(basename "${src%.cpp}").o"
    "$cxx" "$@" -I"$root/latkem_alg/native" "${extra[@]}" -c "$src" -o "$obj" &
    objs+=("$obj")
  done
  wait
  for obj in "${objs[@]}"; do
    [ -f "$obj" ] || { echo "core_objects: $obj failed" >&2; return 1; }
  done
}
