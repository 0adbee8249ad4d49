#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build

scripts/wine-prefix.sh build
trap 'scripts/wine-prefix.sh build stop' EXIT
ctest --test-dir build --output-on-failure --timeout 600
