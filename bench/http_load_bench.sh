#!/usr/bin/env bash
# Starts the service on a scratch data folder and runs http_load_bench
# against it: CLIENTS keep-alive clients (default 64) making CALLS echo calls
# each (default 20000).
#   bash bench/http_load_bench.sh [BUILD_DIR] [CLIENTS] [CALLS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
clients=${2:-64}
calls=${3:-20000}
source "$root/bench/start_service.sh"
"$build/bench/http_load_bench" "$port" "$svc" "$clients" "$calls"
