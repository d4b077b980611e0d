#!/usr/bin/env bash
# Builds and runs the benchmark programs under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build" >/dev/null
source "$root/scripts/wine-env.sh"
wine_prefix_create
trap wine_stop EXIT
wine_start
for b in "$root"/build/tools/*_benchmark.exe; do
  echo "== $(basename "$b")"
  "$WINE" "$b"
done
