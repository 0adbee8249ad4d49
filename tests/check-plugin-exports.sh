#!/bin/sh
# Fails when a reader plug-in does not export the fourteen entry points under their plain names,
# or exports an entry point of the interface that is neither one of them nor an optional one.
# Usage: check-plugin-exports.sh <objdump> <plug-in file>...
objdump=$1; shift
required="gp_open_port_and_transition_nfc_mode gp_close_port gp_start_poll_mode gp_stop_poll_mode
          gp_start_device_access gp_stop_device_access gp_select_device gp_deselect_device gp_read
          gp_set_timeout gp_get_timeout gp_get_version_number gp_get_driver_status gp_get_plugin_information"
optional="gp_set_status_event gp_list_ports"
status=0
for plugin in "$@"; do
  exports=$("$objdump" -p "$plugin" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
  for name in $required; do
    echo "$exports" | grep -q "\] $name\$" || { echo "$plugin does not export $name"; status=1; }
  done
  for name in $(echo "$exports" | sed -n 's/.*\] \(gp_[A-Za-z0-9_]*\)$/\1/p'); do
    case " $(echo $required $optional) " in
      *" $name "*) ;;
      *) echo "$plugin exports $name, which is no entry point of the interface"; status=1 ;;
    esac
  done
  [ $status -eq 0 ] && echo "$plugin exports the fourteen entry points ($(for name in $optional; do
    echo "$exports" | grep -q "\] $name\$" && printf '%s ' "$name"; done)optional)"
done
exit $status
