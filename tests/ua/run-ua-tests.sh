#!/usr/bin/env bash
# Runs the UA client suite (node's test runner, node-opcua) against the real
# program under Wine: a configuration made from tags.csv by the program's own
# import, the program serving it on a port of its own, then /Close.
set -uo pipefail
build="${1:?usage: run-ua-tests.sh BUILD_FOLDER}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/wine-env.sh"
deps="${TOVI_DEPS:-$HOME/.cache/tovi-deps}"
exe="$build/app/Tovi Explorer.exe"
port="${UA_TEST_PORT:-48421}"
work="$(mktemp -d)"
server=""
finish() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    timeout 60 "$WINE" "$exe" /Close 20 >/dev/null 2>&1 </dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work"
}
trap finish EXIT
winpath() { echo "Z:${1//\//\\}"; }

cp "$here/tags.csv" "$work/"
config="$(winpath "$work/UaSuite.tvf")"
timeout 120 "$WINE" "$exe" /RegServer >/dev/null 2>&1 </dev/null || { echo "registering failed"; exit 1; }
if ! timeout 120 "$WINE" "$exe" "$config" /Import "$(winpath "$work/tags.csv")" >"$work/import.txt" 2>&1 </dev/null; then
  echo "the import failed:"; cat "$work/import.txt"; exit 1
fi
"$WINE" "$exe" "$config" /UaPort "$port" >/dev/null 2>&1 </dev/null &
server=$!
for _ in $(seq 1 120); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.5
done
NODE_PATH="$deps/npm/node_modules" UA_URL="opc.tcp://localhost:$port/" WINE="$WINE" \
  TOVI_OPC="$build/tools/tovi-opc/tovi-opc.exe" \
  node --test --test-concurrency=1 "$here"/*.test.cjs </dev/null
