#!/bin/sh
# End to end under Wine: the native PN532 emulator's pseudo-terminal as a COM port of the build's
# Wine prefix, the library with the PN532 plug-in, and the demo on that port with the given
# options, finding targets and reading (or writing) their NDEF messages.
# On COM17 the script links its own emulator with a type A, a type B and a type F card, one after
# the other; any other port must have an emulator already (tests/pn532/pn532_with_emulators.sh).
# Usage: pn532_demo_e2e.sh <emulator> <build dir> <port> <demo options> <expected line>...
set -u
emulator=$1 build=$2 port=$3 options=$4
shift 4
if [ ! -x "$emulator" ]; then
  echo "FAIL: the PN532 emulator is not at $emulator: build the host project first (cmake -S host -B build/host)"
  exit 1
fi
prefix=$build/wineprefix
work=$(mktemp -d)
emu_pid=
trap '[ -z "$emu_pid" ] || { kill $emu_pid 2>/dev/null; wait $emu_pid 2>/dev/null; }; rm -rf "$work"' EXIT
link=$prefix/dosdevices/$(echo "$port" | tr A-Z a-z)
if [ "$port" = COM17 ]; then
  cat > "$work/cards.scenario" <<'SCENARIO'
card A 0 2500 nfcid1=04E1E2E3E4E5E6 sens_res=0344 sel_res=20 ats=0578807002
uri https://example.org/pn532-a
card B 2500 5000 atqb=50B1B2B3B4000000000071F1 attrib=01
text en PN532 B
card F 5000 7500 nfcid2=01F1F2F3F4F5F6F7 pad=03014B024F4993FF rd=12FC
text en PN532 F
uri mailto:pn532@example.org
SCENARIO
  "$emulator" ${PN532_E2E_TRACE:+--trace} --scenario "$work/cards.scenario" --link "$link" >"$work/emulator.out" 2>"$work/emulator.err" &
  emu_pid=$!
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -L "$link" ] && break
    sleep 0.2
  done
fi
[ -L "$link" ] || { echo "FAIL: no emulator on $port"; cat "$work/emulator.err" 2>/dev/null; exit 1; }

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
key='HKLM\Software\Ravo Corporation\Korvat NFC Library'
"$build/wine-run.sh" reg add "$key" /v plugins_home_directory /d "$(windows_path "$build/bin/pn532_plugins")" /f >/dev/null 2>&1
"$build/wine-run.sh" reg add "$key" /v category_name_list /d "SIM, COM" /f >/dev/null 2>&1
"$build/wine-run.sh" reg add "$key" /v port_name_list /d "$port" /f >/dev/null 2>&1

# The options are words without spaces of their own.
"$build/wine-run.sh" "$build/bin/korvat_nfc_demo.exe" --port "$port" $options --seconds 8 \
  >"$work/demo.out" 2>&1 </dev/null
status=$?
"$build/wine-run.sh" reg delete "$key" /f >/dev/null 2>&1
cat "$work/demo.out"
failed=0
[ "$status" -eq 0 ] || { echo "FAIL: the demo exited with $status"; failed=1; }
for line in "$@"; do
  grep -qF -- "$line" "$work/demo.out" || { echo "FAIL: missing: $line"; failed=1; }
done
if grep -q "failed" "$work/demo.out"; then echo "FAIL: a call failed"; failed=1; fi
[ -z "$emu_pid" ] || { echo "--- emulator:"; cat "$work/emulator.err"; }
exit $failed
