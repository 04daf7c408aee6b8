#!/usr/bin/env bash
# Runs fuzz targets of a ZEV_FUZZ build for SECONDS each, starting from each
# target's seed corpus (copied, so that the checked-in seeds stay as they
# are). Fails at the first target that finds a fault.
#   scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]   (default: every *_fuzzer)
set -euo pipefail
build=${1:?build dir}
seconds=${2:-60}
shift 2 || shift $#
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
# Inputs that crash a target are kept here for a look afterwards.
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
if [ ${#targets[@]} -eq 0 ]; then targets=("$build"/fuzz/*_fuzzer); fi
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  output=$(mktemp)
  if [ -d "$root/fuzz/corpus/$name" ]; then cp -r "$root/fuzz/corpus/$name/." "$corpus/"; fi
  echo "-- $name"
  rc=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$output" 2>&1 || rc=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Done' "$output" || true
  rm -rf "$corpus"
  if [ "$rc" -ne 0 ]; then
    tail -n 40 "$output"
    rm -f "$output"
    echo "$name found a fault (exit $rc)"
    exit 1
  fi
  rm -f "$output"
done
