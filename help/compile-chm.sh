#!/usr/bin/env bash
# Compiles the help project into ToviExplorer.chm.
#   compile-chm.sh <help source folder> <staging folder> <output .chm>
# chmcmd records the targets of the context aliases with the absolute path of
# the folder it compiles in, which no viewer can find inside the .chm. So it
# runs in a chroot whose root is the staging folder: the pages then sit at "/",
# exactly where they are stored in the file. As root that is a plain chroot;
# otherwise a user namespace (unshare -r) gives the right to make one.
set -euo pipefail
src="$1"
stage="$2"
out="$3"
project=ToviExplorer.hhp

chmcmd="$(command -v chmcmd || true)"
if [ -z "$chmcmd" ]; then
  echo "compile-chm.sh: chmcmd not found; install the fp-utils package (scripts/setup.sh does)" >&2
  exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
  jail=(chroot)
elif unshare -r true 2>/dev/null; then
  jail=(unshare -r chroot)
else
  echo "compile-chm.sh: cannot compile the help file: it needs root or user namespaces (unshare -r) to chroot chmcmd" >&2
  exit 1
fi

rm -rf "$stage"
mkdir -p "$stage"
cp "$src"/*.htm "$src"/*.css "$src"/*.png "$src/$project" "$src"/*.hhc "$src"/*.hhk "$stage/"
cp "$chmcmd" "$stage/chmcmd"
# The loader and the libraries chmcmd needs, at their own paths inside the root;
# it also loads the thread libraries at run time (without them it dies with 216).
libs=($(ldd "$chmcmd" | grep -o '/[^ ]*'))
libc="$(printf '%s\n' "${libs[@]}" | grep '/libc\.so' | head -n1)"
for extra in libpthread.so.0 libdl.so.2; do
  if [ -e "$(dirname "$libc")/$extra" ]; then libs+=("$(dirname "$libc")/$extra"); fi
done
for lib in "${libs[@]}"; do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done

# Now and then chmcmd fails to create its output ("Bad file number") and then
# hangs in its exception handler: it gets a bounded time and three tries.
compiled=0
for attempt in 1 2 3; do
  rm -f "$stage/ToviExplorer.chm"
  if (cd "$stage" && timeout -k 5 120 "${jail[@]}" "$stage" /chmcmd "$project" >"$stage.log" 2>&1 </dev/null) &&
     [ -s "$stage/ToviExplorer.chm" ]; then
    compiled=1
    break
  fi
  echo "compile-chm.sh: chmcmd attempt $attempt failed" >&2
done
if [ "$compiled" -ne 1 ]; then
  cat "$stage.log" >&2
  echo "compile-chm.sh: chmcmd failed on $src/$project" >&2
  exit 1
fi
# chmcmd reports pages it cannot find, links that lead nowhere and duplicate
# anchors as warnings, and carries on.
if grep -Ei 'warning|not found|missing|error' "$stage.log" >&2; then
  echo "compile-chm.sh: the help project has faults (above)" >&2
  exit 1
fi
mv "$stage/ToviExplorer.chm" "$out"
rm -rf "$stage"
