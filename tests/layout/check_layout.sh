#!/usr/bin/env bash
# Dependencies run one way: a folder includes only its own headers and those of the folders it
# may depend on below, headers are named "folder/header.h" (or lie beside the includer), .ipp
# files stay private to their folder, and no CMakeLists compiles a source of another folder.
# Usage: check_layout.sh [ROOT]   (default: the source tree this script lies in)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}

# folder: the folders whose public headers it may include ("*": any folder).
allowed_table='
host:
record:
frame-codec:
device: host record
plugin: host record device
hostkit: host record device frame-codec
events: hostkit host record device frame-codec
history: events hostkit host record device frame-codec
telnet:
serial: telnet events hostkit host record device frame-codec
station: serial history events hostkit host record device frame-codec
run: station serial history events hostkit host record device frame-codec
script: hostkit host record device frame-codec
sim: hostkit host record device frame-codec
fieldtools: run station serial history events hostkit host record device frame-codec
web: run station serial history events hostkit host record device frame-codec
northbound: run station serial history events hostkit host record device frame-codec
snmp: run station serial history events hostkit host record device frame-codec
modbus: run station serial history events hostkit host record device frame-codec
upsd: run station serial history events hostkit host record device frame-codec
apps/kelvra-host: web northbound snmp modbus upsd fieldtools run station serial history events script sim hostkit host record device frame-codec
apps/kelvra-sim: sim hostkit host record device frame-codec
bench: northbound fieldtools hostkit run station serial history events script sim host record device frame-codec
fuzz: modbus upsd telnet hostkit run station serial history events script sim host record device frame-codec
tests: *
'
declare -A allowed
while IFS=: read -r folder deps; do
  [ -n "$folder" ] && allowed[$folder]=" ${deps# } "
done <<<"$allowed_table"

# The folder a path belongs to ("apps/NAME" for the programs), in $target; no subprocess.
folder_of() {
  case $1 in
  apps/*)
    local rest=${1#apps/}
    target=apps/${rest%%/*}
    ;;
  *) target=${1%%/*} ;;
  esac
}

violations=0
violation() {
  echo "$1" >&2
  violations=$((violations + 1))
}

cd "$root"
include='^[[:space:]]*#[[:space:]]*include[[:space:]]*"'
folders=()
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] && folders+=("$folder")
done
# One grep over every folder's sources: each quoted include as "file:number:line".
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  number=${rest%%:*}
  text=${rest#*:}
  header=$rest
  [[ $text =~ $include([^\"]*)\" ]] && header=${BASH_REMATCH[1]}
  where="$file:$number: \"$header\""
  if [[ $header != */* ]]; then
    [ -f "${file%/*}/$header" ] || violation "$where: not beside $file; name it \"folder/$header\""
    continue
  fi
  [ -f "$header" ] || { violation "$where: no such header in the tree"; continue; }
  folder_of "$file"
  folder=$target
  folder_of "$header"
  [ "$target" = "$folder" ] && continue
  if [[ $header == *.ipp ]]; then
    violation "$where: private to $target"
  elif [ "${allowed[$folder]}" != " * " ] && [[ ${allowed[$folder]} != *" $target "* ]]; then
    violation "$where: $folder may not depend on $target"
  fi
done < <([ ${#folders[@]} -eq 0 ] ||
  grep -rnHE --include='*.h' --include='*.cpp' --include='*.ipp' "$include" "${folders[@]}" || true)

# Sources are named relative to their own folder: none reached through ../ or the tree's root.
while IFS= read -r hit; do
  violation "$hit: compiles a source outside its folder"
done < <(find . -path ./build\* -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) -print |
  xargs grep -nHE '(\.\./|(PROJECT|CMAKE)_SOURCE_DIR\}/)[^ )"]*\.(cpp|cc|c|ipp)\b' || true)

if [ "$violations" -gt 0 ]; then
  echo "$violations layout violations" >&2
  exit 1
fi
