#!/usr/bin/env bash
# Serves a configuration to OPC DA and UA clients without any window, for a
# client project's tests (CI machines without a display included):
#   scripts/serve.sh CONFIG.tvf [--ua-port N] [-- MORE SWITCHES]
#   scripts/serve.sh --close
# Uses the Wine prefix WINEPREFIX names, else the build's (build/wineprefix),
# and makes it fit for a windowless server first: created when missing, the
# null display driver when there is no display, the RPC service that COM
# needs running, the OPC proxy/stub and the server registered. Serves in the
# foreground until Ctrl+C, or "scripts/serve.sh --close" from elsewhere (the
# clients are told, what they changed is saved); exits with the program's
# code: 0 after a clean close, 1 when it cannot serve (it says why).
# The program comes from TOVI_BUILD (default build/), built when missing.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TOVI_BUILD:-$root/build}"
exe="$build/app/Tovi Explorer.exe"
usage() { echo "usage: serve.sh CONFIG.tvf [--ua-port N] [-- SWITCHES...] | serve.sh --close" >&2; exit 2; }

close=false
config=""
switches=()
while [ $# -gt 0 ]; do
  case "$1" in
  --close) close=true ;;
  --ua-port)
    [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || usage
    switches+=(/UaPort "$2")
    shift
    ;;
  --) shift; switches+=("$@"); break ;;
  -*) usage ;;
  *) [ -z "$config" ] || usage; config="$1" ;;
  esac
  shift
done
if [ "$close" = false ] && [ -z "$config" ]; then usage; fi

if [ ! -f "$exe" ]; then
  bash "$root/scripts/setup.sh" && bash "$root/scripts/build.sh" "$build" || exit 1
fi
source "$root/scripts/wine-env.sh"

if [ "$close" = true ]; then
  "$WINE" "$exe" /Close 20 </dev/null 2>/dev/null
  exit $?
fi

[ -f "$config" ] || { echo "No configuration file $config" >&2; exit 1; }
config="$(cd "$(dirname "$config")" && pwd)/$(basename "$config")"
wine_prefix_create
if [ -z "${DISPLAY:-}" ] &&
  ! "$WINE" reg query 'HKCU\Software\Wine\Drivers' /v Graphics 2>/dev/null </dev/null | grep -q 'null'; then
  # Without a display no window can be made, not even a hidden one, unless
  # the prefix names the null driver; its processes read it as they start.
  echo "Setting the null display driver in $WINEPREFIX"
  wine_graphics null
  wine_stop
fi
wine_start
wine_register_opc_proxy "$build" || exit 1
wine_register_server "$build" || exit 1

# In a session of its own, where the terminal's Ctrl+C does not reach it:
# the program is asked to close as /Close asks it, and says so.
setsid "$WINE" "$exe" "Z:${config//\//\\}" /Serve "${switches[@]}" </dev/null &
server=$!
trap '"$WINE" "$exe" /Close 20 </dev/null >/dev/null 2>&1' INT TERM
while :; do
  wait "$server"
  rc=$?
  # A signal ends the wait early; the program's own end does not.
  kill -0 "$server" 2>/dev/null || break
done
exit "$rc"
