#!/usr/bin/env bash
# Connection soak: one client connects to the real server, asks its status and
# disconnects, again and again (default 20000 times, 20 ms apart). Runs in a
# prefix of its own (build/soakprefix) so that it can run beside the tests.
# Arguments after the build folder go to the soak program:
#   scripts/soak.sh [build folder] [connections] [pause ms] [stall limit s]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
export WINEPREFIX="${SOAK_WINEPREFIX:-$build/soakprefix}"
source "$root/scripts/wine-env.sh"
wine_prefix_create
trap wine_stop EXIT
wine_start
wine_keep_desktop "$build"
wine_register_opc_proxy "$build"
wine_register_server "$build"
exe="$build/app/Tovi Explorer.exe"
"$WINE" "$build/tools/connection_soak.exe" "Z:${exe//\//\\}" "$@" </dev/null
