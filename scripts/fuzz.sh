#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a bounded time from its
# committed corpus. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]  (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/setup.sh
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DKELVRA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# fuzz/targets.txt: one target a line, its name first; lines starting with # are comments.
targets=$(awk '/^[a-z]/ { print $1 }' fuzz/targets.txt)
cmake --build "$build" -j2 --target $targets
for target in $targets; do
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$target/." "$work/"
  echo "== $target: ${seconds}s"
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$target-" \
    "$work" >"$work.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)|ERROR|SUMMARY' "$work.log" || true
  rm -rf "$work" "$work.log"
  if [ "$status" != 0 ] ||
    ls "$build/$target-"crash-* "$build/$target-"leak-* "$build/$target-"timeout-* >/dev/null 2>&1; then
    echo "finding in $target" >&2
    exit 1
  fi
done
