#!/usr/bin/env bash
# Configures (once) and builds the x86_64 tree in build/, or the tree named by $1 with its toolchain $2.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
toolchain="${2:-$root/cmake/toolchain-mingw-x86_64.cmake}"
launcher=()
if command -v ccache >/dev/null; then
  # Paths relative to the tree, so that other checkouts of it share the cache.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
  # Debug information would otherwise tie each object to its checkout's folder.
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${launcher[@]}" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
