#!/usr/bin/env bash
# Captures the editor's dialogs, the clients window, the OPC UA certificates
# and users dialogs, the alarms window and the splash window as Wine draws them on a virtual X
# display without a window manager (no title bars; Wine's virtual desktop
# draws modal dialogs black here): build/dialogs.png, build/find.png, build/clients.png,
# build/certificates.png, build/ua-users.png, build/alarms.png, build/trend.png and build/splash.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/wine-env.sh"
wine_prefix_create
wine_install_fonts
display=""
for n in $(seq 91 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "No free X display found" >&2; exit 1; }
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
xvfb_pid=$!
cleanup() { wine_graphics null; wine_stop; kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
export DISPLAY="$display"
sleep 1
wine_graphics x11
wine_stop
wine_start
"$WINE" "$root/build/tools/dialog_snapshots.exe" 6000 >/dev/null 2>&1 </dev/null &
snapshots=$!
# Each capture once its window is up: a dialog caption, then the splash's size.
shot() {  # pattern file [seconds to let the windows draw]
  local i
  for i in $(seq 1 240); do  # Wine takes a second or two to tear down each window here
    if xwininfo -root -tree 2>/dev/null | grep -q "$1"; then sleep "${3:-1.5}"; xwd -root -silent | convert xwd:- "$2"; return 0; fi
    sleep 0.25
  done
  echo "No window matched $1" >&2
  return 1
}
# The first windows come up while Wine still starts its services: they draw late.
shot '"Tag Properties"' "$root/build/dialogs.png" 5
shot '"Find"' "$root/build/find.png"
shot '"OPC Clients"' "$root/build/clients.png"
shot '"OPC UA Certificates"' "$root/build/certificates.png"
shot '"OPC UA Users"' "$root/build/ua-users.png"
shot '"Alarms"' "$root/build/alarms.png"
shot '"Trend - ' "$root/build/trend.png"
shot '478x365' "$root/build/splash.png"
# Xvfb runs on until the clean-up: wait for the program alone.
wait "$snapshots" || true
echo "Written build/dialogs.png, build/find.png, build/clients.png, build/certificates.png, build/ua-users.png, build/alarms.png, build/trend.png and build/splash.png"
