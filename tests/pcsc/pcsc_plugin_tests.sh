#!/usr/bin/env bash
# The PC/SC reader plug-in under Wine 10 against pcscd, vpcd and the virtual card, in the PC/SC
# root (scripts/pcsc-root.sh): the GoogleTest program pcsc_plugin_tests.exe (its cards brought and
# taken away by tests/pcsc/pcsc_card_control.py), the plug-in checker with the port PCSC0, and the
# demo on PCSC0 reading the NDEF message of each card kind through the tag library.
#
# Usage: tests/pcsc/pcsc_plugin_tests.sh [build dir, default build/x64] [gtest filter]
# Exit status: 0 all passed; 77 the root cannot be made or started here ("PC/SC tests SKIPPED:
# <reason>" printed); 1 a part failed. The root is stopped at the end.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
cd "$repo"
build=$(cd "${1:-build/x64}" && pwd)
filter=${2:-*}
bin=$build/bin
key='HKLM\Software\Ravo Corporation\Korvat NFC Library'
status=0
# shellcheck source=pcsc_session.sh
. tests/pcsc/pcsc_session.sh
say() { echo "pcsc-plugin-tests: $*"; }

for f in pcsc_plugin_tests.exe korvat_nfc_plugin_check.exe korvat_nfc_demo.exe pcsc_plugins/pcsc_reader.gp; do
  [ -f "$bin/$f" ] || { say "missing $bin/$f (build the x64 tree first)"; exit 1; }
done

t0=$(now)
pcsc_session_start "$build/pcsc_card_control.log" || exit $?
say "root, Wine 10 prefix and card controller ready in $(elapsed "$t0")s"

# 1. The GoogleTest program.
started=$(now)
if in_root_with_cards "$loader" "$bin/pcsc_plugin_tests.exe" \
     --gtest_filter="$filter" >"$build/pcsc_plugin_tests.out" 2>&1; then
  say "PASS pcsc_plugin_tests.exe in $(elapsed "$started")s"
else
  status=1
  say "FAIL pcsc_plugin_tests.exe; its output:"
fi
grep -E '^\[ *(OK|FAILED|PASSED|SKIPPED) *\]|Failure|error:|Expected|Actual|Which is|Value of|trace' \
  "$build/pcsc_plugin_tests.out" | sed 's/^/    /'
[ "$filter" = '*' ] || exit $status

# The registry of the root's prefix, for the checker and the demo.
home="Z:$(echo "$bin/pcsc_plugins" | tr / '\\')"
reg() { in_root "$loader" reg "$@" >/dev/null 2>&1; }
configure() {  # <category list>
  reg delete "$key" /f
  reg add "$key" /v plugins_home_directory /d "$home" /f
  reg add "$key" /v category_name_list /d "$1" /f
  reg add "$key" /v port_name_list /d PCSC0 /f
  reg add "$key" /v pcsc_reader_filter /d "Virtual PCD" /f
}
card() { "$root_sh" card "$@"; }

# 2. The plug-in checker, a type A card in the reader.
started=$(now)
configure "SIM, PCSC"
pid=$(card --card t4a --profile pn532)
sleep 1
in_root "$loader" korvat_nfc_plugin_check.exe --status-calls 20 pcsc_plugins/pcsc_reader.gp PCSC0 \
  >"$build/pcsc_plugin_check.out" 2>&1 </dev/null
check_status=$?
"$root_sh" card-stop "$pid"
failed=
[ "$check_status" -eq 0 ] || failed="$failed exit=$check_status"
for check in library.accepts plugin.category session.thru status.data status.time error.record \
             lifetime.free_while_polling lifetime.detach_free lifetime.detach_exit lifetime.exit_port_open \
             lifetime.exit_while_polling list.size list.format list.time event.set event.withdraw event.callback \
             event.time; do
  grep -q "^PASS  $check " "$build/pcsc_plugin_check.out" || failed="$failed $check"
done
grep -q '^SUMMARY .* 0 failed' "$build/pcsc_plugin_check.out" || failed="$failed summary"
if [ -z "$failed" ]; then
  say "PASS the checker passes pcsc_reader.gp on PCSC0 in $(elapsed "$started")s"
else
  status=1
  say "FAIL the checker:$failed; its output:"
  sed 's/^/    /' "$build/pcsc_plugin_check.out"
fi

# 3. The demo reads the NDEF message of each card kind on PCSC0.
configure PCSC
demos=(
  "t4a|--card t4a --profile plain --uri https://example.org/pcsc-a|URI  https://example.org/pcsc-a"
  "t4b|--card t4b --profile part3 --uri https://example.org/pcsc-b|URI  https://example.org/pcsc-b"
  "t3|--card t3 --profile pn532 --uri https://example.org/pcsc-f|URI  https://example.org/pcsc-f"
  "t2|--card t2 --profile storage --uri https://example.org/pcsc-t2|URI  https://example.org/pcsc-t2"
)
for d in "${demos[@]}"; do
  IFS='|' read -r name options expected <<<"$d"
  started=$(now)
  # shellcheck disable=SC2086
  pid=$(card $options)
  out=$build/pcsc_demo_$name.out
  in_root "$loader" korvat_nfc_demo.exe --port PCSC0 --targets a,b,f --seconds 5 >"$out" 2>&1 </dev/null
  demo_status=$?
  "$root_sh" card-stop "$pid"
  if [ "$demo_status" -eq 0 ] && grep -qF "record 1: $expected" "$out" &&
     grep -q "^1 target(s) found, 1 NDEF message(s) read" "$out"; then
    say "PASS the demo reads the $name card's message on PCSC0 in $(elapsed "$started")s"
  else
    status=1
    say "FAIL the demo on the $name card (exit $demo_status); its output:"
    sed 's/^/    /' "$out"
  fi
done
reg delete "$key" /f
say "done in $(elapsed "$t0")s"
exit $status
