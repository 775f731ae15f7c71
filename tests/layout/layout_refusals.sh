#!/usr/bin/env bash
# check_layout.sh on small trees: a clean one passes, each broken one is refused with its reason.
set -euo pipefail
check=$(cd "$(dirname "$0")" && pwd)/check_layout.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# case name | file | its text | what the refusal names ("" : the tree passes)
cases=(
  'clean|station/station.cpp|#include "station/station.h"\n#include "hostkit/plugin_loader.h"\n#include "station.h"|'
  'upward include|station/station.cpp|#include "sim/simulator.h"|station may not depend on sim'
  'sideways include|sim/simulator.cpp|#include "station/station.h"|sim may not depend on station'
  'plug-in layer includes a tool|device/kelvra_419.h|#include "hostkit/plugin_loader.h"|device may not depend on hostkit'
  'bare include of another folder|station/station.cpp|#include "simulator.h"|name it "folder/simulator.h"'
  'private part of another folder|tests/poll/poll_test.cpp|#include "device/poll.ipp"|private to device'
  'header that does not exist|apps/kelvra-host/main.cpp|#include "station/missing.h"|no such header'
  'program includes another program|apps/kelvra-sim/main.cpp|#include "apps/kelvra-host/commands.h"|apps/kelvra-sim may not depend on apps/kelvra-host'
  'source of another folder|tests/line/CMakeLists.txt|add_executable(t ../../station/station.cpp)|compiles a source outside its folder'
)

failed=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name file text expected <<<"$entry"
  tree=$work/tree
  rm -rf "$tree"
  for header in station/station.h hostkit/plugin_loader.h sim/simulator.h device/poll.ipp \
    apps/kelvra-host/commands.h device/kelvra_419.h; do
    mkdir -p "$tree/${header%/*}"
    : >"$tree/$header"
  done
  mkdir -p "$tree/${file%/*}"
  printf "$text\n" >"$tree/$file"
  status=0
  output=$("$check" "$tree" 2>&1) || status=$?
  if [ -z "$expected" ]; then
    [ "$status" = 0 ] || { echo "FAILED $name: refused: $output"; failed=1; }
  elif [ "$status" != 1 ] || ! grep -qF -- "$expected" <<<"$output"; then
    echo "FAILED $name: exit $status, expected a refusal naming \"$expected\", got: $output"
    failed=1
  fi
done
exit "$failed"
