# Sourced by the PC/SC scripts that run programs of a build under Wine 10 in the PC/SC root:
# pcsc_session_start makes and starts the root (its status, 77 when the root cannot be made here,
# is returned; 1 when another session has it started), readies the Wine 10 prefix and starts the card controller
# (tests/pcsc/pcsc_card_control.py) on $control_port; the EXIT trap stops both. in_root runs a
# command in the root from the build's bin directory; in_root_with_cards also gives it the
# controller's port (KORVAT_PCSC_CONTROL).
# Needs: repo, bin (the build's bin directory, absolute).
root_sh=$repo/scripts/pcsc-root.sh
loader=/usr/lib/wine/wine64
control_port=${KORVAT_PCSC_CONTROL_PORT:-35971}
controller=

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

pcsc_session_stop() {
  # Also under `set -e`: the controller ended by SIGTERM is a failing status, which must neither
  # skip the root's stop nor become the script's exit status.
  if [ -n "$controller" ]; then
    kill "$controller" 2>/dev/null || true
    wait "$controller" 2>/dev/null || true
  fi
  "$root_sh" stop
}

in_root() { ( cd "$bin" && "$root_sh" run "$@" ); }
in_root_with_cards() { in_root env KORVAT_PCSC_CONTROL="$control_port" "$@"; }

pcsc_session_start() {  # <controller log>
  local status mounts
  "$root_sh" make || return $?
  # A root that is started already (pcscd running, or trees mounted in it) is another session's:
  # joining it would stop it, and that session's programs in it, when this one ends.
  status=$("$root_sh" status)
  mounts=$(printf '%s\n' "$status" | sed -n 's/^mounts: *//p')
  if [ -n "${mounts// /}" ] || printf '%s\n' "$status" | grep -q '^pcscd: running'; then
    echo "error: the PC/SC root is in use by another session (mounts: ${mounts:-none}); if none runs, free it with scripts/pcsc-root.sh stop" >&2
    return 1
  fi
  trap pcsc_session_stop EXIT
  "$root_sh" start || return $?
  in_root sh -c "[ -f \"\$WINEPREFIX/system.reg\" ] || $loader wineboot -i >/dev/null 2>&1 || true"
  python3 "$repo/tests/pcsc/pcsc_card_control.py" "$root_sh" "$control_port" >"$1" 2>&1 &
  controller=$!
  for _ in $(seq 1 50); do grep -q listening "$1" && return 0; sleep 0.1; done
  cat "$1"
  echo "error: the card controller did not start" >&2
  return 1
}
