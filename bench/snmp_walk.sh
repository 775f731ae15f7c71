#!/usr/bin/env bash
# The SNMP subagent's cost: the CPU time kelvra-host spends per full walk of what it serves
# (entPhysicalTable, entPhySensorTable and KELVRA-POWER-MIB, v2c GETNEXT through a real snmpd),
# against the same run left alone for as long, and whether rounds keep their cadence meanwhile.
#   bench/snmp_walk.sh [KELVRA_HOST] [SECONDS] [snmpwalk|snmpbulkwalk]
#   (default build/bin/kelvra-host, 20 s per phase, snmpwalk: one GETNEXT per object)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
host_program=${1:-$root/build/bin/kelvra-host}
seconds=${2:-20}
walker=${3:-snmpwalk}
dir=$(mktemp -d /tmp/kelvra-snmp-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
export MIBS=

port=$((20000 + RANDOM % 40000))
mkdir -p "$dir/state"
cat >"$dir/snmpd.conf" <<EOF
[snmp] persistentDir $dir/state
agentAddress udp:127.0.0.1:$port
master agentx
agentXSocket $dir/agentx.sock
rocommunity public 127.0.0.1
EOF
/usr/sbin/snmpd -f -Lo -C -c "$dir/snmpd.conf" >"$dir/snmpd.log" 2>&1 &
pids+=("$!")
for _ in $(seq 1 50); do [ -S "$dir/agentx.sock" ] && break; sleep 0.1; done
"$host_program" run --scenario normal --duration $((seconds * 3 + 10)) --db "$dir/history.db" \
  --snmp-agentx "$dir/agentx.sock" >"$dir/run.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
sleep 5

ticks_per_s=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$host_pid/stat"; }
walk() {
  for subtree in .1.3.6.1.2.1.47.1.1.1 .1.3.6.1.2.1.99.1.1 .1.3.6.1.4.1.32473.419; do
    "$walker" -v2c -c public -On -t 2 "127.0.0.1:$port" "$subtree"
  done
}
objects=$(walk | wc -l)

start=$(cpu_ticks)
sleep "$seconds"
idle=$(($(cpu_ticks) - start))

first_round=$(grep -c ' round ' "$dir/run.log")
start=$(cpu_ticks)
end=$((SECONDS + seconds))
walks=0
while [ $SECONDS -lt $end ]; do
  walk >/dev/null
  walks=$((walks + 1))
done
busy=$(($(cpu_ticks) - start))

# The longest time between two rounds, from the run's own lines: left alone, then walked.
longest_gap() {
  grep ' round ' | awk '{ split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
    if (prev) { d = s - prev; if (d > max) max = d } prev = s } END { printf "%.2f", max }'
}
idle_gap=$(head -n "$first_round" "$dir/run.log" | longest_gap)
gap=$(tail -n +"$((first_round + 1))" "$dir/run.log" | longest_gap)

awk -v idle="$idle" -v busy="$busy" -v walks="$walks" -v objects="$objects" -v tps="$ticks_per_s" \
  -v seconds="$seconds" -v gap="$gap" -v idle_gap="$idle_gap" -v walker="$walker" 'BEGIN {
  printf "objects per full walk          %d\n", objects
  printf "full walks (%s) in %d s   %d (%.1f per second)\n", walker, seconds, walks, walks / seconds
  printf "host CPU, idle %d s             %.0f ms\n", seconds, idle * 1000 / tps
  printf "host CPU, walking %d s          %.0f ms\n", seconds, busy * 1000 / tps
  printf "extra host CPU per full walk   %.2f ms\n", (busy - idle) * 1000 / tps / walks
  printf "longest gap between rounds     %s s walking, %s s left alone\n", gap, idle_gap
}'
