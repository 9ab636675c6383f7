# shellcheck shell=bash
# Sourced by scripts/test.sh and scripts/fuzz-smoke.sh (with $root set): the
# CMake arguments that make their builds fast, in vantrel_build_args, and what
# they chose, in vantrel_build_note.
# - ccache, when it is installed and its cache can be written. The cache is
#   ccache's own (its configuration says where; ~/.cache/ccache by default),
#   never in the tree. Paths are taken relative to the tree (CCACHE_BASEDIR),
#   and the Sanitize build type writes them so into the debug information,
#   so that a fresh clone, wherever it is, is served from the objects
#   another clone compiled. The test programs include GoogleTest precompiled;
#   ccache caches such compiles only when allowed to trust the header's
#   macros and time stamps (pch_defines,time_macros).
# - lld, when it is installed: it links the sanitizer builds several times
#   faster than the default linker.
vantrel_build_args=()
vantrel_build_note=()
_cache_dir=$(ccache -k cache_dir 2>/dev/null || true)
if [ -n "$_cache_dir" ] && mkdir -p "$_cache_dir" 2>/dev/null && [ -w "$_cache_dir" ]; then
  vantrel_build_args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  _sloppiness=$(ccache -k sloppiness 2>/dev/null | tr -d " " || true)
  export CCACHE_SLOPPINESS=${_sloppiness:+$_sloppiness,}pch_defines,time_macros
  vantrel_build_note+=("ccache in $_cache_dir")
else
  vantrel_build_args+=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
  vantrel_build_note+=("no compiler cache (ccache missing or its cache not writable)")
fi
if command -v ld.lld >/dev/null; then
  vantrel_build_args+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld
    -DCMAKE_MODULE_LINKER_FLAGS=-fuse-ld=lld)
  vantrel_build_note+=("lld")
fi
unset _cache_dir _sloppiness
