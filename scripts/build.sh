#!/usr/bin/env bash
# Configures (once) and builds the x86_64 tree in build/, or the tree named by $1 with its toolchain $2.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
toolchain="${2:-$root/cmake/toolchain-mingw-x86_64.cmake}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
