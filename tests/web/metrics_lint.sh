#!/usr/bin/env bash
# A scrape of /metrics from a run on the built-in simulator, checked by promtool.
# usage: metrics_lint.sh KELVRA_HOST
set -euo pipefail
host_program=$1
dir=$(mktemp -d /tmp/kelvra-metrics-XXXXXX)
cleanup() {
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
"$host_program" run --http 127.0.0.1:0 --scenario mains-failure --db "$dir/history.db" \
  --duration 60 >"$dir/out.log" 2>&1 &
pid=$!
url=""
for _ in $(seq 1 150); do
  url=$(grep -o 'dashboard on http://127.0.0.1:[0-9]*/' "$dir/out.log" | head -1 | sed 's/dashboard on //') || true
  [ -n "$url" ] && grep -q ' round 2 ' "$dir/out.log" && break
  sleep 0.2
done
[ -n "$url" ] || { echo "no dashboard address in the run's output"; cat "$dir/out.log"; exit 1; }
curl -sf --max-time 10 "${url}metrics" >"$dir/scrape.txt"
promtool check metrics <"$dir/scrape.txt"
for family in kelvra_info kelvra_alarm_active kelvra_ac_phase_volts kelvra_rounds_total; do
  grep -q "^$family{" "$dir/scrape.txt" || { echo "no $family in the scrape"; exit 1; }
done
echo "1 passed, 0 failed"
