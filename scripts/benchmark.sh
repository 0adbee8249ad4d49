#!/usr/bin/env bash
# Prints the benchmark figures of each architecture this machine can run (see arch-probe.sh):
# the library's hot paths (korvat_benchmark) and the PN532 plug-in over its emulator
# (pn532_benchmark), each line marked [x86] or [x64]; then events as they happen (event_benchmark:
# the default mode and event_notification = 1 side by side) on the simulator and on a PN532
# emulator paced at 115200 baud, and with `pcsc` as the first argument on PC/SC under Wine 10 in
# the PC/SC root (scripts/pcsc-root.sh, which this then starts and stops: x64 only). Builds what is
# missing first; it asserts nothing. KORVAT_X86=yes|no forces the choice for x86.
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
  cmake --build "build/$arch" --target korvat_benchmark pn532_benchmark korvat_test_plugins event_benchmark >/dev/null
  scripts/wine-prefix.sh "build/$arch"
  (cd "build/$arch/bin" && ./../wine-run.sh korvat_benchmark.exe) || true
  (cd "build/$arch/bin" && "$repo/tests/pn532/pn532_with_emulators.sh" "$repo/build/host/bin/pn532_emulator" \
     "$repo/build/$arch" "$repo/build/$arch/wine-run.sh" "$repo/build/$arch/bin/pn532_benchmark.exe") || true
  (cd "build/$arch/bin" && ./../wine-run.sh event_benchmark.exe sim) || true
  # The emulator's cards come on the benchmark's own schedule, from the start of each session
  # (each open of the port), so both modes see the same arrivals.
  events=$(mktemp -d)
  (cd "build/$arch/bin" && ./../wine-run.sh event_benchmark.exe schedule) | tr -d '\r' >"$events/cards.scenario"
  build/host/bin/pn532_emulator --scenario "$events/cards.scenario" --link "build/$arch/wineprefix/dosdevices/com40" \
    --pace >/dev/null 2>"$events/emulator.err" &
  emulator=$!
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -L "build/$arch/wineprefix/dosdevices/com40" ] && break; sleep 0.2; done
  (cd "build/$arch/bin" && ./../wine-run.sh event_benchmark.exe pn532 COM40) || true
  kill $emulator 2>/dev/null; wait $emulator 2>/dev/null || true
  rm -rf "$events"
  scripts/wine-prefix.sh "build/$arch" stop
done

if [ "${1:-}" = pcsc ]; then
  # PC/SC under Wine 10: cards brought by the card controller, timed by the benchmark's own
  # SCardGetStatusChange watcher (x64: the root's Wine is 64-bit).
  bin=$repo/build/x64/bin
  # shellcheck source=../tests/pcsc/pcsc_session.sh
  . tests/pcsc/pcsc_session.sh
  if pcsc_session_start "$repo/build/x64/event_benchmark_cards.log" >/dev/null; then
    in_root_with_cards "$loader" "$bin/event_benchmark.exe" pcsc 2>&1 | tr -d '\r' | grep '^\[' || true
  else
    echo "[x64] events, PC/SC: not run (the PC/SC root could not be started)"
  fi
fi
