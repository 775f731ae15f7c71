#!/usr/bin/env bash
# The subagent against the real master: snmpd on a loopback UDP port with an AgentX socket in a
# temporary folder, snmptrapd receiving what it sends on, both with configurations written here.
# usage: agentx_end_to_end.sh KELVRA_HOST tables-and-traps|master-restart
#   tables-and-traps: during a mains failure, v2c and a v3 authPriv user read the sensor, entity,
#     device and alarm tables, every reading agrees with `query --all`, and the supply-loss alarm's
#     raise and clear arrive as notifications.
#   master-restart: the run starts before the master, which is then stopped and started again;
#     the tables come back each time and the run says each loss and return once.
set -euo pipefail
host_program=$1
mode=$2
dir=$(mktemp -d /tmp/kelvra-snmp-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
export MIBS=  # numeric OIDs only: no MIB files are read or looked for
failed=0
check() {  # check WHAT COMMAND...: counts a failure and goes on
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=$((failed + 1)); fi
}

free_udp_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    [ -z "$(ss -Hlun "sport = :$port")" ] && echo "$port" && return
  done
}
agent_port=$(free_udp_port)
trap_port=$(free_udp_port)
socket="$dir/agentx.sock"
mkdir -p "$dir/state"
cat >"$dir/snmpd.conf" <<EOF
[snmp] persistentDir $dir/state
agentAddress udp:127.0.0.1:$agent_port
master agentx
agentXSocket $socket
agentXPerms 0600 0700
rocommunity public 127.0.0.1
createUser nms SHA nms-auth-secret AES nms-priv-secret
rouser nms priv
trap2sink 127.0.0.1:$trap_port public
EOF
cat >"$dir/snmptrapd.conf" <<EOF
[snmp] persistentDir $dir/state
disableAuthorization yes
EOF

master_pid=""
start_master() {
  /usr/sbin/snmpd -f -Lo -C -c "$dir/snmpd.conf" >>"$dir/snmpd.log" 2>&1 &
  master_pid=$!
  pids+=("$master_pid")
  for _ in $(seq 1 50); do [ -S "$socket" ] && return; sleep 0.1; done
  echo "snmpd made no AgentX socket"
  cat "$dir/snmpd.log"
  exit 1
}
stop_master() {
  kill "$master_pid" && wait "$master_pid" 2>/dev/null || true
}
v2c=(-v2c -c public -On -t 2 -r 1 "127.0.0.1:$agent_port")
v3=(-v3 -l authPriv -u nms -a SHA -A nms-auth-secret -x AES -X nms-priv-secret -On -t 2 -r 1
  "127.0.0.1:$agent_port")
# Waits until the run's output has LINES lines matching PATTERN, at most SECONDS.
wait_output() {
  local pattern=$1 lines=$2 seconds=$3
  for _ in $(seq 1 $((seconds * 10))); do
    [ "$(grep -c -- "$pattern" "$dir/run.log" || true)" -ge "$lines" ] && return 0
    sleep 0.1
  done
  return 1
}
# Waits until the master serves our device table, at most SECONDS.
wait_tables() {
  for _ in $(seq 1 $(($1 * 5))); do
    snmpget "${v2c[@]}" .1.3.6.1.4.1.32473.419.1.1.1.2.1 2>/dev/null | grep -q '"power1"' && return 0
    sleep 0.2
  done
  return 1
}
start_run() {  # start_run SCENARIO SECONDS
  "$host_program" run --scenario "$1" --duration "$2" --db "$dir/history.db" \
    --snmp-agentx "$socket" >"$dir/run.log" 2>&1 &
  pids+=("$!")
}

# Every reading of `query --all` against entPhySensorValue of the entry its label names, scaled by
# the sensor's precision; prints the number agreeing and fails on any that does not.
readings_agree() {
  snmpwalk "${v2c[@]}" -OQ .1.3.6.1.2.1.47.1.1.1.1.2 >"$dir/descr.txt"
  snmpwalk "${v2c[@]}" -OQ .1.3.6.1.2.1.99.1.1.1.3 >"$dir/precision.txt"
  snmpwalk "${v2c[@]}" -OQ .1.3.6.1.2.1.99.1.1.1.4 >"$dir/value.txt"
  "$host_program" query --all --db "$dir/history.db" >"$dir/query.txt"
  awk '
    function index_of(oid) { n = split(oid, arcs, "."); return arcs[n] }
    FILENAME ~ /descr/ { line = $0; sub(/^[^=]*= /, "", line); gsub(/"/, "", line)
                         label[line] = index_of($1); next }
    FILENAME ~ /precision/ { precision[index_of($1)] = $3; next }
    FILENAME ~ /value/ { value[index_of($1)] = $3; next }
    $3 == "V" || $3 == "A" || $3 == "Hz" {
      name = $4; for (i = 5; i <= NF; ++i) name = name " " $i
      if (!(name in label)) { print "no sensor for " name; bad++; next }
      k = label[name]; scaled = $2 * 10 ^ precision[k]
      expected = scaled < 0 ? int(scaled - 0.5) : int(scaled + 0.5)
      if (expected != value[k]) { print name ": query " $2 ", sensor " value[k]; bad++ } else good++
    }
    END { print good " readings agree"; exit (bad > 0 || good < 20) }
  ' "$dir/descr.txt" "$dir/precision.txt" "$dir/value.txt" "$dir/query.txt"
}

# The OperStatus of every rectifier current sensor is nonoperational while they report a fault.
rectifiers_nonoperational() {
  local count
  count=$(snmpwalk "${v2c[@]}" -OQ .1.3.6.1.2.1.47.1.1.1.1.2 | grep -c 'rectifier [0-9]* output current')
  [ "$count" -ge 1 ] || return 1
  snmpwalk "${v2c[@]}" -OQ .1.3.6.1.2.1.47.1.1.1.1.2 | grep 'rectifier [0-9]* output current' |
    sed 's/ =.*//; s/.*\.//' | while read -r index; do
    snmpget "${v2c[@]}" -OQv ".1.3.6.1.2.1.99.1.1.1.5.$index" | grep -qx 3 || exit 1
  done
}

active_alarm_over_v3() {
  snmpwalk "${v3[@]}" -OQ .1.3.6.1.4.1.32473.419.1.2.1.2 | grep -q '"PowerOff"'
}

# A notification OBJECT (1 raised, 2 cleared) naming the supply-loss alarm reached snmptrapd.
notified() {
  grep "32473.419.0.$1\b" "$dir/traps.log" | grep -q '"PowerOff"'
}

case $mode in
tables-and-traps)
  # The mains-failure scenario, sooner: mains lost at 4 s and back at 10 s.
  cat >"$dir/scenario.json" <<'EOF'
{"equipment": {"ac_inputs": 2, "rectifiers": 6, "dc_units": 1},
 "timeline": [
  {"at": 4, "note": "mains lost on every AC input",
   "set": {"ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
           "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
           "dc*.voltage": 49.5, "dc*.battery_current1": -40}},
  {"at": 10, "note": "mains back on every AC input",
   "set": {"ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230, "ac*.frequency": 50,
           "ac*.mains_alarm": 0, "rect*.value": 10, "rect*.alarm": 0,
           "dc*.voltage": 53.5, "dc*.battery_current1": 0}}]}
EOF
  snmptrapd -f -Lo -C -c "$dir/snmptrapd.conf" -On "udp:127.0.0.1:$trap_port" >"$dir/traps.log" 2>&1 &
  pids+=("$!")
  start_master
  start_run "$dir/scenario.json" 16
  check "the device table is served" wait_tables 10
  check "the supply-loss alarm was raised" wait_output "ALARM raised: 输入电源中断告警" 1 12
  check "every reading agrees with query --all" readings_agree
  check "rectifiers in fault are nonoperational" rectifiers_nonoperational
  check "the active alarm reads over v3 authPriv" active_alarm_over_v3
  check "the alarm was cleared" wait_output "ALARM cleared: 输入电源中断告警" 1 12
  sleep 1
  check "the raise arrived as a notification" notified 1
  check "the clear arrived as a notification" notified 2
  ;;
master-restart)
  start_run normal 12
  check "no master: the run goes on" wait_output " round 2 " 1 8
  start_master
  check "the tables appear once the master is there" wait_tables 5
  stop_master
  check "the loss of the master is said" wait_output "AgentX master .* not reachable" 2 5
  start_master
  check "the tables come back with the master" wait_tables 5
  check "the master's return is said once each time" wait_output "AgentX master .* back after" 2 3
  check "each loss and return said once" \
    test "$(grep -c 'AgentX master' "$dir/run.log")" -eq 4
  ;;
*)
  echo "unknown mode $mode"
  exit 2
  ;;
esac

if [ "$failed" -gt 0 ]; then
  echo "--- run"; cat "$dir/run.log"
  echo "--- traps"; grep -v '^$' "$dir/traps.log" 2>/dev/null | tail -20 || true
fi
echo "$((failed == 0)) passed, $((failed > 0)) failed"
exit $((failed > 0))
