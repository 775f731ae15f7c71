#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; quiet when all are there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libboost-date-time-dev libboost-system-dev libjsoncpp-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  clang libclang-rt-dev clang-format clang-tidy valgrind sqlite3 jq
  systemd dpkg-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl
  nodejs chromium fonts-wqy-microhei prometheus curl
  libsnmp-dev snmpd snmp snmptrapd smitools  # the SNMP subagent, its master, tools and MIB check
  mbpoll  # the Modbus TCP master the Modbus server's tests read with
  nut-client  # upsc and upsmon, the clients the UPS server is tested against
  ser2net  # a serial device server in front of the simulator, for the TCP line tests
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
# Some builds of nodejs bring npm along; Debian's has it as a package of its own.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The dashboard's plotting library and the browser test's driver, from the committed lock file.
web="$(dirname "$0")/../web"
if [ ! "$web/node_modules/.package-lock.json" -nt "$web/package-lock.json" ]; then
  (cd "$web" && npm ci --no-audit --no-fund --silent)
fi

# The base SMI modules the MIB check reads, from the committed lock file.
snmp_tools="$(dirname "$0")/../tests/snmp"
if [ ! "$snmp_tools/node_modules/.package-lock.json" -nt "$snmp_tools/package-lock.json" ]; then
  (cd "$snmp_tools" && npm ci --no-audit --no-fund --silent)
fi
