#!/usr/bin/env bash
# Sets up, builds and runs the bench host against the built-in simulator: the mains fail 10 s in
# and come back 20 s later, so the supply-loss alarm is raised and cleared; the run ends by itself
# after 40 s and the stored history is listed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kelvra-host kelvra_419

host=build/bin/kelvra-host
db=build/run/kelvra.db
mkdir -p build/run
rm -f "$db"

"$host" run --scenario mains-failure --baud 9600 --duration 40 --db "$db"
echo
echo "== stored history: the newest 6 records, alarm events and link events =="
"$host" history --db "$db" --last 6
