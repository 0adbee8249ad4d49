#!/bin/sh
# Native tests and bounded fuzz runs of the portable core (portable/), no Wine needed:
#   build/host  host g++ with address and undefined-behaviour sanitizers: ctest of tests/native
#   build/fuzz  clang-14 with libFuzzer and the same sanitizers: each target of fuzz/ runs from
#               its seed corpus for a bounded time (KORVAT_FUZZ_SECONDS each, default 3 s)
# Any failed test or any fault found by a fuzz target fails the script. Needs the Debian
# packages g++, cmake, ninja-build, googletest, clang-14 and libfuzzer-14-dev.
set -eu
cd "$(dirname "$0")/.."
seconds=${KORVAT_FUZZ_SECONDS:-3}

cmake -S host -B build/host -G Ninja -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
cmake --build build/host
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/host --output-on-failure

cmake -S host -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DKORVAT_FUZZ=ON >/dev/null
cmake --build build/fuzz

# New inputs go to a scratch directory: the committed corpus stays as it is.
scratch=build/fuzz/scratch
for target in build/fuzz/bin/fuzz_*; do
  name=$(basename "$target")
  rm -rf "$scratch/$name" && mkdir -p "$scratch/$name"
  log=build/fuzz/$name.log
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$target" -max_total_time="$seconds" \
       -print_final_stats=1 -artifact_prefix="build/fuzz/$name-" "$scratch/$name" "fuzz/corpus/$name" \
       >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "host-test: $name found a fault; the input is build/fuzz/$name-*" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "host-test: $name: $runs runs in ${seconds} s, $rate exec/s, no fault"
done
