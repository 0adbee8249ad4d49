#!/bin/sh
# Checks a built DLL against a module definition file without running it: its PE format is that
# of its architecture (x86: PE32, x64: PE32+), and it exports exactly the names of the .def file,
# undecorated (no leading underscore, no @n), each with the ordinal the file gives.
# Usage: check-def-exports.sh <objdump> <dll> <x86|x64> <file.def | - (read from stdin)> [what the list is]
objdump=$1 dll=$2 arch=$3 def=$4
list=${5:-the undecorated names and ordinals of $(basename "$def")}
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

# "    name @n" lines of the .def file, as "n name", in ordinal order.
expected=$(sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*@\([0-9]*\).*$/\2 \1/p' "$def" | sort -n)
[ -n "$expected" ] || fail "$list: no export"
# "[   i] name" in the name table: ordinal = base (1) + i; sorted by ordinal to compare.
actual=$(echo "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p' | awk '{ printf "%d %s\n", $1 + 1, $2 }' |
  sort -n)
if [ "$actual" != "$expected" ]; then
  fail "exports differ from $list"
  printf 'expected (ordinal name):\n%s\nfound:\n%s\n' "$expected" "$actual"
fi
[ $status = 0 ] && echo "$dll: $format, $(echo "$expected" | wc -l) exports, $list"
exit $status
