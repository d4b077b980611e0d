#!/usr/bin/env bash
# The history benchmark, each figure beside its floor in the same run:
#  1. in one process (build/tools/history_benchmark.exe): recording 10,000
#     historized tags at 100 ms against the same run with history off, the
#     bytes per Double sample, aggregates over 1,000,000 samples;
#  2. over OPC UA (build/tools/historybench/history_bench.exe): raw reads of
#     100,000 samples of one tag in pages of 10,000, from the program and from
#     the bare stack with its own in-memory history (ports 48481 and 48482).
#   bash scripts/history-bench.sh
# Environment: HISTORY_BENCH_SECONDS (each recording run, default 20),
# HISTORY_BENCH_PHASES (default "process,ua").
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${HISTORY_BENCH_SECONDS:-20}"
phases="${HISTORY_BENCH_PHASES:-process,ua}"
floor_port=48481
port=48482
build="$root/build"

bash "$root/scripts/setup.sh"
[ -f "$build/CMakeCache.txt" ] || bash "$root/scripts/build.sh" "$build" >/dev/null
cmake --build "$build" --target ToviExplorer history_benchmark history_floor_server history_bench -j"$(nproc)" >/dev/null
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
status=0

if [[ ",$phases," == *,process,* ]]; then
  "$WINE" "$build/tools/history_benchmark.exe" "/Seconds:$seconds" </dev/null || status=1
  echo
fi

if [[ ",$phases," == *,ua,* ]]; then
  printf 'ItemID,Type,Access,Value,Volatile,Historize\nH.T0,Double,Read/Write,0,0,true\n' >"$work/history.csv"
  config="$(winpath "$work/History.tvf")"
  if ! timeout 300 "$WINE" "$exe" "$config" /Import "$(winpath "$work/history.csv")" >"$work/import.txt" 2>&1 </dev/null; then
    echo "The import of the benchmark's tag failed:" >&2
    cat "$work/import.txt" >&2
    exit 1
  fi
  "$WINE" "$build/tools/historybench/history_bench.exe" \
    --floor-exe "$(winpath "$build/tools/historybench/history_floor_server.exe")" --tovi-exe "$(winpath "$exe")" \
    --config "$config" --floor-port "$floor_port" --port "$port" </dev/null || status=1
fi
exit $status
