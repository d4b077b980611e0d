#!/usr/bin/env bash
# scripts/serve.sh as a client project's CI runs it: no display, a brand-new
# Wine prefix (made here as wineboot makes it, nothing more). The program
# alone there says why it cannot serve; serve.sh makes the prefix fit and
# serves the sample to a UA and a DA client until "serve.sh --close"; and a
# replay file with a bad row ends /Serve at once with the reason, even into
# a pipe. The prefix is deleted at the end.
#   serve_script_test.sh BUILD_FOLDER
set -uo pipefail
build="${1:?usage: serve_script_test.sh BUILD_FOLDER}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" TOVI_BUILD="$build"
unset DISPLAY
source "$root/scripts/wine-env.sh"
exe="$build/app/Tovi Explorer.exe"
client="$build/tools/tovi-opc/tovi-opc.exe"
port="${SERVE_TEST_PORT:-48481}"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
server=""
finish() {
  [ -n "$server" ] && kill -0 "$server" 2>/dev/null && bash "$root/scripts/serve.sh" --close >/dev/null 2>&1
  [ -n "$server" ] && wait "$server" 2>/dev/null
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  rm -rf "$work"
}
trap finish EXIT
winpath() { echo "Z:${1//\//\\}"; }
cp "$root/resources/sample/Sample.tvf" "$work/Plant.tvf"
config="$work/Plant.tvf"

mkdir -p "$WINEPREFIX"
"$WINE" wineboot -i >/dev/null 2>&1 </dev/null
"$WINESERVER" -w

# Without the null driver no window can be made: the program says so.
timeout 120 "$WINE" "$exe" "$(winpath "$config")" /Serve /UaPort 0 >"$work/bare.txt" 2>/dev/null </dev/null
rc=$?
[ "$rc" -eq 1 ] || fail "/Serve in a bare prefix ended with $rc"
grep -q "Cannot start: the program's window could not be created" "$work/bare.txt" ||
  fail "/Serve in a bare prefix did not say why: $(cat "$work/bare.txt")"

started=$(date +%s)
bash "$root/scripts/serve.sh" "$config" --ua-port "$port" >"$work/serve.txt" 2>&1 &
server=$!
for _ in $(seq 1 240); do
  grep -q "^Close with" "$work/serve.txt" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.5
done
echo "# serving $(($(date +%s) - started)) s after serve.sh started"
grep -qF "OPC UA endpoint: opc.tcp://localhost:$port/" "$work/serve.txt" ||
  fail "serve.sh does not serve UA: $(cat "$work/serve.txt")"
read_setpoint() { timeout 60 "$WINE" "$client" read "$@" BoilerHouse.Setpoint </dev/null 2>&1 | tr -d '\r'; }
for through in "--ua opc.tcp://localhost:$port/" "Zelkor.Tovi.1"; do
  # shellcheck disable=SC2086
  got="$(read_setpoint $through)"
  grep -q "BoilerHouse.Setpoint = 18" <<<"$got" || fail "reading through $through: $got"
done
bash "$root/scripts/serve.sh" --close >"$work/close.txt" 2>&1 || fail "serve.sh --close ended with $?"
wait "$server"
rc=$?
server=""
[ "$rc" -eq 0 ] || fail "serve.sh ended with $rc"
grep -q "^Closed\.$" <(tr -d '\r' <"$work/serve.txt") || fail "serve.sh did not close cleanly: $(cat "$work/serve.txt")"

# A bad replay row: the refusal into a pipe, and the end, at once.
printf '2026-12-07T10:15:00.0000000Z,BoilerHouse.NoSuchItem,1\n' >"$work/bad.csv"
started=$(date +%s)
timeout 60 "$WINE" "$exe" "$(winpath "$config")" /Serve /UaPort 0 /Replay "$(winpath "$work/bad.csv")" \
  </dev/null 2>/dev/null | cat >"$work/replay.txt"
rc=${PIPESTATUS[0]}
[ "$rc" -eq 1 ] || fail "/Serve with a bad replay ended with $rc after $(($(date +%s) - started)) s"
grep -q "^Cannot serve: Nothing is replayed" "$work/replay.txt" && grep -q "^line 1: " "$work/replay.txt" ||
  fail "the refusal was not printed: $(cat "$work/replay.txt")"

[ "$failures" -eq 0 ] && echo "serve.sh served from a new prefix and closed"
[ "$failures" -eq 0 ]
