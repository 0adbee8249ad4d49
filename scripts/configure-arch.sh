#!/usr/bin/env bash
# Configures the cross build of one architecture once: build/x86 (i686 toolchain) or build/x64
# (x86_64 toolchain). Usage: scripts/configure-arch.sh x86|x64
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  x86) toolchain=cmake/toolchain-mingw-i686.cmake ;;
  x64) toolchain=cmake/toolchain-mingw-x86_64.cmake ;;
  *) echo "usage: configure-arch.sh x86|x64" >&2; exit 2 ;;
esac
[ -f "build/$1/build.ninja" ] ||
  cmake -S . -B "build/$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
