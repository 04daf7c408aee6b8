#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: once
# as built for use, once under AddressSanitizer + UndefinedBehaviorSanitizer;
# then the thread-sharing tests under ThreadSanitizer.
# With ZEV_FUZZ_SECONDS > 0 (default 10 in CI, 0 elsewhere) the fuzz targets
# are built with clang and run for that many seconds each.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

werror=OFF
fuzz_seconds=${ZEV_FUZZ_SECONDS:-0}
if [ "${CI:-}" = "true" ]; then
  werror=ON
  fuzz_seconds=${ZEV_FUZZ_SECONDS:-10}
fi
jobs=$(nproc)

echo "== build and test (RelWithDebInfo)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_WERROR=$werror
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEV_SANITIZE=ON -DZEV_BUILD_BENCH=OFF \
  -DZEV_WERROR=$werror
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== values shared between threads (ThreadSanitizer)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_TSAN=ON -DZEV_BUILD_BENCH=OFF \
  -DZEV_WERROR=$werror
cmake --build build/tsan -j "$jobs" --target zev_xson_test zev_rpc_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/zevservice/xson/zev_xson_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/zevservice/rpc/zev_rpc_test --gtest_filter='ThreadPool*:MessageQueue*:TaskTimer*'

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz targets (${fuzz_seconds}s each)"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_FUZZ=ON \
    -DZEV_BUILD_TESTS=OFF -DZEV_BUILD_BENCH=OFF
  cmake --build build/fuzz -j "$jobs"
  bash scripts/fuzz.sh build/fuzz "$fuzz_seconds"
fi
echo "== all tests passed"
