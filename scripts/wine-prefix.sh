#!/usr/bin/env bash
# Makes the build's 32-bit Wine prefix (once) and starts a warm, persistent wineserver for it.
# Usage: scripts/wine-prefix.sh <build dir> [stop]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all

if [ "${2:-}" = stop ]; then
  wineserver -k 2>/dev/null || true
  exit 0
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi

# Wine's service processes inherit the output of the first program started against the prefix;
# a detached server, warmed with output to /dev/null, keeps them away from ctest's pipes.
setsid wineserver -p </dev/null >/dev/null 2>&1 &
sleep 0.2
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
