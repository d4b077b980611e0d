#!/usr/bin/env bash
# Installs what is missing, builds and starts Tovi Explorer under Wine. On a
# desktop the window opens; with no display a virtual one is used, a
# screenshot of the window is written to build/screenshot.png and the run ends.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
source "$root/scripts/wine-env.sh"
wine_prefix_create
wine_install_fonts
exe="$root/build/app/Tovi Explorer.exe"

# With no file named and no last used file in the prefix, the program opens a
# copy of the sample configuration; the copy is made once, so a second run
# keeps what the user changed in it.
args=("$@")
if [ ${#args[@]} -eq 0 ]; then
  last="$("$WINE" reg query 'HKLM\Software\Zelkor\Tovi Explorer\Settings' /v 'Last Used File' 2>/dev/null </dev/null |
          sed -n 's/.*REG_SZ[[:space:]]*//p' | tr -d '\r' || true)"
  last_unix=""
  [ -z "$last" ] || last_unix="$("$WINE" winepath -u "$last" 2>/dev/null </dev/null | tr -d '\r' || true)"
  if [ -z "$last_unix" ] || [ ! -f "$last_unix" ]; then
    mkdir -p "$WINEPREFIX/drive_c/Tovi"
    [ -f "$WINEPREFIX/drive_c/Tovi/Sample.tvf" ] || cp "$root/resources/sample/Sample.tvf" "$WINEPREFIX/drive_c/Tovi/Sample.tvf"
    args=('C:\Tovi\Sample.tvf')
  fi
fi

if [ -n "${DISPLAY:-}" ]; then
  wine_graphics x11
  wine_stop
  trap 'wine_graphics null; wine_stop' EXIT
  wine_start
  wine_register_opc_proxy "$root/build"
  wine_register_server "$root/build"
  "$WINE" "$exe" "${args[@]}"
  exit 0
fi

display=""
for n in $(seq 91 140); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "No free X display found" >&2; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
xvfb_pid=$!
cleanup() { wine_graphics null; wine_stop; kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
export DISPLAY="$display"
sleep 1
wine_graphics x11
wine_stop  # the driver setting is read when the prefix's processes start
wine_start
wine_register_opc_proxy "$root/build"
wine_register_server "$root/build"
# A Wine virtual desktop draws the window frames that a bare X server lacks.
"$WINE" explorer /desktop=Tovi,1024x768 "$exe" "${args[@]}" >/dev/null 2>&1 </dev/null &
app_pid=$!
for i in $(seq 1 20); do
  sleep 1
  if xwininfo -root -tree 2>/dev/null | grep -q '"Tovi Explorer"'; then break; fi
done
sleep 2
xwd -root -silent | convert xwd:- "$root/build/screenshot.png"
echo "Screenshot written to build/screenshot.png"
"$WINE" taskkill /IM "Tovi Explorer.exe" >/dev/null 2>&1 </dev/null || true
for i in $(seq 1 10); do kill -0 "$app_pid" 2>/dev/null || break; sleep 1; done
kill "$app_pid" 2>/dev/null || true
