#!/usr/bin/env bash
# libzevxson.so exports exactly the thirteen functions, by their plain names,
# and nothing else.
#   exports_test.sh LIBRARY
set -euo pipefail
expected="XsonValueCheckType XsonValueCheckType2 XsonValueCheckTypes XsonValueClear XsonValueClone XsonValueFromJson XsonValueInit XsonValueLoad XsonValueSave XsonValueSet XsonValueSetType XsonValueSetType2 XsonValueToJson"
actual=$(nm -D --defined-only "$1" | awk '$2 == "T" || $2 == "W" || $2 == "D" || $2 == "B" {print $3}' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "1 passed, 0 failed"
