#!/bin/sh
# Fails when the plug-in checker's stand-in of the library lacks one of the library's exports: a
# plug-in that called that one back from its status event path would find nothing to call there
# and pass the checker's event.callback.
# Usage: check-recorder-exports.sh <objdump> <library dll> <stand-in dll>
objdump=$1
names() {
  "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/.*\] \(korvatlib_[A-Za-z0-9_]*\)$/\1/p'
}
library=$(names "$2")
recorded=$(names "$3")
[ -n "$library" ] || { echo "no export of the library read from $2"; exit 1; }
status=0
for name in $library; do
  echo "$recorded" | grep -qx "$name" || { echo "$3 lacks $name"; status=1; }
done
[ $status -eq 0 ] && echo "the stand-in exports the library's $(echo $library | wc -w) names"
exit $status
