#!/usr/bin/env bash
# Builds and runs the benchmark programs under Wine. The OPC server, its
# proxy/stub and the item benchmark's echo server are registered in the
# prefix first. Every benchmark runs; the script fails if any of them did.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
source "$root/scripts/wine-env.sh"
wine_prefix_create
trap wine_stop EXIT
wine_start
wine_keep_desktop "$root/build"
wine_register_opc_proxy "$root/build"
wine_register_server "$root/build"
"$WINE" "$root/build/tools/opc_benchmark.exe" /RegServer </dev/null
status=0
for b in "$root"/build/tools/*_benchmark.exe; do
  echo "== $(basename "$b")"
  rc=0
  "$WINE" "$b" </dev/null || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "== $(basename "$b") exited with $rc (1: a goal missed, 2 or more: it could not measure)"
    status=1
  fi
done
"$WINE" "$root/build/tools/opc_benchmark.exe" /UnregServer </dev/null || true
exit "$status"
