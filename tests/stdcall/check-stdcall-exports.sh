#!/bin/sh
# Checks a built korvat_nfc_stdcall.dll without running it: PE32, and it exports exactly the names
# of korvat_nfc_library.def, the first twenty with their ordinals, then those of korvat_nfc_tags.def
# after them (ordinal 20 + n), then the main library's later ones (ordinal n + the tags' count),
# undecorated (no leading underscore, no @n): 32-bit VBA and VB6 declare the functions by the
# names of the two DLLs they stand for, and an ordinal once given stays.
# Usage: check-stdcall-exports.sh <objdump> <korvat_nfc_stdcall.dll> <korvat_nfc_library.def> <korvat_nfc_tags.def>
objdump=$1 dll=$2 nfc_def=$3 tags_def=$4
entries() { sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*@\([0-9]*\).*$/\1 \2/p' "$1"; }
tags_count=$(entries "$tags_def" | wc -l)
{ entries "$nfc_def" | awk '$2 <= 20'; entries "$tags_def" | awk '{ print $1, $2 + 20 }'
  entries "$nfc_def" | awk -v tags="$tags_count" '$2 > 20 { print $1, $2 + tags }'; } |
  awk '{ printf "    %s @%d\n", $1, $2 }' |
  "$(dirname "$0")/../check-def-exports.sh" "$objdump" "$dll" x86 - \
    "the names of both DLLs' .def files, the tag library's after the main library's first twenty"
