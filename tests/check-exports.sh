#!/bin/sh
# Checks a built korvat_nfc_library_for_vb.dll without running it: its PE format is that of its
# architecture (x86: PE32, x64: PE32+), and it exports exactly the twenty functions by their
# undecorated names (no leading underscore, no @n), with ordinals 1..20 in alphabetical order.
# Usage: check-exports.sh <objdump> <dll> <x86|x64>
objdump=$1 dll=$2 arch=$3
case $arch in
  x86) format=pei-i386 magic='010b	(PE32)' ;;
  x64) format=pei-x86-64 magic='020b	(PE32+)' ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac
headers=$("$objdump" -p "$dll") || exit 1
status=0
fail() { echo "$dll: $*"; status=1; }

echo "$headers" | grep -q "file format $format\$" || fail "is not of file format $format"
echo "$headers" | grep -q "^Magic[[:space:]]*$magic" || fail "optional header is not $magic"
echo "$headers" | grep -q '^Ordinal Base[[:space:]]*1$' || fail "ordinal base is not 1"

expected=$(printf '%s\n' close deselect_device get_last_error get_timeout initialize open select_device \
  set_pnp_callback_parameters set_poll_callback_parameters set_timeout start_dev_access start_logging \
  start_plug_and_play start_poll_mode stop_dev_access stop_logging stop_plug_and_play stop_poll_mode thru \
  uninitialize | awk '{ printf "%d %s\n", NR, "korvatlib_nfc_" $0 }')
# "[   i] name" in the name table: ordinal = base (1) + i.
actual=$(echo "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p' | awk '{ printf "%d %s\n", $1 + 1, $2 }')
if [ "$actual" != "$expected" ]; then
  fail "exports differ from the twenty undecorated names with ordinals 1..20"
  printf 'expected (ordinal name):\n%s\nfound:\n%s\n' "$expected" "$actual"
fi
[ $status = 0 ] && echo "$dll: $format, twenty undecorated exports, ordinals 1..20 in alphabetical order"
exit $status
