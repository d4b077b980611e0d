#!/usr/bin/env bash
# The OPC UA endpoint at a million tags beside the floor (the bare stack with
# as many variables): memory, start, Read, Browse, paging, 100,000 monitored
# items, and the endpoint's work for shape changes at 10,000 and 1,000,000.
#   bash scripts/ua-million-bench.sh [DEVICES]   (10 devices of 100,000 tags; 2 to 10)
# Runs in a Wine prefix of its own (build/wineprefix-million), ports 48465 and
# 48466; prints the table with each goal.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
devices="${1:-10}"
build="$root/build"
export WINEPREFIX="$build/wineprefix-million"
source "$root/scripts/wine-env.sh"
cmake --build "$build" --target ua_million_benchmark ua_floor_server -j2 >/dev/null
ports_free_or_exit 48465 48466
trap wine_stop EXIT
wine_prefix_create
wine_start
"$WINE" "$build/tools/uabench/ua_million_benchmark.exe" --devices "$devices" --port 48465 --floor-port 48466 \
  --floor-exe "$(winpath "$build/tools/uabench/ua_floor_server.exe")"
