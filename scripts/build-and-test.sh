#!/usr/bin/env bash
# Installs what is missing, runs the portable core's native tests and bounded fuzz runs, builds
# both architectures (build/x86, build/x64) and runs every test this machine can run: the x64
# suite under 64-bit Wine always, the x86 suite under 32-bit Wine
# where the machine executes 32-bit code (side by side), then the PC/SC suite under Wine 10 in the
# PC/SC root (x64; skipped, with its reason, where the root cannot be made). Where it cannot, the x86 binaries are
# still built and checked statically, and the x86 suite is reported as skipped.
# KORVAT_X86=yes|no forces the answer of the 32-bit probe (see scripts/arch-probe.sh).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

scripts/install-deps.sh
# shellcheck source=arch-probe.sh
. scripts/arch-probe.sh
if [ "$KORVAT_RUN_X64" = no ] && [ "$KORVAT_RUN_X86" = no ]; then
  echo "error: this machine can run neither 64-bit nor 32-bit Wine (/usr/lib/wine/wine64 does not start," \
       "and $KORVAT_X86_WHY): no test can run here" >&2
  exit 1
fi
[ "$KORVAT_RUN_X86" = yes ] || echo "x86: $KORVAT_X86_WHY: the x86 binaries are built and checked statically, their tests are skipped"

# The portable core natively, under sanitizers, and its fuzz targets for a bounded time: no Wine.
# First, because the cross builds' tests use programs of this native build.
echo "== native tests and bounded fuzz runs of the portable core =="
scripts/host-test.sh

for arch in x86 x64; do
  scripts/configure-arch.sh $arch
  cmake --build "build/$arch"
done

# Static checks of both DLLs, which need no Wine: imports, export names, ordinals and undecorated names.
for arch in x86 x64; do
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "build/$arch/CMakeCache.txt")
  tests/check-imports.sh "$objdump" "build/$arch/bin/korvat_nfc_library_for_vb.dll" "build/$arch/bin/korvat_nfc_tags.dll" \
    "build/$arch/bin/plugins/sim_reader.gp" "build/$arch/bin/pn532_plugins/pn532_reader.gp" \
    "build/$arch/bin/pcsc_plugins/pcsc_reader.gp"
  tests/check-plugin-exports.sh "$objdump" "build/$arch/bin/pcsc_plugins/pcsc_reader.gp" \
    "build/$arch/bin/pn532_plugins/pn532_reader.gp"
  tests/check-exports.sh "$objdump" "build/$arch/bin/korvat_nfc_library_for_vb.dll" "$arch"
  tests/check-def-exports.sh "$objdump" "build/$arch/bin/korvat_nfc_tags.dll" "$arch" TagLibrary/korvat_nfc_tags.def
done
# The stdcall companion of 32-bit VBA and VB6 (x86 only).
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' build/x86/CMakeCache.txt)
tests/check-imports.sh "$objdump" build/x86/bin/korvat_nfc_stdcall.dll
tests/stdcall/check-stdcall-exports.sh "$objdump" build/x86/bin/korvat_nfc_stdcall.dll NFCLibrary/korvat_nfc_library.def \
  TagLibrary/korvat_nfc_tags.def

# The Wine suites: each architecture has its own prefix and server, so they run side by side.
run_suite() {
  local arch=$1
  scripts/wine-prefix.sh "build/$arch"
  local status=0
  ctest --test-dir "build/$arch" --output-on-failure --timeout 600 || status=$?
  scripts/wine-prefix.sh "build/$arch" stop
  return $status
}
stop_servers() {
  for arch in x86 x64; do [ -f "build/$arch/wine-env.sh" ] && scripts/wine-prefix.sh "build/$arch" stop; done
}
trap stop_servers EXIT

x86_status=skipped
x64_status=skipped
x86_pid=
if [ "$KORVAT_RUN_X86" = yes ]; then
  echo "x86 suite runs in the background; its output: build/x86/ctest.log (shown when it ends)"
  run_suite x86 >build/x86/ctest.log 2>&1 &
  x86_pid=$!
fi
if [ "$KORVAT_RUN_X64" = yes ]; then
  echo "== x64 suite (64-bit Wine) =="
  if run_suite x64 2>&1 | tee build/x64/ctest.log; then x64_status=passed; else x64_status=FAILED; fi
fi
if [ -n "$x86_pid" ]; then
  if wait "$x86_pid"; then x86_status=passed; else x86_status=FAILED; fi
  echo "== x86 suite (32-bit Wine) =="
  cat build/x86/ctest.log
fi

# The PC/SC reader plug-in under Wine 10 against pcscd and the virtual card, in the Debian 13 root
# of scripts/pcsc-root.sh (made once, about 3 minutes): x64 only, since 32-bit programs cannot
# reach pcscd there. Where the root cannot be made the suite is skipped, loudly, and the run goes
# on; where it can, a failure fails the run.
pcsc_status=skipped
pcsc_why="64-bit Wine does not start"
pcsc_x86_why="Wine 10's 32-bit SCardEstablishContext fails with SCARD_E_INVALID_PARAMETER (0x80100004) in the root; the x86 pcsc_reader.gp is built and checked statically"
if [ "$KORVAT_RUN_X64" = yes ]; then
  echo "== PC/SC suite (x64, Wine 10, pcscd and vpcd in the PC/SC root) =="
  pcsc_rc=0
  tests/pcsc/pcsc_plugin_tests.sh build/x64 2>&1 | tee build/x64/pcsc.log || pcsc_rc=${PIPESTATUS[0]}
  case $pcsc_rc in
    0) pcsc_status=passed ;;
    77) pcsc_why=$(sed -n 's/^PC\/SC tests SKIPPED: //p' build/x64/pcsc.log | tail -n 1) ;;
    *) pcsc_status=FAILED ;;
  esac
fi

# The .NET binding where the dotnet SDK exists and the Wine 10 root can be made; elsewhere its
# script says loudly why it skipped, and the rest stands.
echo "== .NET binding =="
mkdir -p build
dotnet_status=0
scripts/dotnet-test.sh 2>&1 | tee build/dotnet-test.log || dotnet_status=$?

echo "== summary =="
echo "native: passed (portable core tests under sanitizers, bounded fuzz runs)"
for arch in x64 x86; do
  status_var=${arch}_status
  counts=$(grep -h 'tests passed, .* tests failed out of' "build/$arch/ctest.log" 2>/dev/null | tail -n 1 || true)
  case ${!status_var} in
    passed) echo "$arch: passed: $counts" ;;
    FAILED) echo "$arch: FAILED: ${counts:-see build/$arch/ctest.log}" ;;
    skipped)
      if [ $arch = x86 ]; then why=$KORVAT_X86_WHY; else why="64-bit Wine does not start"; fi
      echo "$arch: SKIPPED, not run ($why); static checks of the $arch binaries passed" ;;
  esac
done
case $dotnet_status in
  0) echo ".NET: $(sed -n 's/^\.NET: passed (\(.*\))$/passed: \1/p' build/dotnet-test.log)" ;;
  77) grep -m 1 '^\.NET tests SKIPPED: ' build/dotnet-test.log ;;
  *) echo ".NET: FAILED (see build/dotnet-test.log)" ;;
esac
case $pcsc_status in
  passed) echo "PC/SC x64: passed: pcsc_plugin_tests $(grep -o '\[  PASSED  \].*' build/x64/pcsc.log | tail -n 1), the checker and the demo on PCSC0" ;;
  FAILED) echo "PC/SC x64: FAILED: see build/x64/pcsc.log" ;;
  skipped) echo "PC/SC tests SKIPPED: x64: ${pcsc_why:-the PC/SC root cannot be made here}" ;;
esac
echo "PC/SC tests SKIPPED: x86: $pcsc_x86_why"
[ "$x86_status" != FAILED ] && [ "$x64_status" != FAILED ] && [ "$pcsc_status" != FAILED ] \
  && { [ $dotnet_status = 0 ] || [ $dotnet_status = 77 ]; }
