#!/usr/bin/env bash
# Installs whatever the build and the tests need and is not yet on the machine
# (Debian packages only); a second run installs nothing.
set -euo pipefail

packages=(
  cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools
  wine64 libwine-dev googletest clang clang-format xvfb x11-apps imagemagick fp-utils fonts-wine nsis
  python3 bzip2 patch debian-archive-keyring
)
# The UA test client runs on Node.js; a machine without one takes Debian's.
command -v node >/dev/null || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# The OPC UA stack and the UA test client, built and installed once per machine.
bash "$(dirname "$0")/ua-deps.sh"
