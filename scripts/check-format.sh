#!/usr/bin/env bash
# Fails, naming the files, when a source file does not follow .clang-format.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
format="${1:-clang-format}"
command -v "$format" >/dev/null || { echo "clang-format is missing: run scripts/setup.sh" >&2; exit 1; }
mapfile -t files < <(find runtime settings opcwire tagdb server ua ui app tools tests -name '*.cpp' -o -name '*.h' | sort)
# One run over all files; its warnings name each file that differs.
if ! out="$("$format" --style=file --dry-run --Werror "${files[@]}" 2>&1)"; then
  printf 'Not formatted (clang-format -i FILE):\n' >&2
  grep -oE '^[^:]+\.(cpp|h):' <<<"$out" | sort -u | sed 's/:$//; s/^/  /' >&2
  exit 1
fi
echo "${#files[@]} files follow .clang-format"
