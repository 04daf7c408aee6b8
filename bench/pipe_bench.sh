#!/usr/bin/env bash
# Starts the service on a scratch data folder and runs pipe_bench against it.
#   bash bench/pipe_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-5}
source "$root/bench/start_service.sh"
sleep 0.5
"$build/bench/pipe_bench" "$port" "$seconds" "$svc"
