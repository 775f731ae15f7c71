#!/usr/bin/env bash
# Soak under line faults: `kelvra-host run` polls built-in simulators, unpaced, each answer drawing
# every fault kind at 1 %, each simulator closing its terminal and opening a new one every few
# thousand rounds of the whole run. Then checks and prints, in one table:
#   - the run ends only when told to (exit status 0 after SIGTERM, no crash);
#   - the longest gap between two round starts of a device stays within the bound below;
#   - every published round is stored exactly once (same device and time in the database);
#   - every stored record equals the one a fault-free run stores, but for its data id and round
#     time: the model never changes, so a byte taken from a frame that failed its checksum shows;
#   - memory held grows by less than 1 MiB after warm-up: the first 2500 rounds, by when the
#     history database outgrows SQLite's 2 MiB page cache (not measured in shorter runs). Memory
#     held is the resident set plus every in-memory or deleted file the process keeps open, which
#     the resident set does not show.
# The plug-in starts a device's rounds at least 2 s apart, so rounds come from many devices at
# once, each with a simulator of its own.
# Usage: scripts/soak.sh [ROUNDS]   (default 5000, over all devices)
# Environment: SOAK_DEVICES (default 50), SOAK_BUILD (build directory, default build),
#   SOAK_KEEP=1 keeps the work directory.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-5000}
devices=${SOAK_DEVICES:-50}
build=${SOAK_BUILD:-build}
fault_rate=0.01
response_timeout_ms=300
poll_interval_ms=100
reopen_interval_ms=100
spacing_ms=2000
slack_ms=100
gap_bound_ms=$((response_timeout_ms + spacing_ms + poll_interval_ms + reopen_interval_ms + slack_ms))
growth_bound_kib=1024
warm_up_rounds=2500
stall_limit_s=60

per_device=$(((rounds + devices - 1) / devices))
# A hangup wave (every device's terminal) after about every 2000 rounds of the whole run.
hangup_every=$(((2000 + devices - 1) / devices))

if [ "$build" = build ]; then
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target kelvra-host kelvra_419 >/dev/null
fi
host="$build/bin/kelvra-host"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-soak-XXXXXX")
host_pid=
cleanup() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then kill -TERM "$host_pid"; fi
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "work directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Settings for N devices at address 1, each on a simulator of its own; data id = device number.
write_settings() {
  local count=$1 file=$2 i
  {
    printf '{"appSetting": {"has_dc": "1"},\n "host": {"response_timeout_ms": %d, "poll_interval_ms": %d,\n  "devices": [' \
      "$response_timeout_ms" "$poll_interval_ms"
    for ((i = 1; i <= count; ++i)); do
      printf '%s\n    {"name": "d%03d", "data_id": %d}' "$([ "$i" -gt 1 ] && echo ,)" "$i" "$i"
    done
    printf ']}}\n'
  }>"$file"
}

fault_kinds=(no-answer bad-chksum bad-lchksum garbage cut-short late wrong-address rtn-02 echo
  bad-data)
{
  printf '{"description": "normal equipment, every line fault at %s", "faults": {' "$fault_rate"
  for ((i = 0; i < ${#fault_kinds[@]}; ++i)); do
    printf '%s"%s": %s' "$([ "$i" -gt 0 ] && echo ', ')" "${fault_kinds[$i]}" "$fault_rate"
  done
  printf '}}\n'
} >"$work/faults.json"
write_settings 1 "$work/reference-settings.json"
write_settings "$devices" "$work/settings.json"

# The record a fault-free round stores, to compare every soak record with.
"$host" run --no-pace --rounds 1 --settings "$work/reference-settings.json" --db "$work/reference.db" \
  >"$work/reference.log" 2>&1
# Records as the history gives them back, decoded, without data id and round time.
records_of() {
  "$host" history --db "$1" --json --type record | jq -c 'select(.type == "record") | .record |
    del(.data_id, .round_time)'
}
records_of "$work/reference.db" | head -1 >"$work/reference.json"

echo "soak: $rounds rounds over $devices devices ($per_device each), faults at $fault_rate each," \
  "terminals reopened every $hangup_every rounds of each device; work in $work"
started=$(date +%s)
"$host" run --no-pace --sim-log --settings "$work/settings.json" --scenario "$work/faults.json" \
  --db "$work/soak.db" --reopen-interval "$reopen_interval_ms" --sim-hangup-every "$hangup_every" \
  >"$work/run.log" 2>"$work/run.err" &
host_pid=$!

# KiB of the in-memory (memfd) and deleted files process $1 holds open, each file counted once.
held_files_kib() {
  local fd target bytes total=0
  declare -A seen=()
  for fd in /proc/"$1"/fd/*; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    case "$target" in
      /memfd:* | *" (deleted)") ;;
      *) continue ;;
    esac
    read -r inode bytes < <(stat -L -c '%i %s' "$fd" 2>/dev/null) || continue
    [ -n "${seen[$inode]:-}" ] && continue
    seen[$inode]=1
    total=$((total + bytes))
  done
  echo $((total / 1024))
}

# Samples of "rounds held_kib" (resident set plus held files) every 2 s; the run is stopped once
# every device has its rounds.
status_json="$work/status.json"
last_total=-1
last_progress=$(date +%s)
while kill -0 "$host_pid" 2>/dev/null; do
  sleep 2
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$host_pid/status" 2>/dev/null) || break
  files=$(held_files_kib "$host_pid")
  rss=$((rss + files))
  "$host" status --json --db "$work/soak.db" >"$status_json.new" 2>/dev/null || continue
  mv "$status_json.new" "$status_json"
  read -r total least < <(jq -r '[.devices[].rounds] | "\(add) \(min)"' "$status_json")
  echo "$total $rss" >>"$work/rss.txt"
  now=$(date +%s)
  if [ "$total" != "$last_total" ]; then
    last_total=$total
    last_progress=$now
  elif [ $((now - last_progress)) -gt "$stall_limit_s" ]; then
    echo "no round for ${stall_limit_s} s; stopping" >&2
    break
  fi
  if [ "$least" -ge "$per_device" ]; then break; fi
  if [ $(((now - started) % 30)) -lt 2 ]; then
    echo "  $total rounds after $((now - started)) s, held $rss KiB (files $files KiB)"
  fi
done
kill -TERM "$host_pid" 2>/dev/null || true
exit_status=0
wait "$host_pid" || exit_status=$?
host_pid=
elapsed=$(($(date +%s) - started))

# Published rounds and stored records as "device time" lines, sorted.
awk '$4 == "round" && $5 ~ /^[0-9]+$/ { print $3, $1 " " $2 }' "$work/run.log" | sort >"$work/published.txt"
"$host" history --db "$work/soak.db" --json --type record |
  jq -r 'select(.type == "record") | "\(.device) \(.time)"' | sort >"$work/stored.txt"
published=$(wc -l <"$work/published.txt")
stored=$(wc -l <"$work/stored.txt")
lost=$(comm -23 "$work/published.txt" "$work/stored.txt" | wc -l)
unpublished=$(comm -13 "$work/published.txt" "$work/stored.txt" | wc -l)
duplicates=$(uniq -d "$work/stored.txt" | wc -l)

# Records unlike the fault-free one outside data id and round time.
unlike=$(records_of "$work/soak.db" | grep -cvxF -f "$work/reference.json" || true)

max_gap_ms=$(jq '[.devices[].longest_round_gap_ms] | max' "$status_json")
read -r rss_warm rss_end growth_kib < <(awk -v warm="$warm_up_rounds" '
  $1 >= warm && !base { base = $2 } base { last = $2; if ($2 > top) top = $2 }
  END { print base + 0, last + 0, top - base }' "$work/rss.txt")

verdict() { if [ "$1" = 1 ]; then echo ok; else echo FAILED; fi; }
failed=0
# Runs inside $(...): a failure is marked in a file, since a variable set there is lost.
check() { [ "$1" = 1 ] || : >"$work/failed"; verdict "$1"; }
row() { printf '%-40s %16s %22s  %s\n' "$@"; }

echo
row "check" "figure" "bound" "result"
row "rounds completed ($elapsed s)" "$published" ">= $rounds" "$(check $((published >= rounds)))"
row "exit status after SIGTERM" "$exit_status" "0" "$(check $((exit_status == 0)))"
row "longest gap between round starts" "$max_gap_ms ms" "<= $gap_bound_ms ms" \
  "$(check $((max_gap_ms <= gap_bound_ms)))"
row "published rounds = stored records" "$published = $stored" "equal" \
  "$(check $((published == stored)))"
row "rounds lost (published, not stored)" "$lost" "0" "$(check $((lost == 0)))"
row "records stored but not published" "$unpublished" "0" "$(check $((unpublished == 0)))"
row "rounds stored twice" "$duplicates" "0" "$(check $((duplicates == 0)))"
row "records unlike the fault-free one" "$unlike" "0" "$(check $((unlike == 0)))"
if [ "$rss_warm" -gt 0 ]; then
  row "memory growth after warm-up" "$growth_kib KiB" "< $growth_bound_kib KiB" \
    "$(check $((growth_kib < growth_bound_kib)))"
else
  row "memory growth after warm-up" "not measured" "> $warm_up_rounds rounds" ""
fi
row "memory held at warm-up, at the end" "$rss_warm / $rss_end KiB" "" ""
for kind in "${fault_kinds[@]}"; do
  row "faults injected: $kind" "$(grep -c ": \[ *[0-9.]*\] fault injected: $kind\$" "$work/run.log" || true)" "" ""
done
row "terminals reopened" "$(grep -c 'terminal closed and opened again' "$work/run.log" || true)" "" ""
jq -r '"host: commands \([.devices[].commands] | add), timeouts \([.devices[].timeouts] | add), " +
  "refused \([.devices[].refused] | add)"' "$status_json"
jq -r '[.lines[]] | "host lines: echoes \(map(.echoes) | add), stale \(map(.stale) | add), link losses \(map(.link_losses) | add), " +
  ([.[].errors | to_entries[]] | group_by(.key) | map("\(.[0].key) \(map(.value) | add)") | join(", "))' \
  "$status_json"
if [ -s "$work/run.err" ]; then
  echo "standard error of the run:"
  head -20 "$work/run.err"
fi
[ -e "$work/failed" ] && failed=1
exit "$failed"
