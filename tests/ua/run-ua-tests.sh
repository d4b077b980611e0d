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
  if declare -F restore_fault >/dev/null; then restore_fault; fi
  rm -rf "$work"
}
trap finish EXIT
winpath() { echo "Z:${1//\//\\}"; }

cp "$here/tags.csv" "$here/simulated.csv" "$here/alarms.csv" "$here/history.csv" "$work/"
config="$(winpath "$work/UaSuite.tvf")"
timeout 120 "$WINE" "$exe" /RegServer >/dev/null 2>&1 </dev/null || { echo "registering failed"; exit 1; }
for csv in tags.csv simulated.csv alarms.csv history.csv; do
  if ! timeout 120 "$WINE" "$exe" "$config" /Import "$(winpath "$work/$csv")" >"$work/import.txt" 2>&1 </dev/null; then
    echo "the import of $csv failed:"; cat "$work/import.txt"; exit 1
  fi
done
# The alarm storm's case writes a device's control item: fault control on for
# this server only, the setting put back once it has closed.
settings='HKLM\Software\Zelkor\Tovi Explorer\Settings'
fault="$("$WINE" reg query "$settings" /v "Allow Fault Control" 2>/dev/null </dev/null | sed -n 's/.*REG_DWORD[[:space:]]*//p' | tr -d '\r')"
restore_fault() {
  if [ -n "$fault" ]; then
    "$WINE" reg add "$settings" /v "Allow Fault Control" /t REG_DWORD /d "$((fault))" /f >/dev/null 2>&1 </dev/null
  else
    "$WINE" reg delete "$settings" /v "Allow Fault Control" /f >/dev/null 2>&1 </dev/null
  fi
}
"$WINE" reg add "$settings" /v "Allow Fault Control" /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
"$WINE" "$exe" "$config" /Serve /UaPort "$port" >"$work/serve.txt" 2>&1 </dev/null &
server=$!
for _ in $(seq 1 120); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.5
done
export NODE_PATH="$deps/npm/node_modules" WINE="$WINE" TOVI_OPC="$build/tools/tovi-opc/tovi-opc.exe"
export TOVI_EXE="$exe"
# UA_TEST_FILES (names beside this script) runs only those.
read -ra files <<<"${UA_TEST_FILES:-endpoint.test.cjs alarms.test.cjs robustness.test.cjs history.test.cjs}"
UA_URL="opc.tcp://localhost:$port/" node --test --test-force-exit --test-concurrency=1 "${files[@]/#/$here/}" </dev/null
rc=$?
# DA clients as short as one read each are reported too.
for _ in 1 2 3; do
  timeout 60 "$WINE" "$TOVI_OPC" read Zelkor.Tovi.1 Plant.Small >/dev/null 2>&1 </dev/null || { echo "a DA read failed"; rc=1; }
done
timeout 60 "$WINE" "$exe" /Close 20 >/dev/null 2>&1 </dev/null
wait "$server"
served=$?
server=""
restore_fault
# /Serve said what it served and who came, and ended cleanly on /Close.
for line in "Serving Z:" "OPC UA endpoint: opc.tcp://localhost:$port/" "OPC UA session opened: " \
  "OPC UA session closed: " "Closed."; do
  grep -qF "$line" "$work/serve.txt" || { echo "/Serve did not print \"$line\":"; cat "$work/serve.txt"; rc=1; }
done
[ "$served" -eq 0 ] || { echo "/Serve ended with $served"; rc=1; }
came=$(grep -c "^OPC DA client connected: " "$work/serve.txt")
went=$(grep -c "^OPC DA client disconnected: tovi-opc" "$work/serve.txt")
if [ "$came" -lt 4 ] || [ "$came" -ne "$went" ]; then
  echo "/Serve reported $came DA clients connected and $went tovi-opc disconnected, of at least 4:"; cat "$work/serve.txt"; rc=1
fi

# COM starts the next copies for a DA client: their port and their
# configuration (the last used file, whatever other tests left there) come
# from the settings, put back afterwards.
comport=$((port + 1))
last="$("$WINE" reg query "$settings" /v "Last Used File" 2>/dev/null </dev/null | sed -n 's/.*REG_SZ[[:space:]]*//p' | tr -d '\r')"
"$WINE" reg add "$settings" /v "OPC UA Port" /t REG_DWORD /d "$comport" /f >/dev/null 2>&1 </dev/null
"$WINE" reg add "$settings" /v "Last Used File" /d "$config" /f >/dev/null 2>&1 </dev/null
UA_URL="opc.tcp://localhost:$comport/" UA_PORT="$comport" node --test --test-force-exit "$here/lifetime.test.cjs" </dev/null
rc2=$?
"$WINE" reg delete "$settings" /v "OPC UA Port" /f >/dev/null 2>&1 </dev/null
if [ -n "$last" ]; then
  "$WINE" reg add "$settings" /v "Last Used File" /d "$last" /f >/dev/null 2>&1 </dev/null
else
  "$WINE" reg delete "$settings" /v "Last Used File" /f >/dev/null 2>&1 </dev/null
fi
[ "$rc" -eq 0 ] && [ "$rc2" -eq 0 ]
