#!/usr/bin/env bash
# The alarm benchmark: the program serving 10,000 alarmed tags, measured by
# one open62541 client in one run (build/tools/alarmbench/alarm_bench.exe under
# Wine), which prints the table of figures and goals.
#   bash scripts/alarm-bench.sh
# Environment: ALARM_BENCH_SECONDS (the storm, default 60), ALARM_BENCH_WRITES
# (writes across a limit, default 50), ALARM_BENCH_BIG (plain tags of the start
# comparison, default 100000), ALARM_BENCH_BASE_EXE (a "Tovi Explorer.exe" built
# before alarms, whose start with those plain tags is compared with this one's),
# ALARM_BENCH_PHASES (some of start,big,crossing,storm,refresh; default all).
# The configurations come from the program's own CSV import in a scratch
# folder; the server serves on port 48472 with fault control allowed (the storm
# is a control item), the setting put back at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tags=10000
per_device=1000
big="${ALARM_BENCH_BIG:-100000}"
seconds="${ALARM_BENCH_SECONDS:-60}"
writes="${ALARM_BENCH_WRITES:-50}"
base="${ALARM_BENCH_BASE_EXE:-}"
phases="${ALARM_BENCH_PHASES:-start,big,crossing,storm,refresh}"
port=48472
build="$root/build"

bash "$root/scripts/setup.sh"
[ -f "$build/CMakeCache.txt" ] || bash "$root/scripts/build.sh" "$build" >/dev/null
cmake --build "$build" --target ToviExplorer alarm_bench -j"$(nproc)" >/dev/null
# A prefix of its own: what it registers never meets the program's own runs.
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix-bench}"
source "$root/scripts/wine-env.sh"
exe="$build/app/Tovi Explorer.exe"
ports_free_or_exit "$port"

work="$(mktemp -d)"
settings='HKLM\Software\Zelkor\Tovi Explorer\Settings'
fault=""
finish() {
  if [ -n "$fault" ]; then
    "$WINE" reg add "$settings" /v "Allow Fault Control" /t REG_DWORD /d "$((fault))" /f >/dev/null 2>&1 </dev/null
  else
    "$WINE" reg delete "$settings" /v "Allow Fault Control" /f >/dev/null 2>&1 </dev/null || true
  fi
  wine_stop
  rm -rf "$work"
}

wine_prefix_create
wine_start
trap finish EXIT
wine_register_opc_proxy "$build"
wine_register_server "$build"
fault="$({ "$WINE" reg query "$settings" /v "Allow Fault Control" 2>/dev/null </dev/null || true; } |
  sed -n 's/.*REG_DWORD[[:space:]]*//p' | tr -d '\r')"
"$WINE" reg add "$settings" /v "Allow Fault Control" /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null

# The same tags twice, without and with alarms (High 80, Low 20, value 50:
# normal); devices of 1000 tags, so that a storm on one covers 1000.
awk -v n="$tags" -v d="$per_device" 'BEGIN {
  print "ItemID,Type,Access,Value,Volatile"
  for (k = 0; k < n; k++) printf "D%d.T%d,Double,Read/Write,50,0\n", int(k / d), k
}' >"$work/plain.csv"
awk -v n="$tags" -v d="$per_device" 'BEGIN {
  print "ItemID,Type,Access,Value,Volatile,Alarm,AlarmHigh,AlarmLow"
  for (k = 0; k < n; k++) printf "D%d.T%d,Double,Read/Write,50,0,ExclusiveLimit,80,20\n", int(k / d), k
}' >"$work/alarms.csv"
awk -v n="$big" 'BEGIN {
  print "ItemID,Type,Access,Value,Volatile"
  for (k = 0; k < n; k++) printf "Dev.G%d.T%d,Double,Read/Write,0,0\n", int(k / 1000), k
}' >"$work/big.csv"
for name in plain alarms big; do
  if ! timeout 600 "$WINE" "$exe" "$(winpath "$work/$name.tvf")" /Import "$(winpath "$work/$name.csv")" \
    >"$work/import.txt" 2>&1 </dev/null; then
    echo "The import of $name.csv failed:" >&2
    cat "$work/import.txt" >&2
    exit 1
  fi
done

base_args=()
[ -z "$base" ] || base_args=(--base-exe "$(winpath "$(realpath "$base")")")
"$WINE" "$build/tools/alarmbench/alarm_bench.exe" --tovi-exe "$(winpath "$exe")" \
  --plain-config "$(winpath "$work/plain.tvf")" --alarm-config "$(winpath "$work/alarms.tvf")" \
  --big-config "$(winpath "$work/big.tvf")" --tags "$tags" --per-device "$per_device" --big-tags "$big" \
  --storm-seconds "$seconds" --writes "$writes" --port "$port" --clock-ticks "$(getconf CLK_TCK)" --phases "$phases" \
  "${base_args[@]}" </dev/null
