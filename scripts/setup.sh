#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; quiet when all are there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libboost-date-time-dev libboost-system-dev libjsoncpp-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  clang libclang-rt-dev clang-format clang-tidy valgrind sqlite3 jq
  systemd dpkg-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
