#!/usr/bin/env bash
# Valgrind memcheck over a short bench-host run against the built-in simulator: unpaced, a few
# rounds, line faults on a third of the answers, the terminal closed and reopened, every simulator
# line printed; under valgrind a round is slow, so the communication-lost time is a minute. Fails
# on any memory error and on any definite or indirect leak.
# Usage: scripts/memcheck.sh [BUILD_DIRECTORY]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ "$build" = build ]; then
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target kelvra-host kelvra_419 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-memcheck-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '{"faults": {"no-answer": 0.05, "bad-chksum": 0.05, "cut-short": 0.05, "garbage": 0.05,
  "echo": 0.05, "bad-data": 0.05, "rtn-02": 0.05}}\n' >"$work/faults.json"

status=0
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --log-file="$work/valgrind.log" \
  "$build/bin/kelvra-host" run --no-pace --sim-log --rounds 4 --scenario "$work/faults.json" \
  --db "$work/memcheck.db" --response-timeout 300 --poll-interval 100 --reopen-interval 100 \
  --sim-hangup-every 2 --comm-lost-after 60000 >"$work/run.log" || status=$?
sed -n '/HEAP SUMMARY/,$p' "$work/valgrind.log" | sed 's/^==[0-9]*== //'
echo "rounds: $(grep -c ' round [0-9]* (' "$work/run.log" || true)," \
  "faults injected: $(grep -c 'fault injected' "$work/run.log" || true)," \
  "terminals reopened: $(grep -c 'terminal closed and opened again' "$work/run.log" || true)"
if [ "$status" -ne 0 ]; then
  echo "memcheck failed (exit status $status):" >&2
  cat "$work/valgrind.log" >&2
fi
exit "$status"
