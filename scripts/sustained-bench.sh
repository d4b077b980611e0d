#!/usr/bin/env bash
# Sustained changes: the program serving DEVICES x 100,000 mixed tags, a tenth
# of them simulated counters adding one each second (100,000 changes a second
# at 10 devices), to one DA 2.0 client (10,000 items, 1,000 ms) and one UA
# session (10,000 monitored items sampled every 1,000 ms) at once: changes
# made and delivered, none missed, the server's CPU per change and memory.
#   bash scripts/sustained-bench.sh [DEVICES]   (1 to 10, default 10)
# Environment: SUSTAINED_SECONDS (default 60), SUSTAINED_WARMUP (20),
# SUSTAINED_ITEMS (10000 per client), SUSTAINED_QUEUE (UA queue size, 1),
# SUSTAINED_SAMPLING (UA sampling interval in ms, 1000).
# Runs in a Wine prefix of its own (build/wineprefix-sustained), port 48471.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
devices="${1:-10}"
build="$root/build"
port=48471
export WINEPREFIX="$build/wineprefix-sustained"
source "$root/scripts/wine-env.sh"
cmake --build "$build" --target sustained_benchmark -j2 >/dev/null
ports_free_or_exit "$port"
trap wine_stop EXIT
wine_prefix_create
wine_start
wine_register_opc_proxy "$build"
wine_register_server "$build"

# The prefix's wineserver works in a folder named after the prefix's device and inode.
wineserver_pid=0
server_dir="server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
for p in $(pgrep -x 'wineserver64|wineserver' || true); do
  if [ "$(basename "$(readlink "/proc/$p/cwd" 2>/dev/null)")" = "$server_dir" ]; then wineserver_pid=$p; fi
done

"$WINE" "$build/tools/uabench/sustained_benchmark.exe" --devices "$devices" --port "$port" \
  --seconds "${SUSTAINED_SECONDS:-60}" --warmup "${SUSTAINED_WARMUP:-20}" --items "${SUSTAINED_ITEMS:-10000}" \
  --queue "${SUSTAINED_QUEUE:-1}" --sampling "${SUSTAINED_SAMPLING:-1000}" --wineserver-pid "$wineserver_pid" --clock-ticks "$(getconf CLK_TCK)" </dev/null
