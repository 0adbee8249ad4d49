#!/bin/sh
# Fails when a DLL imports anything but Windows system DLLs (a runtime left dynamic, say).
objdump=$1; shift
status=0
for dll in "$@"; do
  imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$dll imports: $(echo $imports)"
  for name in $imports; do
    case $(echo "$name" | tr 'A-Z' 'a-z') in
      kernel32.dll|user32.dll|advapi32.dll|shlwapi.dll|crypt32.dll|wintrust.dll|msvcrt.dll|ws2_32.dll|ole32.dll|shell32.dll|winscard.dll) ;;
      *) echo "not a Windows system DLL: $name"; status=1 ;;
    esac
  done
done
exit $status
