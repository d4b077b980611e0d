#!/usr/bin/env bash
# The long fuzz of the OPC UA port: builds, then runs tests/ua/fuzz.test.cjs
# against the real program under Wine on port 48562 for CASES cases (default
# 100000) from SEED (default: the clock's, printed).
#   bash scripts/ua-fuzz.sh [CASES] [SEED]
# Environment: UA_FUZZ_WORKERS (connections at a time, default 32).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cases="${1:-100000}"
[[ "$cases" =~ ^[0-9]+$ ]] && [ "$cases" -ge 1 ] || { echo "usage: ua-fuzz.sh [CASES] [SEED]" >&2; exit 2; }
build="$root/build"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$build" >/dev/null
source "$root/scripts/wine-env.sh"
trap wine_stop EXIT
wine_prefix_create
wine_start
UA_FUZZ_PORT=48562 bash "$root/tests/ua/run-ua-fuzz.sh" "$build" "$cases" "${2:-}"
