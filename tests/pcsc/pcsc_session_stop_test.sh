#!/usr/bin/env bash
# The PC/SC session (tests/pcsc/pcsc_session.sh) in a script that runs under `set -euo pipefail`,
# as scripts/benchmark.sh does, against a stand-in root script that records its calls and a
# stand-in card controller (a sleeping child that says it listens):
#  - its EXIT trap ends the controller and stops the root, and keeps the script's exit status
#    (the controller's end by SIGTERM is a failing status);
#  - a root that another session has started (pcscd running, or trees mounted in it) is neither
#    joined nor stopped: the start fails and the root script sees no start and no stop.
# Usage: pcsc_session_stop_test.sh <repository>
set -u
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts" "$scratch/tests/pcsc"
# The root as the case's file `state` describes it to `status`; the other calls are recorded.
cat >"$scratch/scripts/pcsc-root.sh" <<'STUB'
#!/bin/sh
here=$(dirname "$0")
[ "$1" = status ] && exec cat "$here/state"
echo "$1" >>"$here/calls"
STUB
cat >"$scratch/tests/pcsc/pcsc_card_control.py" <<'STUB'
import sys, time
print("listening", flush=True)
time.sleep(60)
STUB
chmod +x "$scratch/scripts/pcsc-root.sh"

idle=$'pcscd: stopped\nmounts: '
failed=0
# what the root's status says | the script's own exit status | the status it must end with |
# the root script's calls other than status
while IFS='|' read -r state own want calls; do
  printf '%b\n' "$state" >"$scratch/scripts/state"
  rm -f "$scratch/scripts/calls"
  status=0
  bash -c '
    set -euo pipefail
    repo=$1 bin=$1
    . "$2/tests/pcsc/pcsc_session.sh"
    pcsc_session_start "$1/controller.log" 2>/dev/null || exit 9
    exit "$3"' session "$scratch" "$source_dir" "$own" || status=$?
  got=$(tr '\n' ' ' <"$scratch/scripts/calls" 2>/dev/null)
  if [ "$status" != "$want" ] || [ "$got" != "$calls" ]; then
    echo "FAIL: root '$state', script status $own: ended with $status (want $want), root script called with '$got' (want '$calls')"
    failed=1
  else
    echo "ok   root '$state', script status $own: ended with $status, root script called with '$got'"
  fi
done <<EOF
${idle//$'\n'/\\n}|0|0|make start run stop 
${idle//$'\n'/\\n}|3|3|make start run stop 
pcscd: running (pid 4242)\nmounts: |0|9|make 
pcscd: stopped\nmounts: /root/proc /root/work/other |0|9|make 
EOF
exit $failed
