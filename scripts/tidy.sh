#!/usr/bin/env bash
# clang-tidy with the project's .clang-tidy over a few sources that between them take in every
# library's headers, then the cognitive complexity of every function in the tools' folders; both
# run, and a finding of either fails. Usage: scripts/tidy.sh [BUILD_DIRECTORY]  (default
# build-ci; it needs compile_commands.json, which the ci preset writes)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-ci}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 2; }
sources=(plugin/plugin.cpp frame-codec/frame_codec.cpp hostkit/plugin_loader.cpp sim/responder.cpp
  station/station.cpp script/transcript.cpp)
status=0
clang-tidy -p "$build" --quiet "${sources[@]}" || status=1

# No function of the tools over cognitive complexity 25, in whatever .cpp files their folders hold
# now (a folder that does not exist is skipped) and in their own headers. device/, host/, plugin/
# and frame-codec/ keep the structure their decoders need and are not checked.
tools=(hostkit events telnet serial station run history web northbound snmp modbus upsd fieldtools script sim apps record)
folders=()
for folder in "${tools[@]}"; do [ -d "$folder" ] && folders+=("$folder"); done
tool_headers="^$PWD/($(IFS='|'; echo "${tools[*]}"))/"
complexity_config="{Checks: '-*,readability-function-cognitive-complexity',
  WarningsAsErrors: '*', HeaderFilterRegex: '$tool_headers',
  CheckOptions: [{key: readability-function-cognitive-complexity.Threshold, value: 25}]}"
find "${folders[@]}" -name '*.cpp' -not -path '*/node_modules/*' -print0 | sort -z |
  xargs -0 -P 2 -n 6 clang-tidy -p "$build" --quiet --config="$complexity_config" || status=1
exit $status
