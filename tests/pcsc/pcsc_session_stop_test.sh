#!/usr/bin/env bash
# The PC/SC session's EXIT trap ends the card controller and stops the root, and leaves the
# script's exit status as it was, also in a script that runs under `set -euo pipefail` (as
# scripts/benchmark.sh does), where the controller's end by SIGTERM is a failing status.
# A stand-in root script records its calls; the controller is a sleeping child.
# Usage: pcsc_session_stop_test.sh <repository>
set -u
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts"
cat >"$scratch/scripts/pcsc-root.sh" <<'STUB'
#!/bin/sh
echo "$@" >>"$(dirname "$0")/calls"
STUB
chmod +x "$scratch/scripts/pcsc-root.sh"

failed=0
# script's own exit status | the status the script must end with
for want in 0 3; do
  rm -f "$scratch/scripts/calls"
  status=0
  bash -c '
    set -euo pipefail
    repo=$1 bin=$1
    . "$2/tests/pcsc/pcsc_session.sh"
    trap pcsc_session_stop EXIT
    sleep 60 &
    controller=$!
    # Running, as the real controller is by the time the session has started.
    until [ "$(cat /proc/$controller/comm 2>/dev/null)" = sleep ]; do sleep 0.01; done
    exit "$3"' session "$scratch" "$source_dir" "$want" || status=$?
  calls=$(cat "$scratch/scripts/calls" 2>/dev/null)
  if [ "$status" != "$want" ] || [ "$calls" != stop ]; then
    echo "FAIL: a script ending with status $want under set -e: ended with $status, the root script was called with: '${calls}'"
    failed=1
  else
    echo "ok   a script ending with status $want under set -e: root stopped, status kept"
  fi
done
exit $failed
