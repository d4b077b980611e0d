#!/usr/bin/env bash
# Runs one Windows test program under Wine for CTest. Now and then, when the
# machine is busy, Wine's loader gives up on a new process before its first
# instruction: non-zero exit, not one byte of output. That says nothing about
# the program, so it gets one more start; a run that printed anything stands.
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
  /usr/lib/wine/wine64 "$@" 2>&1 | tee "$out"
  rc=${PIPESTATUS[0]}
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -eq 2 ]; then exit "$rc"; fi
  echo "wine-test: $1 ended with $rc before printing anything; starting it again" >&2
done
