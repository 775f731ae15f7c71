#!/usr/bin/env bash
# Checks an install prefix the way a user meets it: programs run from there, from another working
# folder, with no --plugin and no library path, and nothing in it points back into the build tree.
# Usage: installed_check.sh CHECK BUILD_DIR PREFIX [VERSION | SYSTEMD_ANALYZE]
#   install          installs BUILD_DIR into a fresh PREFIX
#   no-build-paths   no installed ELF file has a run path naming BUILD_DIR or the source tree
#   version          both programs' --version prints "NAME VERSION"
#   help             both programs' --help exits 0 with their usage line
#   builtin-round    one round against the installed host's built-in simulator
#   simulator-round  one round with the example settings against the installed kelvra-sim
#   unit             the installed unit, as an instance, passes SYSTEMD_ANALYZE verify silently
set -euo pipefail
check=$1 build=$2 prefix=$3 extra=${4:-}
host=$prefix/bin/kelvra-host
sim=$prefix/bin/kelvra-sim
fail() { echo "FAILED: $*" >&2; exit 1; }
unset LD_LIBRARY_PATH

case $check in
install)
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  for file in bin/kelvra-host bin/kelvra-sim lib/libkelvra_419.so lib/libkelvra_hostfw.so.1 \
    share/kelvra/settings-example.json share/kelvra/settings-example.md share/snmp/mibs/KELVRA-POWER-MIB.txt \
    lib/systemd/system/kelvra-host@.service lib/sysusers.d/kelvra.conf lib/tmpfiles.d/kelvra.conf; do
    [ -e "$prefix/$file" ] || fail "$file not installed"
  done
  [ ! -e "$prefix/lib/libkelvra_hostfw.so" ] || fail "the development link lib/libkelvra_hostfw.so installed"
  ;;
no-build-paths)
  source_dir=$(cd "$(dirname "$0")/../.." && pwd)
  found=0
  while IFS= read -r -d '' file; do
    paths=$(readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH' || true)
    if grep -qF -e "$build" -e "$source_dir" <<<"$paths"; then
      echo "$file: $paths" >&2
      found=1
    fi
  done < <(find "$prefix/bin" "$prefix/lib" -type f -print0)
  [ "$found" = 0 ] || fail "installed files load libraries from the build tree"
  ;;
version)
  for program in "$host" "$sim"; do
    output=$("$program" --version) || fail "$program --version: exit status $?"
    [ "$output" = "$(basename "$program") $extra" ] || fail "$program --version printed \"$output\""
  done
  ;;
help)
  for program in "$host" "$sim"; do
    output=$("$program" --help) || fail "$program --help: exit status $?"
    grep -qi "^usage: $(basename "$program") " <<<"$output" || fail "$program --help printed \"$output\""
  done
  ;;
builtin-round)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work"
  "$host" run --rounds 1 --no-pace --db "$work/round.db" >"$work/run.log" 2>&1 ||
    { cat "$work/run.log" >&2; fail "kelvra-host run: exit status $?"; }
  grep -q ' round 1 (' "$work/run.log" || { cat "$work/run.log" >&2; fail "no round printed"; }
  [ "$("$host" history --db "$work/round.db" --json | grep -c '"record"')" -ge 1 ] ||
    fail "no record stored"
  ;;
simulator-round)
  work=$(mktemp -d)
  sim_pid=
  cleanup() {
    if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; wait "$sim_pid" || true; fi
    rm -rf "$work"
  }
  trap cleanup EXIT
  cd "$work"
  : >"$work/sim.log"
  "$sim" --no-pace >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for ((i = 0; i < 200; ++i)); do
    terminal=$(head -n 1 "$work/sim.log")
    [ -n "$terminal" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log" >&2; fail "kelvra-sim ended"; }
    sleep 0.1
  done
  [ -c "$terminal" ] || { cat "$work/sim.log" >&2; fail "kelvra-sim printed no terminal"; }
  "$host" run --settings "$prefix/share/kelvra/settings-example.json" --port "$terminal" \
    --rounds 1 --db "$work/round.db" >"$work/run.log" 2>&1 ||
    { cat "$work/run.log" >&2; fail "kelvra-host run: exit status $?"; }
  grep -q ' round 1 (' "$work/run.log" || { cat "$work/run.log" >&2; fail "no round printed"; }
  ;;
unit)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cp "$prefix/lib/systemd/system/kelvra-host@.service" "$work/kelvra-host@check.service"
  grep -qF "ExecStart=$prefix/bin/kelvra-host run " "$work/kelvra-host@check.service" ||
    fail "the unit does not start the installed kelvra-host"
  output=$("$extra" verify "$work/kelvra-host@check.service" 2>&1) || { echo "$output" >&2; fail "verify"; }
  [ -z "$output" ] || { echo "$output" >&2; fail "verify found something to say"; }
  ;;
*)
  fail "unknown check $check"
  ;;
esac
