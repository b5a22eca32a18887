#!/usr/bin/env bash
# The shared object exports only the entry points named in the export map,
# each bound to the version "test", and defines no other version.
set -euo pipefail
lib=$1
map=$2
expected=$({ grep -oE '^[[:space:]]+[A-Za-z_][A-Za-z0-9_]*;' "$map" || true; } | tr -d ' \t;' | sed 's/$/@@test/' | sort)
# Defined dynamic symbols as nm shows them, "name@@version"; the version node
# itself is the one absolute symbol.
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | sort)
if [ "$actual" != "$expected" ]; then
  printf 'exported:\n%s\nexpected:\n%s\n' "$actual" "$expected"
  exit 1
fi
# The version definitions: the library's base entry, then "test" alone.
versions=$(readelf -V "$lib" | sed -n '/^Version definition section/,/^$/p' | grep -oE 'Name: [^ ]+' | awk '{print $2}')
base=$(echo "$versions" | head -n 1)
others=$(echo "$versions" | tail -n +2)
if [ "$others" != "test" ] || [ -z "$base" ]; then
  printf 'version definitions:\n%s\n' "$versions"
  exit 1
fi
echo "exports ok"
