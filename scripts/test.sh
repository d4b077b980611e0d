#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, checks that the
# 32-bit configuration compiles, and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
echo "== i686 configuration (compile only)"
bash "$root/scripts/build.sh" "$root/build-i686" "$root/cmake/toolchain-mingw-i686.cmake" >/dev/null

source "$root/scripts/wine-env.sh"
wine_prefix_create
trap wine_stop EXIT
wine_start
wine_keep_desktop "$root/build"
wine_register_opc_proxy "$root/build"
cd "$root/build"
ctest --output-on-failure -j2 --timeout 300 </dev/null
