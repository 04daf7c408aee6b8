#!/usr/bin/env bash
# Installs what is missing, checks the layer order of the sources, builds,
# and runs the whole test suite three times: as built for use, under
# AddressSanitizer + UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# After the first, the package is installed and checked under systemd in a
# container (scripts/systemd_check.sh; it says so and goes on when the
# container cannot boot here or the package registry cannot be reached).
# With ZEV_FUZZ_SECONDS > 0 (default 10 in CI, 0 elsewhere) the fuzz targets
# are built with clang and run for that many seconds each; that build of
# every library is also the one that checks the lock annotations
# (-Wthread-safety, see cmake/ZevWarnings.cmake).
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

echo "== layer order"
python3 scripts/check_layers.py --self-test
python3 scripts/check_layers.py

echo "== build and test (RelWithDebInfo)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_WERROR=$werror
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== the Debian package under systemd (a booted Debian 12 container)"
bash scripts/systemd_check.sh build/release

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEV_SANITIZE=ON -DZEV_BUILD_BENCH=OFF \
  -DZEV_WERROR=$werror
cmake --build build/asan -j "$jobs"
asan_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
if ! env "${asan_env[@]}" ctest --test-dir build/asan --output-on-failure -j "$jobs" 2>&1 | tee build/asan/ctest.log; then
  # LeakSanitizer's own stop-the-world tracer now and then crashes at a test
  # program's exit after all its tests passed ("Tracer caught signal 11"): a
  # fault of the sanitizer, not a leak report. Only then are the programs
  # that failed run once more; any other failure ends the run here.
  if grep -q 'Tracer caught signal' build/asan/ctest.log &&
     grep -q 'LeakSanitizer has encountered a fatal error' build/asan/ctest.log; then
    # The rerun logs the ranges LeakSanitizer scans, so a crash that repeats
    # shows where. A program whose leak check crashes the tracer again is run
    # a last time without it: its tests must still pass under ASan+UBSan.
    echo "== LeakSanitizer's tracer crashed; the failed test programs run once more"
    if ! env "${asan_env[@]}" LSAN_OPTIONS=verbosity=1:log_threads=1 \
        ctest --test-dir build/asan --output-on-failure --rerun-failed 2>&1 | grep -v "poisoning: " | tee build/asan/rerun.log; then
      if grep -q 'Tracer caught signal' build/asan/rerun.log &&
         grep -q 'LeakSanitizer has encountered a fatal error' build/asan/rerun.log; then
        echo "== LeakSanitizer's tracer crashed again; the failed programs run without the leak check"
        env ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 "${asan_env[1]}" \
          ctest --test-dir build/asan --output-on-failure --rerun-failed
      else
        exit 1
      fi
    fi
  else
    exit 1
  fi
fi

echo "== build and test (ThreadSanitizer)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_TSAN=ON -DZEV_BUILD_BENCH=OFF \
  -DZEV_WERROR=$werror
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz targets (${fuzz_seconds}s each)"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEV_FUZZ=ON \
    -DZEV_BUILD_TESTS=OFF -DZEV_BUILD_BENCH=OFF
  cmake --build build/fuzz -j "$jobs"
  # A target that crashes on purpose must fail the fuzz run.
  if bash scripts/fuzz.sh build/fuzz 5 build/fuzz/fuzz/fuzz_selftest_crash >/dev/null 2>&1; then
    echo "scripts/fuzz.sh passed a crashing target"
    exit 1
  fi
  bash scripts/fuzz.sh build/fuzz "$fuzz_seconds"
fi
echo "== all tests passed"
