#!/usr/bin/env bash
# The OPC UA benchmark: the program's endpoint against a floor of the bare
# stack serving the same tags, measured by one client in one run.
#   bash scripts/ua-bench.sh [TAGS]     (default 100000 tags, 10000 of them measured)
# Environment: UA_BENCH_SECONDS (sustained phase, default 60), UA_BENCH_MEASURED
# (default 10000).
# Builds, makes the configuration with the program's own CSV import in a
# scratch folder, then runs the client (build/tools/uabench/ua_bench.exe,
# open62541 under Wine), which starts and ends both servers (ports 48461 and
# 48462) and prints the table.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tags="${1:-100000}"
measured="${UA_BENCH_MEASURED:-10000}"
seconds="${UA_BENCH_SECONDS:-60}"
floor_port=48461
port=48462
per_group=1000
build="$root/build"
[[ "$tags" =~ ^[0-9]+$ ]] && [ "$tags" -ge 1 ] || { echo "usage: ua-bench.sh [TAGS]" >&2; exit 2; }
[ "$measured" -le "$tags" ] || measured="$tags"

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$build" >/dev/null
# A prefix of its own: what it registers never meets the program's own runs.
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix-bench}"
source "$root/scripts/wine-env.sh"
exe="$build/app/Tovi Explorer.exe"
ports_free_or_exit "$floor_port" "$port"

work="$(mktemp -d)"
finish() {
  wine_stop
  rm -rf "$work"
}
trap finish EXIT

wine_prefix_create
wine_start
wine_register_opc_proxy "$build"
wine_register_server "$build"

# The tags: one device, groups of 1000 Double tags each.
awk -v n="$tags" -v g="$per_group" 'BEGIN {
  print "ItemID,Type,Access,Value,Volatile"
  for (k = 0; k < n; k++) printf "Dev.G%d.T%d,Double,Read/Write,0,0\n", int(k / g), k
}' >"$work/bench.csv"
config="$(winpath "$work/Bench.tvf")"
if ! timeout 600 "$WINE" "$exe" "$config" /Import "$(winpath "$work/bench.csv")" >"$work/import.txt" 2>&1 </dev/null; then
  echo "The import of $tags tags failed:" >&2
  cat "$work/import.txt" >&2
  exit 1
fi

# The prefix's wineserver works in a folder named after the prefix's device and inode.
wineserver_pid=0
server_dir="server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
for p in $(pgrep -x 'wineserver64|wineserver' || true); do
  if [ "$(basename "$(readlink "/proc/$p/cwd" 2>/dev/null)")" = "$server_dir" ]; then wineserver_pid=$p; fi
done

"$WINE" "$build/tools/uabench/ua_bench.exe" --floor-exe "$(winpath "$build/tools/uabench/ua_floor_server.exe")" \
  --tovi-exe "$(winpath "$exe")" --tovi-opc "$(winpath "$build/tools/tovi-opc/tovi-opc.exe")" --config "$config" \
  --tags "$tags" --measured "$measured" --per-group "$per_group" --seconds "$seconds" \
  --floor-port "$floor_port" --port "$port" --wineserver-pid "$wineserver_pid" --clock-ticks "$(getconf CLK_TCK)" </dev/null
