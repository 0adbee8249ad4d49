#!/usr/bin/env bash
# Makes a build's Wine prefix (once; win32 for build/x86, win64 for build/x64) and starts a warm,
# persistent wineserver for it.
# Usage: scripts/wine-prefix.sh <build dir> [stop]
set -euo pipefail
build=$(cd "${1:-build/x86}" && pwd)
# shellcheck source=/dev/null
. "$build/wine-env.sh"

if [ "${2:-}" = stop ]; then
  "$KORVAT_WINESERVER" -k 2>/dev/null || true
  exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making $WINEARCH Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$KORVAT_WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
  "$KORVAT_WINESERVER" -w 2>/dev/null || true
fi

# Wine's service processes inherit the output of the first program started against the prefix;
# a detached server, warmed with output to /dev/null, keeps them away from ctest's pipes.
setsid "$KORVAT_WINESERVER" -p </dev/null >/dev/null 2>&1 &
sleep 0.2
"$KORVAT_WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
