#!/bin/sh
# Runs a command with four PN532 emulators on COM ports of the build's Wine prefix:
#   COM18 a chip with a type A card, COM19 the reader unplugged at the first InDataExchange,
#   COM20 a chip that stops answering InDataExchange, COM21 a chip that is not a PN532,
#   COM22 the card of COM18 with the bytes paced at 115200 baud, COM23 a card that enters the
#   field 2 s after the session began, COM24 the card of COM18 on a reader that is unplugged at
#   its second presence check and plugged in again 1.5 s later, COM25 a card at the edge of the
#   field: in for 300 ms, out for 300 ms, for 20.4 s from the session's start, then gone,
#   COM26 a Type 2 Tag (144-byte data area) with a URI record; paced at 115200 baud and writable,
#   for the benchmark of whole NDEF messages: COM27 a Type 2 Tag (504-byte data area, a 480-byte
#   message), COM28 a Type 4 Tag on type A and COM29 a Type 3 Tag at 212 kbit/s (900-byte messages);
#   COM30 a writable Type 2 Tag (888-byte data area) with a text and a URI record, for the demo;
#   COM31 a strict Type 2 Tag (144 bytes, no GET_VERSION: a command it does not know puts it to
#   sleep until it is activated again) with a URI record, for the demo;
#   COM32 a card in the field from 300 to 1300 ms of the session, another from 2000 ms on (arrival
#   and departure); COM33 as COM24, for the port lists (a link that goes away and comes back);
#   COM34 a card in the field from 300 to 2100 ms of the session, the same card again from 2800 ms on.
# Usage: pn532_with_emulators.sh <emulator> <build dir> <command...>
set -u
emulator=$1 build=$2
shift 2
if [ ! -x "$emulator" ]; then
  echo "FAIL: the PN532 emulator is not at $emulator: build the host project first (cmake -S host -B build/host)"
  exit 1
fi
devices=$build/wineprefix/dosdevices
work=$(mktemp -d)
pids=
trap 'for p in $pids; do kill $p 2>/dev/null; wait $p 2>/dev/null; done; rm -rf "$work"' EXIT
printf '%s\n' "card A 0 6000000 nfcid1=04D1D2D3D4D5D6 sens_res=0344 sel_res=20 ats=0578807002" \
  "uri https://example.org/pn532" >"$work/card.scenario"
start() {
  port=$1
  shift
  "$emulator" --scenario "$work/card.scenario" --link "$devices/$port" "$@" >/dev/null 2>"$work/$port.err" &
  pids="$pids $!"
}
start com18
start com19 --fault disconnect --fault-command 40
start com20 --fault no-answer --fault-command 40 --fault-count 0
start com21 --firmware 33020108
start com22 --pace
start com24 --fault disconnect --fault-command 00 --fault-skip 1 --replug 1500
start com33 --fault disconnect --fault-command 00 --fault-skip 1 --replug 1500
printf '%s\n' "card A 300 1300 nfcid1=04A1A2A3A4A5A6 sel_res=20 ats=0578807002" \
  "card A 2000 6000000 nfcid1=04B1B2B3B4B5B6 sel_res=20 ats=0578807002" >"$work/departure.scenario"
"$emulator" --scenario "$work/departure.scenario" --link "$devices/com32" >/dev/null 2>"$work/com32.err" &
pids="$pids $!"
printf '%s\n' "card A 300 2100 nfcid1=04A1A2A3A4A5A6 sel_res=20 ats=0578807002" \
  "card A 2800 6000000 nfcid1=04A1A2A3A4A5A6 sel_res=20 ats=0578807002" >"$work/again.scenario"
"$emulator" --scenario "$work/again.scenario" --link "$devices/com34" >/dev/null 2>"$work/com34.err" &
pids="$pids $!"
printf '%s\n' "card A 2000 6000000 nfcid1=04E1E2E3E4E5E6 sel_res=20 ats=0578807002" >"$work/later.scenario"
"$emulator" --scenario "$work/later.scenario" --link "$devices/com23" >/dev/null 2>"$work/com23.err" &
pids="$pids $!"
i=0
while [ $i -lt 34 ]; do
  echo "card A $((i * 600)) $((i * 600 + 300)) nfcid1=04F1F2F3F4F5F6 sel_res=20 ats=0578807002"
  i=$((i + 1))
done >"$work/edge.scenario"
"$emulator" --scenario "$work/edge.scenario" --link "$devices/com25" >/dev/null 2>"$work/com25.err" &
pids="$pids $!"
printf '%s\n' "card T2 0 6000000 size=144 uid=04A1B2C3D4E5F6" "uri https://example.org/type2" >"$work/type2.scenario"
"$emulator" --scenario "$work/type2.scenario" --link "$devices/com26" >/dev/null 2>"$work/com26.err" &
pids="$pids $!"
printf '%s\n' "card T2 0 6000000 size=888 uid=04B1C2D3E4F5A6" "text en Type 2 over PN532" \
  "uri https://example.org/pn532-t2" >"$work/demo-type2.scenario"
"$emulator" --scenario "$work/demo-type2.scenario" --link "$devices/com30" >/dev/null 2>"$work/com30.err" &
pids="$pids $!"
printf '%s\n' "card T2 0 6000000 size=144 uid=04C1D2E3F4A5B6 strict" "uri https://example.org/strict-t2" \
  >"$work/strict-type2.scenario"
"$emulator" --scenario "$work/strict-type2.scenario" --link "$devices/com31" >/dev/null 2>"$work/com31.err" &
pids="$pids $!"
letters() { head -c "$1" /dev/zero | tr '\0' 'k'; }
printf '%s\n' "card T2 0 6000000 size=504" "text en $(letters 470)" >"$work/type2-full.scenario"
printf '%s\n' "card A 0 6000000 nfcid1=04C1C2C3C4C5C6 sel_res=20 ats=0578807002 writable" \
  "text en $(letters 890)" >"$work/type4-full.scenario"
printf '%s\n' "card F 0 6000000 writable" "text en $(letters 890)" >"$work/type3-full.scenario"
for full in com27:type2 com28:type4 com29:type3; do
  port=${full%%:*}
  "$emulator" --scenario "$work/${full#*:}-full.scenario" --link "$devices/$port" --pace >/dev/null 2>"$work/$port.err" &
  pids="$pids $!"
done
for port in com18 com19 com20 com21 com22 com23 com24 com25 com26 com27 com28 com29 com30 com31 com32 com33 com34; do
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    [ -L "$devices/$port" ] && break
    sleep 0.2
  done
  [ -L "$devices/$port" ] || { echo "FAIL: no emulator on $port"; cat "$work/$port.err"; exit 1; }
done
KORVAT_PN532_EMULATED_PORTS=COM18,COM19,COM20,COM21,COM22,COM23,COM24,COM25,COM26,COM27,COM28,COM29,COM30,COM31,COM32,COM33,COM34 "$@"
