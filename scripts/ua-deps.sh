#!/usr/bin/env bash
# Fetches the OPC UA stack (open62541) and its TLS library (mbedTLS) as Debian
# source packages, checks them by SHA-256 and builds both as static libraries
# for x86_64 and i686 into a cache outside the build tree, once per machine;
# installs the UA client the tests drive (node-opcua, pinned) there too.
# Prints nothing on a second run. The cache folder is $TOVI_DEPS (default
# ~/.cache/tovi-deps); each architecture lands in $TOVI_DEPS/<triple>.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
deps="${TOVI_DEPS:-$HOME/.cache/tovi-deps}"

ua_version=1.4.11.1
ua_tarball=open62541_${ua_version}.orig.tar.gz
ua_sha256=2979c0f09b766fd6470bdf06c8500c90ed51327aae1c22af132641a44178b722
tls_version=3.6.6
tls_tarball=mbedtls_${tls_version}.orig.tar.bz2
tls_sha256=8fb65fae8dcae5840f793c0a334860a411f884cc537ea290ce1c52bb64ca007a
# Winsock's select() holds 64 sockets unless told otherwise; the library's
# event loop and our code must agree on the size.
fd_setsize=1024
# Any change here rebuilds the cache.
recipe="ua=$ua_version tls=$tls_version fd=$fd_setsize r5 $(cat "$root"/scripts/patches/open62541-*.patch | sha256sum | cut -c1-16)"
# The UA client of the tests; later versions need a newer Node.js than Debian's.
ua_client=node-opcua-client@2.182.2

mkdir -p "$deps/src"

fetch() {
  local have_all=1
  for f in "$ua_tarball" "$tls_tarball"; do [ -f "$deps/src/$f" ] || have_all=0; done
  [ $have_all -eq 1 ] && return
  echo "== fetching the OPC UA stack's sources (Debian source packages)"
  local apt="$deps/apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
    >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Get::List-Cleanup=0
    -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" -qq update </dev/null
  # Only the upstream tarballs are needed (and the Debian diff of one of them
  # is not always served), so a partial fetch is judged by what arrived.
  (cd "$deps/src" && apt-get "${opts[@]}" -qq source --download-only open62541 mbedtls </dev/null >/dev/null 2>&1) || true
}

verify() {
  local file="$1" sum="$2"
  if ! echo "$sum  $deps/src/$file" | sha256sum -c --quiet - >/dev/null 2>&1; then
    echo "ua-deps: $file is missing or its SHA-256 is not $sum" >&2
    rm -f "$deps/src/$file"
    exit 1
  fi
}

build_arch() {
  local triple="$1" toolchain="$2"
  local prefix="$deps/$triple"
  if [ -f "$prefix/.recipe" ] && [ "$(cat "$prefix/.recipe")" = "$recipe" ]; then return; fi
  echo "== building mbedTLS $tls_version and open62541 $ua_version for $triple"
  local work="$deps/work-$triple"
  rm -rf "$work" "$prefix"
  mkdir -p "$work"
  tar -xjf "$deps/src/$tls_tarball" -C "$work"
  tar -xzf "$deps/src/$ua_tarball" -C "$work"
  # Our changes to the stack, each a small patch that says why.
  for p in "$root"/scripts/patches/open62541-*.patch; do
    patch -s -d "$work/open62541-$ua_version" -p1 <"$p"
  done
  local flags="-DFD_SETSIZE=$fd_setsize -O2"
  local log="$deps/build-$triple.log"
  trap 'echo "ua-deps: the build for '"$triple"' failed; the end of $log:" >&2; tail -n 30 "$log" >&2' ERR
  cmake -S "$work/mbedtls-$tls_version" -B "$work/tls" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF >"$log" 2>&1
  cmake --build "$work/tls" -j"$(nproc)" >>"$log" 2>&1
  cmake --install "$work/tls" >>"$log" 2>&1
  cmake -S "$work/open62541-$ua_version" -B "$work/ua" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DOPEN62541_VERSION=v1.4.11 \
    -DUA_ENABLE_ENCRYPTION=MBEDTLS -DMBEDTLS_INCLUDE_DIRS="$prefix/include" \
    -DMBEDTLS_LIBRARY="$prefix/lib/libmbedtls.a" -DMBEDX509_LIBRARY="$prefix/lib/libmbedx509.a" \
    -DMBEDCRYPTO_LIBRARY="$prefix/lib/libmbedcrypto.a" \
    -DUA_ENABLE_PUBSUB=OFF -DUA_ENABLE_PUBSUB_INFORMATIONMODEL=OFF -DUA_ENABLE_JSON_ENCODING=OFF \
    -DUA_ENABLE_DA=ON -DUA_ENABLE_HISTORIZING=ON -DUA_ENABLE_DISCOVERY=ON -DUA_ENABLE_DEBUG_SANITIZER=OFF \
    -DUA_NAMESPACE_ZERO=REDUCED -DUA_MULTITHREADING=100 -DUA_BUILD_EXAMPLES=OFF -DUA_BUILD_UNIT_TESTS=OFF \
    -DUA_LOGLEVEL=300 >>"$log" 2>&1
  cmake --build "$work/ua" -j"$(nproc)" >>"$log" 2>&1
  cmake --install "$work/ua" >>"$log" 2>&1
  # The alarms deliver condition events to one subscription's monitored items
  # (ConditionRefresh) and fill in the ConditionId field, which the stack's
  # public API cannot: its internal headers come along, from the same build.
  local private="$prefix/include/open62541-private"
  mkdir -p "$private"
  (cd "$work/open62541-$ua_version" && find src deps -maxdepth 2 -name '*.h' -exec cp --parents {} "$private" \;)
  cp -n "$work/ua/src_generated/open62541/"*.h "$prefix/include/open62541/"
  echo "$recipe" >"$prefix/.recipe"
  rm -rf "$work"
  trap - ERR
}

install_client() {
  local folder="$deps/npm"
  if [ -f "$folder/node_modules/node-opcua-client/package.json" ] &&
    grep -q "\"version\": \"${ua_client##*@}\"" "$folder/node_modules/node-opcua-client/package.json"; then
    return
  fi
  echo "== installing the UA test client $ua_client"
  mkdir -p "$folder"
  (cd "$folder" && npm install --no-audit --no-fund --loglevel=error "$ua_client" </dev/null >/dev/null)
}

fetch
verify "$ua_tarball" "$ua_sha256"
verify "$tls_tarball" "$tls_sha256"
build_arch x86_64-w64-mingw32 "$root/cmake/toolchain-mingw-x86_64.cmake"
build_arch i686-w64-mingw32 "$root/cmake/toolchain-mingw-i686.cmake"
install_client
