#!/usr/bin/env bash
# The shared object exports only the entry points named in the export map,
# each bound to the version "test".
set -euo pipefail
lib=$1
map=$2
expected=$({ grep -oE '^[[:space:]]+[A-Za-z_][A-Za-z0-9_]*;' "$map" || true; } | tr -d ' \t;' | sort)
# Defined dynamic symbols as "version name", without the version node itself.
defined=$(objdump -T "$lib" | awk '$4 != "*UND*" && $4 != "*ABS*" && NF >= 7 {print $(NF-1), $NF}' | sort -k2)
actual=$(echo -n "$defined" | awk 'NF {print $2}')
if [ "$actual" != "$expected" ]; then
  printf 'exported:\n%s\nexpected:\n%s\n' "$actual" "$expected"
  exit 1
fi
if echo -n "$defined" | awk 'NF && $1 != "test"' | grep -q .; then
  printf 'not bound to the version test:\n%s\n' "$defined"
  exit 1
fi
echo "exports ok"
