#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, checks that the
# 32-bit configuration compiles, and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
echo "== i686 configuration (compile only)"
bash "$root/scripts/build.sh" "$root/build-i686" "$root/cmake/toolchain-mingw-i686.cmake" >/dev/null

# The tests bring up a Wine prefix of their own (scripts/test-prefix.sh, a
# ctest fixture) and stop it at the end; here only an interrupted run's is.
export WINEPREFIX="$root/build/wineprefix-tests"
source "$root/scripts/wine-env.sh"
trap wine_stop EXIT
cd "$root/build"
ctest --output-on-failure -j2 --timeout 300 </dev/null
