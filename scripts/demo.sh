#!/usr/bin/env bash
# The whole road without hardware: installs what is missing, builds the DLL, the simulated reader
# plug-in and the demo, configures the registry of the build's Wine prefix for the simulator and
# runs the demo under Wine. Options are passed on to the demo, e.g. --targets a,f --seconds 10.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
build=build

scripts/install-deps.sh
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" --target korvat_nfc_demo sim_reader_plugin

scripts/wine-prefix.sh "$build"
trap 'scripts/wine-prefix.sh "$build" stop' EXIT

# The library's configuration: the simulator's directory, its category and one port of it.
key='HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library'
plugins=$(WINEPREFIX="$repo/$build/wineprefix" WINEDEBUG=-all winepath -w "$repo/$build/bin/plugins")
"$build/wine-run.sh" reg delete "$key" /f >/dev/null 2>&1 || true
"$build/wine-run.sh" reg add "$key" /v plugins_home_directory /t REG_SZ /d "$plugins" /f >/dev/null
"$build/wine-run.sh" reg add "$key" /v category_name_list /t REG_SZ /d "SIM" /f >/dev/null
"$build/wine-run.sh" reg add "$key" /v port_name_list /t REG_SZ /d "SIM0" /f >/dev/null

"$build/wine-run.sh" "$build/bin/korvat_nfc_demo.exe" "$@"
