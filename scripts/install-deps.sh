#!/usr/bin/env bash
# Installs the cross toolchains (x86 and x64), both Wines, the native compilers of the portable
# core's tests and fuzzers, the build tools, and Python 3 for the PC/SC virtual card's tests on
# Debian 12: only what is missing.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  updated=no
else
  updated=skip
fi

# wine32:i386 installs on every x86-64 machine, also on one that cannot execute it; the test
# script probes whether it runs.
for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 \
         g++ clang-14 libfuzzer-14-dev libclang-rt-14-dev libnfc-bin libnfc-examples socat \
         osslsigncode openssl cmake ninja-build googletest ca-certificates python3; do
  have_pkg "$p" || need+=("$p")
done

if [ "${#need[@]}" -gt 0 ] || [ "$updated" = no ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ "${#need[@]}" -gt 0 ]; then
    echo "installing: ${need[*]}"
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  fi
fi

# The test plug-ins' time stamps are made by osslsigncode's own time-stamp authority
# (-TSA-certs, -TSA-key, -TSA-time), which bookworm's osslsigncode 2.5 lacks: take the backport.
if ! osslsigncode --help 2>&1 | grep -q -- '-TSA-time'; then
  backports=/etc/apt/sources.list.d/korvat-bookworm-backports.list
  if [ ! -f "$backports" ]; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" >"$backports"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  echo "installing: osslsigncode from bookworm-backports (its time-stamp authority)"
  apt-get install -y -qq --no-install-recommends -t bookworm-backports osslsigncode >/dev/null
  osslsigncode --help 2>&1 | grep -q -- '-TSA-time' || {
    echo "error: osslsigncode has no -TSA-time even from bookworm-backports" >&2
    exit 1
  }
fi
