#!/usr/bin/env bash
# Prints the PC/SC reader plug-in's figures (tests/pcsc/pcsc_benchmark.cpp) under Wine 10 in the
# PC/SC root, with cards brought by the card controller.
# Usage: tests/pcsc/pcsc_benchmark.sh [build dir, default build/x64]
# Exit status: that of the benchmark; 77 where the root cannot be made ("PC/SC tests SKIPPED: ...").
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"
build=$(cd "${1:-build/x64}" && pwd)
bin=$build/bin
[ -f "$bin/pcsc_benchmark.exe" ] || { echo "missing $bin/pcsc_benchmark.exe (build the x64 tree first)" >&2; exit 1; }
# shellcheck source=pcsc_session.sh
. tests/pcsc/pcsc_session.sh
pcsc_session_start "$build/pcsc_card_control.log" >/dev/null || exit $?
in_root_with_cards "$loader" "$bin/pcsc_benchmark.exe" 2>&1 | tr -d '\r'
exit "${PIPESTATUS[0]}"
