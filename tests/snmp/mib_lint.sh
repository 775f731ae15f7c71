#!/usr/bin/env bash
# The MIB module is clean under smilint at level 4: any line smilint prints fails the check.
# The base SMI modules come from tests/snmp/node_modules (npm ci from the committed lock file).
# Usage: mib_lint.sh MIB_FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
base="$here/node_modules/net-snmp/lib/mibs"
if [ ! -f "$base/SNMPv2-SMI.mib" ]; then
  echo "no base SMI modules in $base: run scripts/setup.sh" >&2
  exit 1
fi
report=$(SMIPATH="$base" smilint -l 4 "$1" 2>&1) || true
if [ -n "$report" ]; then
  echo "$report" >&2
  exit 1
fi
echo "$(basename "$1"): smilint -l 4 clean"
