#!/usr/bin/env bash
# Builds the performance targets and prints one table: micro-benchmark medians, instruction counts
# against bench/callgrind-baseline.txt, heap allocations, round time against the line and scale
# (bench/wire.py, with the bench host on its built-in simulator).
#   bench/run.sh                    measure and compare
#   bench/run.sh --update-baseline  measure and rewrite the instruction-count baseline
# Build directory: $KELVRA_PERF_BUILD, default build-perf (Release).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVRA_PERF_BUILD:-$root/build-perf}
baseline=$root/bench/callgrind-baseline.txt
update_baseline=false
[[ ${1:-} == --update-baseline ]] && update_baseline=true
# Growth beyond this many percent over the baseline is a regression.
regression_percent=10

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j2 --target kelvra_micro_benchmarks kelvra_instruction_workload \
  allocation_test kelvra-host kelvra_419 >"$work/build.log" ||
  { tail -50 "$work/build.log"; exit 1; }

row() { printf '%-34s %14s %14s %16s  %s\n' "$@"; }

echo "== Micro-benchmarks (median of 5 repetitions; plug-in stdout to /dev/null)"
row "benchmark" "CPU ns/op" "wall ns/op" "items/s" ""
"$build/bench/kelvra_micro_benchmarks" --benchmark_repetitions=5 --benchmark_min_time=0.1 \
  --benchmark_report_aggregates_only=true --benchmark_out="$work/micro.json" \
  --benchmark_out_format=json 2>/dev/null
jq -r '.benchmarks[] | select(.aggregate_name == "median")
       | [.run_name, (.cpu_time | floor), (.real_time | floor), (.items_per_second | floor)]
       | @tsv' "$work/micro.json" |
  while IFS=$'\t' read -r name cpu wall items; do row "$name" "$cpu" "$wall" "$items" ""; done

echo
echo "== Instruction counts (callgrind, one call after a warm-up)"
row "workload" "instructions" "baseline" "change" ""
declare -A known
if [[ -f $baseline ]]; then
  while read -r name count; do
    [[ -z $name || $name == \#* ]] || known[$name]=$count
  done <"$baseline"
fi
regressions=0
: >"$work/baseline.new"
for workload in $("$build/bench/kelvra_instruction_workload" list); do
  valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*measured_call*' \
    --callgrind-out-file="$work/callgrind.out" \
    "$build/bench/kelvra_instruction_workload" "$workload" 2>/dev/null
  count=$(awk '/^summary:/ { print $2 }' "$work/callgrind.out")
  echo "$workload $count" >>"$work/baseline.new"
  base=${known[$workload]:-}
  if [[ -z $base ]]; then
    row "$workload" "$count" "-" "new" ""
    continue
  fi
  change=$(awk -v c="$count" -v b="$base" 'BEGIN { printf "%+.1f%%", (c - b) * 100 / b }')
  verdict=""
  if ((count * 100 > base * (100 + regression_percent))); then
    verdict=REGRESSION
    regressions=$((regressions + 1))
  fi
  row "$workload" "$count" "$base" "$change" "$verdict"
done
if $update_baseline; then
  { echo "# workload instructions (bench/run.sh --update-baseline)"; cat "$work/baseline.new"; } \
    >"$baseline"
  echo "baseline rewritten: $baseline"
fi

echo
echo "== Heap allocations (operator new calls, asserted by allocation_test)"
if "$build/tests/allocations/allocation_test" --gtest_brief=1 \
  --gtest_output="json:$work/allocations.json" >/dev/null 2>&1; then
  verdict=pass
else
  verdict=FAIL
fi
row "case" "allocations" "" "" ""
jq -r '.testsuites[].testsuite[] | to_entries[] | select(.key | endswith("_allocations"))
       | [(.key | rtrimstr("_allocations")), .value] | @tsv' "$work/allocations.json" |
  while IFS=$'\t' read -r name count; do row "$name" "$count" "" "" ""; done
echo "allocation_test: $verdict"

echo
python3 "$root/bench/wire.py" "$build"

((regressions == 0)) || { echo "$regressions instruction-count regression(s)"; exit 1; }
