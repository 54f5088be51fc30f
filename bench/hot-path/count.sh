#!/usr/bin/env bash
# Instructions per operation inside MemAlloc and MemFree, counted by callgrind (exact and
# repeatable, whatever else the machine is doing). Usage: count.sh BENCH LIBRARY [operations]
# Prints one line per shape: "shape instructions-per-operation".
set -euo pipefail
bench=$1 library=$2 operations=${3:-204800}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for shape in pair mixed burst; do
  valgrind --tool=callgrind --callgrind-out-file="$work/out" --toggle-collect=MemAlloc \
    --toggle-collect=MemFree "$bench" "$library" "$shape" "$operations" 2>"$work/log" >/dev/null
  collected=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/log")
  # mixed ends by freeing what is still live: at most 1,000 calls more, counted as operations.
  awk -v shape="$shape" -v collected="$collected" -v operations="$operations" \
    'BEGIN { printf "%-6s %6.1f\n", shape, collected / operations }'
done
