#!/usr/bin/env bash
# Starts the service on a scratch data folder and sends it CALLS large calls
# at once (default 26 of 60 MiB): see large_calls_bench.cc.
#   bash bench/large_calls_bench.sh [BUILD_DIR] [CALLS] [MIB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
source "$root/bench/start_service.sh"
sleep 0.5
"$build/bench/large_calls_bench" "$port" "$svc" "${2:-26}" "${3:-60}"
