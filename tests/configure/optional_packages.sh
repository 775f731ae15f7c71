#!/usr/bin/env bash
# GoogleTest and Google Benchmark are needed only by what uses them: fresh configures with the
# packages hidden from find_package succeed or fail as the options say.
# Usage: optional_packages.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
hide_gtest=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
hide_benchmark=-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

# case name | expected exit status (0 or "fails") | options
cases=(
  "neither tests nor benchmarks, neither package|0|-DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCHMARKS=OFF $hide_gtest $hide_benchmark"
  "tests without benchmarks, no benchmark package|0|-DKELVRA_BUILD_TESTS=ON -DKELVRA_BUILD_BENCHMARKS=OFF $hide_benchmark"
  "benchmarks without tests, no GoogleTest|0|-DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCHMARKS=ON $hide_gtest"
  "tests need GoogleTest|fails|-DKELVRA_BUILD_TESTS=ON -DKELVRA_BUILD_BENCHMARKS=OFF $hide_gtest"
  "benchmarks need Google Benchmark|fails|-DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCHMARKS=ON $hide_benchmark"
)
# The configures run side by side, each in a fresh directory of its own.
rm -rf "$work"
mkdir -p "$work"
for index in "${!cases[@]}"; do
  IFS='|' read -r name expected options <<<"${cases[$index]}"
  # shellcheck disable=SC2086  # options are words
  { cmake -S "$source_dir" -B "$work/$index" $options >"$work/$index.log" 2>&1 && echo 0 ||
    echo $?; } >"$work/$index.status" &
done
wait
failed=0
for index in "${!cases[@]}"; do
  IFS='|' read -r name expected options <<<"${cases[$index]}"
  status=$(cat "$work/$index.status")
  if { [ "$expected" = 0 ] && [ "$status" != 0 ]; } || { [ "$expected" = fails ] && [ "$status" = 0 ]; }; then
    echo "FAILED $name: configure exit status $status"
    tail -20 "$work/$index.log"
    failed=1
  fi
done
rm -rf "$work"
exit "$failed"
