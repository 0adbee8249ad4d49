#!/usr/bin/env bash
# The .NET binding (bindings/dotnet): its tests on this machine (dotnet test: record layouts
# against the C headers, the error list, record decoding, NDEF types), the samples built, the
# package packed and its layout checked (both architectures' native files, each of them loaded by
# a process of its own architecture), and the road program, a VB.NET program published
# self-contained for win-x64, run by .NET 8 under Wine 10 in the Debian 13 root of
# scripts/pcsc-root.sh (started without pcscd) against build/x64's DLLs; then the VB.NET sample,
# built from the package, reads a card of the simulator there.
#
# Usage: scripts/dotnet-test.sh (after both architectures are built, as build-and-test.sh does;
# the native targets it needs are brought up to date here, the x64 test plug-in among them).
# Exit status: 0 passed; 77 skipped (no dotnet SDK, or the root cannot be made; the reason is
# printed as ".NET tests SKIPPED: <reason>"); anything else failed.
# Outputs below build/dotnet/: packages/Korvat.Nfc.<version>.nupkg, winetests.log.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
out=build/dotnet
dotnet_dir=bindings/dotnet

skip() {
  echo ".NET tests SKIPPED: $*"
  exit 77
}

command -v dotnet >/dev/null || skip "no dotnet SDK on this machine (dotnet is not on PATH)"
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
# shellcheck source=arch-probe.sh
. scripts/arch-probe.sh

for arch in x86 x64; do
  scripts/configure-arch.sh $arch >/dev/null
  cmake --build build/$arch --target korvat_nfc_library_for_vb korvat_nfc_tags sim_reader_plugin pn532_reader_plugin \
    pcsc_reader_plugin >/dev/null
done
# The road program's reader errors come from the scriptable test plug-in (x64 only, outside the package).
cmake --build build/x64 --target fixture_cat0 >/dev/null
mkdir -p $out

echo "== .NET: tests of the pure parts (dotnet test) =="
dotnet test $dotnet_dir/tests/Korvat.Nfc.Tests -c Release --nologo

echo "== .NET: samples (VB.NET and C# consoles, VB.NET WinForms form) =="
for sample in ReadNdef.VB ReadNdef.CSharp ReadNdef.WinForms; do
  dotnet build $dotnet_dir/samples/$sample -c Release --nologo -v quiet
done

echo "== .NET: package =="
# What the package holds of each architecture, in its runtimes/win-<arch>/native directory.
native_files="korvat_nfc_library_for_vb.dll korvat_nfc_tags.dll plugins/sim_reader.gp pn532_plugins/pn532_reader.gp
  pcsc_plugins/pcsc_reader.gp"
rm -rf $out/packages $out/package
dotnet pack $dotnet_dir/Korvat.Nfc -c Release --nologo -v quiet -o $out/packages
nupkg=$(ls $out/packages/Korvat.Nfc.*.nupkg)
python3 -m zipfile -e "$nupkg" $out/package   # python3 is one of install-deps.sh's tools; unzip may be missing
for arch in x86 x64; do
  case $arch in x86) format=pei-i386 ;; x64) format=pei-x86-64 ;; esac
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "build/$arch/CMakeCache.txt")
  for file in $native_files; do
    packaged=$out/package/runtimes/win-$arch/native/$file
    [ -f "$packaged" ] || { echo "FAIL: $nupkg lacks runtimes/win-$arch/native/$file"; exit 1; }
    "$objdump" -f "$packaged" | grep -q "file format $format" \
      || { echo "FAIL: runtimes/win-$arch/native/$file is no $format file"; exit 1; }
    cmp -s "$packaged" "build/$arch/bin/$file" || { echo "FAIL: runtimes/win-$arch/native/$file differs from build/$arch/bin/$file"; exit 1; }
  done
  echo "ok   $nupkg: runtimes/win-$arch/native holds the $arch DLLs and reader plug-ins ($format)"
done
# A .NET Framework application built from the package gets both architectures' files in the
# package's layout (the package's build targets copy them).
rm -rf $out/sample-packages $dotnet_dir/samples/ReadNdef.WinForms/obj
dotnet build $dotnet_dir/samples/ReadNdef.WinForms -c Release --nologo -v quiet -o $out/sample-winforms \
  -p:KorvatPackageSource="$repo/$out/packages" -p:RestorePackagesPath="$repo/$out/sample-packages"
rm -rf $dotnet_dir/samples/ReadNdef.WinForms/obj   # the next build of the sample restores its project reference
for arch in x86 x64; do
  for file in $native_files; do
    cmp -s "$out/sample-winforms/runtimes/win-$arch/native/$file" "build/$arch/bin/$file" \
      || { echo "FAIL: the .NET Framework sample built from the package lacks runtimes/win-$arch/native/$file"; exit 1; }
  done
done
echo "ok   a .NET Framework 4.8 application built from the package has both architectures' files in runtimes/"
# A process of each architecture loads its own files from the package and refuses the other's.
i686-w64-mingw32-gcc -O2 -Wall -Werror -o $out/load_native_x86.exe $dotnet_dir/tests/native_load/load_native.c
x86_64-w64-mingw32-gcc -O2 -Wall -Werror -o $out/load_native_x64.exe $dotnet_dir/tests/native_load/load_native.c
package_windows="Z:$(cd $out/package && pwd | tr / '\\')\\runtimes"
if [ "$KORVAT_RUN_X86" = yes ]; then
  scripts/wine-prefix.sh build/x86
  x86_status=0
  build/x86/wine-run.sh $out/load_native_x86.exe "$package_windows\\win-x86\\native" >$out/load_native_x86.log 2>&1 || x86_status=$?
  cross_status=0
  build/x86/wine-run.sh $out/load_native_x86.exe "$package_windows\\win-x64\\native" >$out/load_native_x86_cross.log 2>&1 || cross_status=$?
  scripts/wine-prefix.sh build/x86 stop
  cat $out/load_native_x86.log
  [ $x86_status = 0 ] || { echo "FAIL: a 32-bit process (Wine 8) cannot load the package's x86 files"; exit 1; }
  grep -q "LoadLibraryEx error 193" $out/load_native_x86_cross.log \
    || { echo "FAIL: a 32-bit process did not refuse the package's x64 files as of another architecture"; exit 1; }
  echo "ok   a 32-bit process refuses the x64 files (ERROR_BAD_EXE_FORMAT)"
else
  echo "x86 files: not loaded ($KORVAT_X86_WHY); their format was checked above"
fi

echo "== .NET: the road under Wine 10 =="
rm -rf $out/winetests $out/sample-vb $out/sample-packages $out/sample-winforms $dotnet_dir/samples/ReadNdef.VB/obj
dotnet publish $dotnet_dir/WineTests -c Release --nologo -v quiet -o $out/winetests
# The VB.NET sample as an application outside this tree builds it: from the package alone.
dotnet publish $dotnet_dir/samples/ReadNdef.VB -c Release --nologo -v quiet -r win-x64 --self-contained \
  -p:KorvatPackageSource="$repo/$out/packages" -p:RestorePackagesPath="$repo/$out/sample-packages" -o $out/sample-vb
rm -rf $dotnet_dir/samples/ReadNdef.VB/obj   # the next build of the sample restores its project reference

cat >$out/run-in-root.sh <<'SCRIPT'
#!/bin/sh
# Runs in the root: the road program, then the sample against the built-in scenario, then the
# x64 loader on the package. Wine's output goes to files (its services keep pipes open).
out=$1
status=0
# The root's Wine prefix lies beside the root: not visible here when the root is outside this tree.
[ -d "$WINEPREFIX" ] || export WINEPREFIX="$(pwd)/$out/wine10-prefix"
"$KORVAT_WINE64" $out/winetests/Korvat.Nfc.WineTests.exe >$out/winetests.log 2>&1 || status=1
key='HKLM\Software\Ravo Corporation\Korvat NFC Library'
"$KORVAT_WINE64" reg add "$key" /v plugins_home_directory /d "Z:$(pwd)/$out/sample-vb" /f >/dev/null 2>&1
"$KORVAT_WINE64" reg delete "$key" /v sim_scenario_file /f >/dev/null 2>&1
"$KORVAT_WINE64" $out/sample-vb/ReadNdef.VB.exe >$out/sample-vb.log 2>&1 || status=1
package="Z:$(pwd)/$out/package/runtimes"
"$KORVAT_WINE64" $out/load_native_x64.exe "$package/win-x64/native" >$out/load_native_x64.log 2>&1 || status=1
"$KORVAT_WINE64" $out/load_native_x64.exe "$package/win-x86/native" >$out/load_native_x64_cross.log 2>&1
exit $status
SCRIPT
chmod +x $out/run-in-root.sh
root_status=0
KORVAT_PCSC_PCSCD=no scripts/pcsc-root.sh with $out/run-in-root.sh $out >$out/pcsc-root.log 2>&1 || root_status=$?
if [ $root_status = 77 ]; then
  skip "$(sed -n 's/^PC\/SC tests SKIPPED: //p' $out/pcsc-root.log | head -n 1) (the Wine 10 root)"
fi
cat $out/winetests.log
echo "-- the VB.NET sample, built from the package, under Wine 10:"
cat $out/sample-vb.log
echo "-- the x64 loader on the package:"
cat $out/load_native_x64.log
failed=0
tail -n 1 $out/winetests.log | grep -Eq '^[0-9]+ passed, 0 failed' || failed=1
grep -q '^  URI:  https://www.example.com/korvat-nfc' $out/sample-vb.log || { echo "FAIL: the sample did not read the card's URI"; failed=1; }
grep -q 'LoadLibraryEx error 193' $out/load_native_x64_cross.log || { echo "FAIL: a 64-bit process did not refuse the x86 files"; failed=1; }
if [ $root_status != 0 ] || [ $failed != 0 ]; then
  echo ".NET: FAILED (root run status $root_status; logs in $out)"
  exit 1
fi
echo ".NET: passed ($(tail -n 1 $out/winetests.log) under Wine 10; the sample read its card from the package)"
