#!/usr/bin/env bash
# clang-tidy with the project's .clang-tidy over a few sources that between them take in every
# library's headers; any finding fails. Usage: scripts/tidy.sh [BUILD_DIRECTORY]  (default
# build-ci; it needs compile_commands.json, which the ci preset writes)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-ci}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json" >&2; exit 2; }
sources=(plugin/plugin.cpp frame-codec/frame_codec.cpp hostkit/plugin_loader.cpp sim/responder.cpp
  line/station.cpp script/transcript.cpp)
clang-tidy -p "$build" --quiet "${sources[@]}"
