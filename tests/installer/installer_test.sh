#!/usr/bin/env bash
# The installer in a fresh Wine prefix: a silent install, after which a client
# finds the server by its ProgID and reads the sample configuration; an
# install over a running server, which it ends and replaces, its proxy/stub
# too though a client still has the old one loaded; an uninstall
# that cannot end the running server and so changes nothing; a silent
# uninstall while a server runs for a client that died with a subscription
# and another client that stops answering and keeps the proxy/stub loaded:
# within half a minute the server has ended and its registry keys are gone,
# the proxy/stub is moved aside and marked for deletion at the restart, as the
# uninstall log says, and after the restart its files are gone too, while the
# user's own configuration stays; and a second round on a machine where
# another proxy serves one OPC interface: that one stays untouched, the proxy
# serves the rest; and an install over a sample the user changed, which keeps
# it and puts the new sample beside it, saying so. Both proxies (64- and 32-bit) are packaged; only the
# 64-bit registry view can be checked here (no 32-bit execution).
# Arguments: the installer, the expected version, the test's client worker.
set -uo pipefail
installer="$1"
version="$2"
worker="$3"
root="$(cd "$(dirname "$0")/../.." && pwd)"
export WINEPREFIX="$(dirname "$installer")/installer-test-prefix"
source "$root/scripts/wine-env.sh"

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
log="$WINEPREFIX/../installer-test.log"
run() { "$WINE" "$@" </dev/null 2>>"$log"; }
reg_value() {  # key, value name ("(Default)" for the default value)
  local which=(/v "$2")
  [ "$2" = "(Default)" ] && which=(/ve)
  run reg query "$1" "${which[@]}" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; $2 = ""; sub(/^  */, ""); print }'
}
reg_exists() { run reg query "$1" >/dev/null 2>&1; }
wait_until() {  # seconds, command...: true once the command succeeds
  local limit=$1; shift
  local i
  for i in $(seq 1 $((limit * 4))); do "$@" && return 0; sleep 0.25; done
  return 1
}
cleanup() { wine_stop; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT

rm -rf "$WINEPREFIX" "$log"
wine_prefix_create >/dev/null
wine_start

dir="$WINEPREFIX/drive_c/Program Files/Zelkor/Tovi Explorer"
windir='C:\Program Files\Zelkor\Tovi Explorer'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ToviExplorer'
server_clsid='{F2F1DF4B-8AF2-411F-BD23-637097876C20}'
proxy_clsid='{6B002D8F-94BE-420E-89B9-8A15B61B3639}'
iid_key='HKCR\Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}'
# Every interface the proxy marshals: OPC DA 1.0a, 2.05a and OPC Common.
iids=()
for n in 4D 4E 4F 50 51 52 53 54 55 70 71 72; do iids+=("{39C13A$n-011E-11D0-9675-0020AFD8ADB3}"); done
iids+=('{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}' '{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}')
# The proxy CLSID of each interface in that order ("-" for none), on one line.
proxies() {
  local iid p out=()
  for iid in "${iids[@]}"; do
    p="$(reg_value "HKCR\\Interface\\$iid\\ProxyStubClsid32" '(Default)')"
    out+=("${p:--}")
  done
  echo "${out[*]}"
}
repeat() { local i out=(); for i in $(seq 1 "$1"); do out+=("$2"); done; echo "${out[*]}"; }
# The machine type in a PE file's header: 8664 (x64) or 014c (x86).
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' '
}
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tovi Explorer.lnk"
uninstalled() { [ ! -e "$dir" ] && ! reg_exists "$uninstall_key"; }

echo "== silent install"
run "$installer" /S >>"$log" || fail "the installer exited with $?"
for f in "Tovi Explorer.exe" ToviExplorerPS.dll x86/ToviExplorerPS.dll tovi-opc.exe Sample.tvf Uninstall.exe; do
  [ -f "$dir/$f" ] || fail "not installed: $f"
done
[ "$(pe_machine "$dir/ToviExplorerPS.dll")" = 8664 ] || fail "the proxy beside the program is not 64-bit"
[ "$(pe_machine "$dir/x86/ToviExplorerPS.dll")" = 014c ] || fail "the proxy in x86 is not 32-bit"
[ -f "$shortcut" ] || fail "no Start menu shortcut"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ] || fail "installed programs: version is not $version"
[ "$(reg_value "$uninstall_key" Publisher)" = "Zelkor Company" ] || fail "installed programs: publisher"
[ "$(reg_value "$uninstall_key" UninstallString)" = "\"$windir\\Uninstall.exe\"" ] || fail "installed programs: uninstaller"
reg_exists "HKCR\\CLSID\\$server_clsid\\LocalServer32" || fail "the server is not registered"
[ "$(proxies)" = "$(repeat 14 "$proxy_clsid")" ] || fail "the OPC proxy does not serve every interface: $(proxies)"
categories=('HKCR\Component Categories\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}'
            'HKCR\Component Categories\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}')
[ "$(reg_value "${categories[0]}" 409)" = "OPC Data Access Servers Version 1.0" ] || fail "no DA 1.0 category"
[ "$(reg_value "${categories[1]}" 409)" = "OPC Data Access Servers Version 2.0" ] || fail "no DA 2.0 category"

echo "== a client by ProgID"
client="$windir\\tovi-opc.exe"
run "$client" servers >"$WINEPREFIX/servers.txt" || fail "tovi-opc servers exited with $?"
grep -q "^Zelkor.Tovi.1  $server_clsid  Zelkor Company" "$WINEPREFIX/servers.txt" || fail "the server is not listed"
run "$client" browse --flat Zelkor.Tovi.1 | tr -d '\r' >"$WINEPREFIX/items.txt" || fail "browsing exited with $?"
mapfile -t items <"$WINEPREFIX/items.txt"
[ "${#items[@]}" -ge 5 ] || fail "the sample configuration is not served (${#items[@]} items)"
run "$client" read Zelkor.Tovi.1 "${items[@]}" | tr -d '\r' >"$WINEPREFIX/read.txt" || fail "reading exited with $?"
# Every item answers a value (the sample's forced and out-of-service items are not Good on purpose).
[ "$(grep -c ' = ' "$WINEPREFIX/read.txt")" -eq "${#items[@]}" ] || fail "not every sample item reads"
cat "$WINEPREFIX/read.txt" | head -3
# The program by its long or its short path (COM starts it by the short one,
# LocalServer32's); the bracket keeps the pattern from matching this script.
server_pids() { pgrep -i -f '[Z]elkor.(Tovi Explorer|TOVI~[A-Z0-9]+).(Tovi Explorer|TOVI~[A-Z0-9]+)\.exe'; }
server_gone() { ! server_pids >/dev/null; }
wait_until 30 server_gone || \
  fail "the COM-started server did not end with its last client"

# Starts the server for a watching client and kills that client once values
# arrive: the server stays, held by the dead client's objects; $held is its pid.
server_pid() { server_pids | head -1; }
# A process that has ended may linger a moment as a zombie.
alive() { local state; state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)"; [ -n "$state" ] && [ "$state" != Z ]; }
ended() { ! alive "$1"; }
hold_server() {
  local out="$WINEPREFIX/watch.txt" watcher
  : >"$out"
  "$WINE" "$dir/tovi-opc.exe" watch Zelkor.Tovi.1 "${items[0]}" --rate 200 --for 120 >"$out" 2>>"$log" </dev/null &
  watcher=$!
  wait_until 60 test -s "$out" || fail "the watching client got no value"
  kill -9 "$watcher"
  wait "$watcher" 2>/dev/null
  sleep 1
  held="$(server_pid)"
  [ -n "$held" ] || fail "no server runs for the dead client"
}
# Starts a client of the running server that never answers its shutdown
# request and keeps the proxy/stub loaded; $hung is its pid.
start_hung_client() {
  : >"$WINEPREFIX/hung.txt"
  "$WINE" "$worker" hung named >"$WINEPREFIX/hung.txt" 2>>"$log" </dev/null &
  hung=$!
  wait_until 60 grep -q subscribed "$WINEPREFIX/hung.txt" || fail "the client that stops answering did not connect"
}
stop_hung_client() { kill "$hung"; wait "$hung" 2>/dev/null; }
keys_of_install=("HKCR\\Zelkor.Tovi.1" "HKCR\\CLSID\\$server_clsid" "$uninstall_key")

echo "== install over a running install, its proxy/stub loaded by a client that stops answering"
hold_server
start_hung_client
touch -d '2000-01-01' "$dir/Tovi Explorer.exe" "$dir/ToviExplorerPS.dll"
run "$installer" /S >>"$log" || fail "the install over a running server exited with $?"
wait_until 5 ended "$held" || fail "the install left the running server alive"
for f in "Tovi Explorer.exe" ToviExplorerPS.dll; do
  [ "$(stat -c %Y "$dir/$f")" -gt "$(date -d '2000-01-02' +%s)" ] || fail "not replaced: $f"
done
said="ToviExplorerPS.dll was in use by another program: the new one is installed, the old one is deleted when Windows restarts"
tr -d '\r' <"$dir/Install.log" | grep -qxF "$said" || fail "the install log does not say that the proxy/stub made way"
stop_hung_client
run "$client" read Zelkor.Tovi.1 "${items[0]}" | tr -d '\r' | grep -q '  Good  ' || fail "no Good read after the install over"
wait_until 30 server_gone || fail "the server after the install over did not end with its client"

echo "== an uninstall that cannot end the server changes nothing"
hold_server
# Without its program the uninstaller cannot close the server; it sees the window.
mv "$dir/Tovi Explorer.exe" "$WINEPREFIX/kept.exe"
# In place (_?=, unquoted, last) the uninstaller's exit code is its own;
# Wine would quote the argument, a batch file does not.
printf '@"%s\\Uninstall.exe" /S _?=%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$windir" "$windir" \
  >"$WINEPREFIX/drive_c/uninstall-in-place.cmd"
run cmd /c 'C:\uninstall-in-place.cmd' >>"$log"
code=$?
mv "$WINEPREFIX/kept.exe" "$dir/Tovi Explorer.exe"
[ "$code" -eq 2 ] || fail "the uninstaller that could not end the server exited with $code"
for key in "${keys_of_install[@]}"; do reg_exists "$key" || fail "changed all the same: $key is gone"; done
for f in ToviExplorerPS.dll tovi-opc.exe Sample.tvf Uninstall.exe; do [ -f "$dir/$f" ] || fail "changed all the same: $f is gone"; done
[ "$(proxies)" = "$(repeat 14 "$proxy_clsid")" ] || fail "changed all the same: $(proxies)"
alive "$held" || fail "the server did not run on"

echo "== silent uninstall of a running server beside a client that stops answering, the user's configuration kept"
mine='C:\users\Public\Mine.tvf'
cp "$dir/Sample.tvf" "$WINEPREFIX/drive_c/users/Public/Mine.tvf"
run reg add 'HKLM\Software\Zelkor\Tovi Explorer\Settings' /v 'Last Used File' /d "$mine" /f >/dev/null
start_hung_client
unlog="$("$WINE" winepath -u "$(run cmd /c 'echo %TEMP%' | tr -d '\r')")/Tovi Explorer Uninstall.log"
started=$SECONDS
run "$dir/Uninstall.exe" /S || fail "the uninstaller exited with $?"
wait_until 60 grep -q '\] Done' "$unlog" || fail "the uninstaller did not finish"
took=$((SECONDS - started))
echo "   the uninstall took $took s:"
tr -d '\r' <"$unlog" | sed 's/^/     /'
[ "$took" -le 30 ] || fail "the uninstall took $took s"
wait_until 5 ended "$held" || fail "the uninstall left the running server alive"
grep -q '\] ToviExplorerPS.dll is in use by another program: it is deleted when Windows restarts' "$unlog" || \
  fail "the uninstall log does not say that the proxy/stub goes at the restart"
session_key='HKLM\System\CurrentControlSet\Control\Session Manager'
pending="$(reg_value "$session_key" PendingFileRenameOperations)"
# The proxy/stub moved aside (nsXXXX.tmp), then the folder.
for f in "$windir\\ns" "$windir\\\\0"; do
  [[ "$pending" == *"\\??\\$f"* ]] || fail "not marked for deletion at the restart: $f in $pending"
done
stop_hung_client
run wineboot -r
[ ! -e "$WINEPREFIX/drive_c/Program Files/Zelkor" ] || fail "left behind after the restart: $(find "$WINEPREFIX/drive_c/Program Files/Zelkor")"
[ ! -e "$shortcut" ] || fail "left behind: the shortcut"
[ -f "$WINEPREFIX/drive_c/users/Public/Mine.tvf" ] || fail "the user's configuration was deleted"
for key in "HKCR\\Zelkor.Tovi.1" "HKCR\\CLSID\\$server_clsid" "HKCR\\AppID\\$server_clsid" "$uninstall_key" \
           'HKLM\Software\Zelkor\Tovi Explorer' "HKCR\\CLSID\\$proxy_clsid" "${categories[@]}"; do
  reg_exists "$key" && fail "left behind: $key"
done
[ "$(proxies)" = "$(repeat 14 -)" ] || fail "interfaces left registered: $(proxies)"

echo "== another product's proxy of IOPCServer stays"
other='{0A0B0C0D-1111-2222-3333-444455556666}'
run reg add "$iid_key\\ProxyStubClsid32" /ve /d "$other" /f >/dev/null
run "$installer" /S >>"$log" || fail "the second install exited with $?"
[ "$(proxies)" = "$other $(repeat 13 "$proxy_clsid")" ] || fail "after the second install: $(proxies)"
run "$dir/Uninstall.exe" /S || fail "the second uninstall exited with $?"
wait_until 120 uninstalled || fail "the second uninstall did not finish"
[ "$(proxies)" = "$other $(repeat 13 -)" ] || fail "after the second uninstall: $(proxies)"
reg_exists "HKCR\\CLSID\\$proxy_clsid" && fail "left behind: the proxy's class"

echo "== a sample the user changed stays, the new one beside it"
run "$installer" /S >>"$log" || fail "the install before changing the sample exited with $?"
cp "$dir/Sample.tvf" "$WINEPREFIX/packaged.tvf"
printf 'mine' >>"$dir/Sample.tvf"
touch -d '2001-02-03 04:05:06' "$dir/Sample.tvf"
cp "$dir/Sample.tvf" "$WINEPREFIX/changed.tvf"
run "$installer" /S >>"$log" || fail "the install over a changed sample exited with $?"
cmp -s "$dir/Sample.tvf" "$WINEPREFIX/changed.tvf" || fail "the changed sample was replaced"
cmp -s "$dir/Sample (new).tvf" "$WINEPREFIX/packaged.tvf" || fail "the new sample is not beside the changed one"
said="Sample.tvf was changed since it was installed and is kept as it is; the new sample is Sample (new).tvf"
cat "$dir/Install.log" 2>/dev/null | tr -d '\r' | grep -qxF "$said" || fail "the install log does not say so"
run "$dir/Uninstall.exe" /S || fail "the uninstall after the changed sample exited with $?"
wait_until 120 eval '! reg_exists "$uninstall_key"' || fail "that uninstall did not finish"
# Only the user's own sample stays: the unchanged new one and the log go.
[ "$(ls "$dir" 2>/dev/null)" = "Sample.tvf" ] || fail "after that uninstall the folder holds: $(ls "$dir" 2>/dev/null)"
rm -rf "$WINEPREFIX/drive_c/Program Files/Zelkor"

[ "$failures" -eq 0 ] && echo "== installer: all checks passed"
exit $((failures > 0))
