#!/usr/bin/env bash
# The plug-in's dynamic symbol table defines get_providers and no other symbol.
set -euo pipefail
lib=$1
defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ "$defined" != "get_providers" ]; then
  echo "unexpected exported symbols in $lib:" >&2
  printf '%s\n' "$defined" >&2
  exit 1
fi
echo "exports: get_providers only"
