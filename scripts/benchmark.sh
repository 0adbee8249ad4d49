#!/usr/bin/env bash
# Prints the benchmark figures of each architecture this machine can run (see arch-probe.sh):
# the library's hot paths (korvat_benchmark) and the PN532 plug-in over its emulator
# (pn532_benchmark), each line marked [x86] or [x64]. Builds what is missing first; it asserts
# nothing. KORVAT_X86=yes|no forces the choice for x86.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

# shellcheck source=arch-probe.sh
. scripts/arch-probe.sh
[ -x build/host/bin/pn532_emulator ] || { cmake -S host -B build/host -G Ninja >/dev/null && cmake --build build/host --target pn532_emulator; }

for arch in x86 x64; do
  run_var=KORVAT_RUN_${arch^^}
  if [ "${!run_var}" != yes ]; then
    echo "[$arch] not run: $([ $arch = x86 ] && echo "$KORVAT_X86_WHY" || echo "64-bit Wine does not start")"
    continue
  fi
  scripts/configure-arch.sh $arch >/dev/null
  cmake --build "build/$arch" --target korvat_benchmark pn532_benchmark korvat_test_plugins >/dev/null
  scripts/wine-prefix.sh "build/$arch"
  (cd "build/$arch/bin" && ./../wine-run.sh korvat_benchmark.exe) || true
  (cd "build/$arch/bin" && "$repo/tests/pn532/pn532_with_emulators.sh" "$repo/build/host/bin/pn532_emulator" \
     "$repo/build/$arch" "$repo/build/$arch/wine-run.sh" "$repo/build/$arch/bin/pn532_benchmark.exe") || true
  scripts/wine-prefix.sh "build/$arch" stop
done
