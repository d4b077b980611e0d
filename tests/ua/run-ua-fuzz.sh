#!/usr/bin/env bash
# The UA port's fuzz (fuzz.test.cjs) against the real program under Wine,
# serving tags.csv on a port of its own, which must then close cleanly.
#   run-ua-fuzz.sh BUILD_FOLDER [CASES] [SEED]   (no CASES: UA_FUZZ_SECONDS, default 60)
set -uo pipefail
build="${1:?usage: run-ua-fuzz.sh BUILD_FOLDER [CASES] [SEED]}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/wine-env.sh"
exe="$build/app/Tovi Explorer.exe"
port="${UA_FUZZ_PORT:-48561}"
work="$(mktemp -d)"
server=""
# Asks the server to close; a server that does not within a minute is hung, and killed.
close_server() {
  timeout 60 "$WINE" "$exe" /Close 20 >/dev/null 2>&1 </dev/null
  for _ in $(seq 1 120); do kill -0 "$server" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$server" 2>/dev/null; then
    echo "the server did not close: killed"
    kill -9 "$server"
  fi
  wait "$server"
}
finish() {
  [ -n "$server" ] && kill -0 "$server" 2>/dev/null && close_server
  rm -rf "$work"
}
trap finish EXIT
winpath() { echo "Z:${1//\//\\}"; }

# A crash ends the process at once rather than waiting on a dialog nobody sees.
"$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
cp "$here/tags.csv" "$work/"
config="$(winpath "$work/UaFuzz.tvf")"
timeout 120 "$WINE" "$exe" /RegServer >/dev/null 2>&1 </dev/null || { echo "registering failed"; exit 1; }
if ! timeout 120 "$WINE" "$exe" "$config" /Import "$(winpath "$work/tags.csv")" >"$work/import.txt" 2>&1 </dev/null; then
  echo "the import failed:"; cat "$work/import.txt"; exit 1
fi
"$WINE" "$exe" "$config" /Serve /UaPort "$port" >"$work/serve.txt" 2>&1 </dev/null &
server=$!
for _ in $(seq 1 120); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.5
done
export NODE_PATH="${TOVI_DEPS:-$HOME/.cache/tovi-deps}/npm/node_modules"
UA_URL="opc.tcp://localhost:$port/" UA_SERVER_PID="$server" UA_FUZZ_CASES="${2:-${UA_FUZZ_CASES:-0}}" \
  UA_FUZZ_SEED="${3:-${UA_FUZZ_SEED:-}}" node --test --test-force-exit "$here/fuzz.test.cjs" </dev/null
rc=$?
if ! kill -0 "$server" 2>/dev/null; then
  server=""; echo "the server is gone:"; tail -5 "$work/serve.txt"; exit 1
fi
started=$(date +%s)
close_server
served=$?
server=""
grep -qF "Closed." "$work/serve.txt" || { echo "/Serve did not say it closed:"; tail -5 "$work/serve.txt"; rc=1; }
[ "$served" -eq 0 ] || { echo "/Serve ended with $served"; rc=1; }
echo "# the server closed in $(($(date +%s) - started)) s"
exit "$rc"
