#!/usr/bin/env bash
# The test suite's own Wine prefix, BUILD/wineprefix-tests: ctest brings it up
# before the first test and down after the last (a fixture), so that every
# run of ctest, whole or a few tests, works in it. The program's own prefix
# (build/wineprefix, which scripts/run.sh opens) keeps the user's settings,
# last used file and registrations: "down" fails when a test changed them.
#   test-prefix.sh up|down BUILD
set -uo pipefail
action="${1:?usage: test-prefix.sh up|down BUILD}"
build="${2:?usage: test-prefix.sh up|down BUILD}"
export WINEPREFIX="$build/wineprefix-tests"
source "$(dirname "$0")/wine-env.sh"
snapshot="$build/run-prefix-settings.txt"

# The program's keys in the run prefix's registry files, without the times
# Wine stamps on each key (read from the files: no Wine process there).
run_prefix_settings() {
  if [ ! -f "$TOVI_RUN_PREFIX/system.reg" ]; then
    echo "(no prefix)"
    return
  fi
  local file
  for file in system.reg user.reg; do
    echo "== $file"
    awk '/^\[/ { keep = ($0 ~ /Zelkor/) } keep && !/^#time=/ { sub(/\] [0-9]+$/, "]"); print }' \
      "$TOVI_RUN_PREFIX/$file"
  done
}

case "$action" in
up)
  run_prefix_settings >"$snapshot"
  wine_prefix_create
  wine_start
  wine_keep_desktop "$build"
  wine_register_opc_proxy "$build"
  ;;
down)
  wine_stop
  [ -f "$snapshot" ] || exit 0
  if ! run_prefix_settings | diff "$snapshot" - >"$snapshot.diff"; then
    echo "The tests changed the settings of the program's own prefix $TOVI_RUN_PREFIX:"
    cat "$snapshot.diff"
    exit 1
  fi
  echo "The program's own prefix is as the tests found it."
  ;;
*)
  echo "usage: test-prefix.sh up|down BUILD" >&2
  exit 2
  ;;
esac
