#!/usr/bin/env bash
# The UPS server against the real monitor clients, on the built-in simulator.
# usage: ups_clients.sh KELVRA_HOST upsc|upsmon
#   upsc:   the variables are listed, and ups.status goes OL, OB while the mains are lost, OL again
#   upsmon: a secondary monitor runs its shutdown command once the plant is on battery and low
#           (scenario discharge), and never while it is on mains (scenario normal)
set -euo pipefail
host_program=$1
mode=$2
dir=$(mktemp -d /tmp/kelvra-ups-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  # A monitor that shut down leaves its PID file behind; it is removed when it names ours.
  local pid_file=/run/nut/upsmon.pid
  if [ -w "$pid_file" ] && [[ " ${pids[*]} " == *" $(cat "$pid_file") "* ]]; then rm -f "$pid_file"; fi
  rm -rf "$dir"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $1"
  for log in "$dir"/*.log; do echo "--- $log"; tail -n 30 "$log"; done
  exit 1
}

printf 'monitor s3cret\n' >"$dir/users"
cat >"$dir/settings.json" <<JSON
{"appSetting": {"has_ac": "1", "has_dc": "1", "b_mode": "1"},
 "ups_server": {"users_file": "$dir/users", "low_battery_v": 47.0}}
JSON

# Starts a run named NAME on SCENARIO; sets $port to its UPS server's port.
start_run() {
  local name=$1 scenario=$2
  "$host_program" run --settings "$dir/settings.json" --ups-server 127.0.0.1:0 \
    --scenario "$scenario" --db "$dir/$name.db" --duration 60 >"$dir/$name.log" 2>&1 &
  pids+=($!)
  port=""
  for _ in $(seq 1 100); do
    port=$(grep -o 'UPS server on 127.0.0.1 port [0-9]*' "$dir/$name.log" | grep -o '[0-9]*$') || true
    [ -n "$port" ] && return
    sleep 0.1
  done
  fail "no UPS server port in the $name run's output"
}

# Waits up to 20 s until ups.status of the UPS at $1 is exactly $2.
wait_status() {
  local status=""
  for _ in $(seq 1 100); do
    status=$(upsc "$1" ups.status 2>/dev/null) || true
    [ "$status" = "$2" ] && return
    sleep 0.2
  done
  fail "ups.status of $1 stayed \"$status\", expected \"$2\""
}

if [ "$mode" = upsc ]; then
  # mains-failure with its times shortened: lost at 3 s, back at 7 s.
  cat >"$dir/mains.json" <<'JSON'
{"equipment": {"ac_inputs": 2, "rectifiers": 6, "dc_units": 1},
 "timeline": [
  {"at": 3, "note": "mains lost on every AC input",
   "set": {"ac*.phase_a": 0, "ac*.phase_b": 0, "ac*.phase_c": 0, "ac*.frequency": 0,
           "ac*.mains_alarm": "0xE0", "rect*.value": 0, "rect*.alarm": 1,
           "dc*.voltage": 49.5, "dc*.battery_current1": -40}},
  {"at": 7, "note": "mains back on every AC input",
   "set": {"ac*.phase_a": 230, "ac*.phase_b": 230, "ac*.phase_c": 230, "ac*.frequency": 50,
           "ac*.mains_alarm": 0, "rect*.value": 10, "rect*.alarm": 0,
           "dc*.voltage": 53.5, "dc*.battery_current1": 0}}]}
JSON
  start_run mains "$dir/mains.json"
  ups=power1@127.0.0.1:$port
  wait_status "$ups" OL
  upsc "$ups" >"$dir/list.log" 2>/dev/null
  for variable in device.type device.mfr device.model ups.status input.voltage \
    input.L1-N.voltage input.L2-N.voltage input.L3-N.voltage input.frequency \
    output.voltage output.current battery.voltage battery.current; do
    grep -q "^$variable: " "$dir/list.log" || fail "upsc lists no $variable"
  done
  grep -qx 'output.voltage: 53.5' "$dir/list.log" || fail "output.voltage is not the DC 53.5 V"
  [ "$(upsc -l 127.0.0.1:"$port" 2>/dev/null)" = power1 ] || fail "upsc -l does not list power1"
  # A line over 512 bytes ends its session; a 17th client is closed at once; a client stalled
  # in the middle of a line delays nobody.
  exec {long}<>/dev/tcp/127.0.0.1/"$port"
  head -c 600 /dev/zero | tr '\0' x >&"$long"
  timeout 2 cat <&"$long" >/dev/null || fail "a 600-byte line did not end its session"
  exec {stalled}<>/dev/tcp/127.0.0.1/"$port"
  printf 'GET VAR power1' >&"$stalled"
  held=()
  for _ in $(seq 1 15); do
    exec {fd}<>/dev/tcp/127.0.0.1/"$port"
    held+=("$fd")
  done
  exec {extra}<>/dev/tcp/127.0.0.1/"$port"
  timeout 2 cat <&"$extra" >/dev/null || fail "a 17th client was not closed"
  for fd in "${held[@]}"; do exec {fd}>&-; done
  wait_status "$ups" "OB ALARM"
  [ "$(upsc "$ups" battery.voltage 2>/dev/null)" = 49.5 ] || fail "battery.voltage on battery"
  wait_status "$ups" OL
  echo "1 passed, 0 failed"
  exit 0
fi

# upsmon: a secondary on each of two runs; only the discharging one may shut its host down. The
# packaged upsmon keeps one PID file in a fixed place, so the two monitors run one after the other.
monitor() {
  local name=$1 conf=$dir/$1
  mkdir -p "$conf"
  cat >"$conf/upsmon.conf" <<CONF
MONITOR power1@127.0.0.1:$port 1 monitor s3cret secondary
MINSUPPLIES 1
SHUTDOWNCMD "/bin/touch $conf/shutdown"
POLLFREQ 1
POLLFREQALERT 1
DEADTIME 10
FINALDELAY 0
HOSTSYNC 1
POWERDOWNFLAG $conf/killpower
CONF
  chmod 600 "$conf/upsmon.conf"
  NUT_CONFPATH=$conf NUT_STATEPATH=$conf NUT_ALTPIDPATH=$conf \
    /lib/nut/upsmon -F -p -D >"$dir/$name-upsmon.log" 2>&1 &
  monitor_pid=$!
  pids+=("$monitor_pid")
}
start_run discharge discharge
discharge_port=$port
start_run normal normal
monitor normal
sleep 3
kill "$monitor_pid" && wait "$monitor_pid" 2>/dev/null || true
grep -q 'Logged into UPS power1@' "$dir/normal-upsmon.log" || fail "upsmon did not log in (normal)"
[ ! -e "$dir/normal/shutdown" ] || fail "upsmon shut down on mains (normal)"
port=$discharge_port
monitor discharge
for _ in $(seq 1 150); do
  [ -e "$dir/discharge/shutdown" ] && break
  sleep 0.1
done
[ -e "$dir/discharge/shutdown" ] || fail "upsmon did not shut down on battery and low"
grep -q 'on battery' "$dir/discharge-upsmon.log" || fail "upsmon never saw the plant on battery"
echo "1 passed, 0 failed"
