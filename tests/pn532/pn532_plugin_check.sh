#!/bin/sh
# The plug-in checker drives the PN532 plug-in against the emulator (COM18 of the build's Wine
# prefix, a type A card in the field): every check must pass, with "COM" in the category list,
# the lifetime steps included (the plug-in's directory is the library's plug-in directory).
# Usage: pn532_plugin_check.sh <emulator> <build dir>
set -u
emulator=$1 build=$2
here=$(cd "$(dirname "$0")" && pwd)
key='HKLM\Software\Ravo Corporation\Korvat NFC Library'
"$build/wine-run.sh" reg add "$key" /v category_name_list /d "SIM, COM" /f >/dev/null 2>&1
"$build/wine-run.sh" reg add "$key" /v port_name_list /d "COM18" /f >/dev/null 2>&1
home="Z:$(cd "$build/bin/pn532_plugins" && pwd | tr / '\\')"
"$build/wine-run.sh" reg add "$key" /v plugins_home_directory /d "$home" /f >/dev/null 2>&1
cd "$build/bin" || exit 1
"$here/pn532_with_emulators.sh" "$emulator" "$build" "$build/wine-run.sh" korvat_nfc_plugin_check.exe \
  --status-calls 20 pn532_plugins/pn532_reader.gp COM18 >"$build/pn532_plugin_check.out" 2>&1 </dev/null
status=$?
"$build/wine-run.sh" reg delete "$key" /f >/dev/null 2>&1
cat "$build/pn532_plugin_check.out"
failed=0
[ "$status" -eq 0 ] || { echo "FAIL: the checker exited with $status"; failed=1; }
for check in library.accepts plugin.category session.thru status.data status.time error.record \
             lifetime.status_under_loader_lock lifetime.free_port_open lifetime.free_while_polling \
             lifetime.free_device_access lifetime.detach_free lifetime.detach_exit lifetime.exit_port_open \
             lifetime.exit_while_polling list.size list.format list.time event.set event.withdraw event.callback \
             event.time; do
  grep -q "^PASS  $check " "$build/pn532_plugin_check.out" || { echo "FAIL: no PASS line for $check"; failed=1; }
done
grep -q '^SUMMARY .* 0 failed' "$build/pn532_plugin_check.out" || { echo "FAIL: the summary reports failures"; failed=1; }
grep -q '^WARN  list.format ' "$build/pn532_plugin_check.out" && { echo "FAIL: the open port is not listed"; failed=1; }
exit $failed
