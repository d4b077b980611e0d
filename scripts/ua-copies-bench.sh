#!/usr/bin/env bash
# Two copies of the program serving half of the tags each, as the help shows
# for more tags than one copy should carry, measured by one UA client.
#   bash scripts/ua-copies-bench.sh [TAGS_PER_COPY]     (default 500000)
# Makes one CSV of both halves (devices PlantA and PlantB), splits it by device
# and imports each half into a configuration of its own with the program's
# /Import, then runs build/tools/uabench/ua_copies_bench.exe, which starts both
# copies with /Serve on ports 48481 and 48482 and prints the figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tags="${1:-500000}"
per_group=1000
build="$root/build"
[[ "$tags" =~ ^[0-9]+$ ]] && [ "$tags" -ge 10000 ] || { echo "usage: ua-copies-bench.sh [TAGS_PER_COPY >= 10000]" >&2; exit 2; }

bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$build" >/dev/null
# A prefix of its own: what it registers never meets the program's own runs.
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix-bench}"
source "$root/scripts/wine-env.sh"
exe="$build/app/Tovi Explorer.exe"
ports_free_or_exit 48481 48482

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

awk -v n="$tags" -v g="$per_group" 'BEGIN {
  print "ItemID,Type,Access,Value"
  for (d = 0; d < 2; d++)
    for (k = 0; k < n; k++) printf "Plant%s.G%d.T%d,Double,Read/Write,%d\n", (d ? "B" : "A"), int(k / g), k, k
}' >"$work/all.csv"
for half in A B; do
  { head -n 1 "$work/all.csv"; grep "^Plant$half\." "$work/all.csv"; } >"$work/$half.csv"
  if ! timeout 900 "$WINE" "$exe" "$(winpath "$work/$half.tvf")" /Import "$(winpath "$work/$half.csv")" \
    >"$work/import.txt" 2>&1 </dev/null; then
    echo "The import of copy $half's tags failed:" >&2
    cat "$work/import.txt" >&2
    exit 1
  fi
done

"$WINE" "$build/tools/uabench/ua_copies_bench.exe" --exe "$(winpath "$exe")" \
  --config-a "$(winpath "$work/A.tvf")" --config-b "$(winpath "$work/B.tvf")" \
  --device-a PlantA --device-b PlantB --tags "$tags" </dev/null
