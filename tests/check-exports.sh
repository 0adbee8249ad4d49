#!/bin/sh
# Checks a built korvat_nfc_library_for_vb.dll without running it: its PE format is that of its
# architecture (x86: PE32, x64: PE32+), and it exports exactly the twenty functions by their
# undecorated names (no leading underscore, no @n), with ordinals 1..20 in alphabetical order,
# and the functions added after them with ordinals from 21 on in the order they were added.
# The list is written here, not taken from korvat_nfc_library.def, so that the .def file is checked too.
# Usage: check-exports.sh <objdump> <dll> <x86|x64>
printf '%s\n' close deselect_device get_last_error get_timeout initialize open select_device \
  set_pnp_callback_parameters set_poll_callback_parameters set_timeout start_dev_access start_logging \
  start_plug_and_play start_poll_mode stop_dev_access stop_logging stop_plug_and_play stop_poll_mode thru \
  uninitialize set_event_queue get_next_event list_readers |
  awk '{ printf "    korvatlib_nfc_%s @%d\n", $0, NR }' |
  "$(dirname "$0")/check-def-exports.sh" "$1" "$2" "$3" - \
    "the twenty undecorated names with ordinals 1..20 in alphabetical order and the later ones from 21 on"
