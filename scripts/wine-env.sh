# Sourced by the run, serve and test scripts: a private Wine prefix inside the
# build folder, created once, and a persistent wineserver while the caller
# works. The program's own prefix (scripts/run.sh, scripts/serve.sh) is
# build/wineprefix unless WINEPREFIX names another; the test suite keeps one of
# its own (scripts/test-prefix.sh), so that no test reaches the user's
# settings or last used file.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TOVI_RUN_PREFIX="$root/build/wineprefix"
export WINEPREFIX="${WINEPREFIX:-$TOVI_RUN_PREFIX}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

wine_prefix_create() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
    "$WINESERVER" -w
    # Without a display Wine loads no driver unless told to use the null one.
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
    wine_no_crash_dialog
    "$WINESERVER" -w
  else
    wine_no_crash_dialog
  fi
}

# A crashing program ends at once (its backtrace on standard error) instead of
# waiting on Wine's crash dialog, which nobody sees without a display: a crash
# fails its test or its CI run rather than hanging it. Prefixes made before
# this setting get it on their next use (read from the file: no Wine start).
wine_no_crash_dialog() {
  grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null && return 0
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
}

# Debian's font package puts Wine's own fonts (Marlett for the caption buttons,
# the sans serif of dialogs) in /usr/share/wine/fonts, where this Wine build
# does not look; the prefix's Windows font folder it always reads.
wine_install_fonts() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  [ -d /usr/share/wine/fonts ] || return 0
  mkdir -p "$fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$fonts/" 2>/dev/null || true
}

wine_graphics() {  # null | x11
  if [ "$1" = x11 ]; then
    "$WINE" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null || true
  else
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
  fi
}

wine_start() {
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null || true  # already running is fine
  "$WINE" wineboot >/dev/null 2>&1 </dev/null || true
  # COM's class table lives in RpcSs: make sure it answers before any server starts.
  local i
  for i in $(seq 1 30); do
    if "$WINE" net start rpcss >"$WINEPREFIX/rpcss.log" 2>&1 </dev/null; then break; fi
    grep -qi 'already' "$WINEPREFIX/rpcss.log" && break
    sleep 1
  done
}

# Registers the OPC interfaces' proxy/stub DLL of a build folder (default
# build/) in the prefix; registering again just rewrites the same keys.
wine_register_opc_proxy() {
  local dll="${1:-$root/build}/server/opc/ToviExplorerPS.dll"
  [ -f "$dll" ] || { echo "Missing $dll: build first" >&2; return 1; }
  if ! "$WINE" regsvr32 /s "Z:${dll//\//\\}" >/dev/null 2>&1 </dev/null; then
    echo "Registering $dll in $WINEPREFIX failed" >&2
    return 1
  fi
}

# One process holding a window keeps Wine's desktop up between test processes.
wine_keep_desktop() {
  local keeper="${1:-$root/build}/tools/desktop_keeper.exe"
  if [ -f "$keeper" ] && ! pgrep -f "$keeper" >/dev/null 2>&1; then
    "$WINE" "$keeper" >/dev/null 2>&1 </dev/null &
    sleep 1
  fi
}

# Registers the OPC server of a build folder (default build/) in the prefix, as
# its own /RegServer does it; running it again rewrites the same keys.
wine_register_server() {
  local exe="${1:-$root/build}/app/Tovi Explorer.exe"
  [ -f "$exe" ] || { echo "Missing $exe: build first" >&2; return 1; }
  # Bounded: a failed registration shows a message box that nobody may see.
  if ! timeout 60 "$WINE" "$exe" /RegServer >/dev/null 2>&1 </dev/null; then
    echo "Registering the OPC server in $WINEPREFIX failed" >&2
    return 1
  fi
}

wine_stop() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
}

# Exits with a message when any of the TCP ports given is taken: a benchmark's
# servers need them.
ports_free_or_exit() {
  local p
  for p in "$@"; do
    if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "Port $p is in use: the benchmark needs it" >&2
      exit 1
    fi
  done
}

# A path of this machine as the Windows programs under Wine see it.
winpath() { echo "Z:${1//\//\\}"; }
