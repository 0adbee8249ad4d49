#!/bin/sh
# A long fuzzing campaign over every target of fuzz/ (built by scripts/host-test.sh in
# build/fuzz):
#   scripts/fuzz-campaign.sh 600         600 seconds per target
#   scripts/fuzz-campaign.sh 10000000 runs   ten million executions per target
# New inputs are kept in build/fuzz/campaign/<target>; faults in build/fuzz/<target>-crash-*.
# Prints the executions and executions per second of each target.
set -eu
cd "$(dirname "$0")/.."
amount=${1:?usage: fuzz-campaign.sh <seconds> | <count> runs}
case "${2:-seconds}" in
  runs) bound="-runs=$amount" ;;
  seconds) bound="-max_total_time=$amount" ;;
  *) echo "usage: fuzz-campaign.sh <seconds> | <count> runs" >&2; exit 2 ;;
esac
[ -d build/fuzz/bin ] || { echo "build the targets first: scripts/host-test.sh" >&2; exit 2; }

status=0
for target in build/fuzz/bin/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "build/fuzz/campaign/$name"
  log=build/fuzz/campaign/$name.log
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$target" "$bound" -print_final_stats=1 \
       -artifact_prefix="build/fuzz/$name-" "build/fuzz/campaign/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    result="no fault"
  else
    result="FAULT (see $log)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$name: $runs executions, $rate exec/s, $result"
done
exit $status
