#!/usr/bin/env bash
# Runs every fuzz target of a ZEV_FUZZ build for SECONDS each, starting from
# its seed corpus (copied, so that the checked-in seeds stay as they are).
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build dir}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
for target in "$build"/fuzz/*_fuzzer; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  if [ -d "$root/fuzz/corpus/$name" ]; then cp -r "$root/fuzz/corpus/$name/." "$corpus/"; fi
  echo "-- $name"
  "$target" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
  rc=${PIPESTATUS[0]}
  rm -rf "$corpus"
  if [ "$rc" -ne 0 ]; then echo "$name found a fault"; exit 1; fi
done
