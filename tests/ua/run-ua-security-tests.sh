#!/usr/bin/env bash
# Who may connect, end to end: the real program serving under Wine, its
# settings changed by its own switches while it runs, real UA clients with
# users, roles and certificates, and the event log that records it all.
# Leaves the settings, users and certificates as it found them.
set -uo pipefail
build="${1:?usage: run-ua-security-tests.sh BUILD_FOLDER}"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/wine-env.sh"
deps="${TOVI_DEPS:-$HOME/.cache/tovi-deps}"
exe="$build/app/Tovi Explorer.exe"
port="${UA_SECURITY_TEST_PORT:-48441}"
work="$(mktemp -d)"
settings='HKLM\Software\Zelkor\Tovi Explorer\Settings'
server=""
winpath() { echo "Z:${1//\//\\}"; }
tovi() { timeout 120 "$WINE" "$exe" "$@" </dev/null >/dev/null 2>&1; }
restore() {
  tovi /UaRemote off; tovi /UaAllow unsecured off; tovi /UaAllow anonymous off
  tovi /UaUser remove reader; tovi /UaUser remove writer
  for value in "Event Log Enabled" "Event Log File"; do
    "$WINE" reg delete "$settings" /v "$value" /f >/dev/null 2>&1 </dev/null
  done
  [ -n "${pki:-}" ] && rm -f "$pki/trusted/certs/"*.der "$pki/rejected/certs/"*.der "$pki/rejected/"*.der 2>/dev/null
}
finish() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    timeout 60 "$WINE" "$exe" /Close 20 >/dev/null 2>&1 </dev/null
    wait "$server" 2>/dev/null
  fi
  restore
  rm -rf "$work"
}
trap finish EXIT

timeout 120 "$WINE" "$exe" /RegServer >/dev/null 2>&1 </dev/null || { echo "registering failed"; exit 1; }
pki="$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local 2>/dev/null | head -1)/Tovi Explorer/PKI"
restore
cp "$here/tags.csv" "$here/alarms.csv" "$work/"
config="$(winpath "$work/UaSecurity.tvf")"
for csv in tags.csv alarms.csv; do
  timeout 120 "$WINE" "$exe" "$config" /Import "$(winpath "$work/$csv")" >/dev/null 2>&1 </dev/null ||
    { echo "the import of $csv failed"; exit 1; }
done
"$WINE" reg add "$settings" /v "Event Log Enabled" /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null
"$WINE" reg add "$settings" /v "Event Log File" /d "$(winpath "$work/events.txt")" /f >/dev/null 2>&1 </dev/null
"$WINE" "$exe" "$config" /Serve /UaPort "$port" >"$work/serve.txt" 2>&1 </dev/null &
server=$!
for _ in $(seq 1 120); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.5
done
export NODE_PATH="$deps/npm/node_modules" WINE TOVI_EXE="$exe" UA_PKI="$pki" EVENT_LOG="$work/events.txt"
export CLIENT_PKI="$work/client-pki"
UA_URL="opc.tcp://localhost:$port/" node --test --test-force-exit --test-concurrency=1 "$here/security.test.cjs" </dev/null
