#!/usr/bin/env bash
# The whole road without hardware: installs what is missing, builds the DLL, the simulated reader
# plug-in and the demo, configures the registry of the build's Wine prefix for the simulator and
# runs the demo under Wine. It runs the x86 build where this machine executes 32-bit code and the
# x64 build where it does not (KORVAT_X86=yes|no forces the choice, see scripts/arch-probe.sh).
# Options are passed on to the demo, e.g. --targets a,f --seconds 10.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

scripts/install-deps.sh
# shellcheck source=arch-probe.sh
. scripts/arch-probe.sh
if [ "$KORVAT_RUN_X86" = yes ]; then
  arch=x86
elif [ "$KORVAT_RUN_X64" = yes ]; then
  arch=x64
  echo "x86: $KORVAT_X86_WHY: the demo runs the x64 build"
else
  echo "error: this machine can run neither 32-bit nor 64-bit Wine: the demo cannot run here" >&2
  exit 1
fi
build=build/$arch

scripts/configure-arch.sh $arch
cmake --build "$build" --target korvat_nfc_demo sim_reader_plugin

scripts/wine-prefix.sh "$build"
trap 'scripts/wine-prefix.sh "$build" stop' EXIT

# The library's configuration: the simulator's directory, its category and one port of it.
key='HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library'
plugins=$("$build/wine-run.sh" winepath -w "$repo/$build/bin/plugins" 2>/dev/null | tr -d '\r')
"$build/wine-run.sh" reg delete "$key" /f >/dev/null 2>&1 || true
"$build/wine-run.sh" reg add "$key" /v plugins_home_directory /t REG_SZ /d "$plugins" /f >/dev/null
"$build/wine-run.sh" reg add "$key" /v category_name_list /t REG_SZ /d "SIM" /f >/dev/null
"$build/wine-run.sh" reg add "$key" /v port_name_list /t REG_SZ /d "SIM0" /f >/dev/null

echo "korvat_nfc_demo ($arch build, $build/bin)"
"$build/wine-run.sh" "$build/bin/korvat_nfc_demo.exe" "$@"
