#!/usr/bin/env bash
# HTTP echo calls against the real service, with wrk on loopback, beside the
# same server answering "/" and "/metrics" in the same run: 1 and 16
# keep-alive connections, DURATION seconds each (default 10). "/" and
# "/metrics" take turns ROUNDS times (default 3) at each number of
# connections; the medians of their rates and the ratio of the medians close
# the output. The call is sealed once up front; the
# service's decoding is stateless, so wrk can send the same bytes again.
#   bash bench/http_bench.sh [BUILD_DIR] [DURATION] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
duration=${2:-10}
rounds=${3:-3}
command -v wrk >/dev/null || { echo "wrk is missing (scripts/setup.sh installs it)"; exit 1; }

source "$root/bench/start_service.sh"

# Seal one echo call: descriptor {serverId, "echo"}, request {request: "hello"}.
python3 - "$data/call.bin" <<'PY'
import sys
def field(no, data): return bytes([no << 3 | 2, len(data)]) + data
desc = field(2, b"{56BFCC2A-7009-4287-93B0-4B857963F151}") + field(3, b"echo")
open(sys.argv[1], "wb").write(field(1, desc) + field(2, field(1, b"hello, benchmark")))
PY
"$build/tools/zevctl/zevctl" seal < "$data/call.bin" > "$data/sealed.txt"
etag=$(sed -n 1p "$data/sealed.txt")
body=$(sed -n 2p "$data/sealed.txt")
cat > "$data/rpc.lua" <<LUA
wrk.method = "POST"
wrk.body = "$body"
wrk.headers["Content-Type"] = "text/plain"
LUA

run() {  # connections, path, script
  local extra=()
  [ -n "${3:-}" ] && extra=(-s "$3")
  wrk -t "$(( $1 < 2 ? 1 : 2 ))" -c "$1" -d "${duration}s" --latency "${extra[@]}" "http://127.0.0.1:$port$2" |
    awk -v label="$4" -v rates="$data/rates" '/Requests\/sec/ {rps=$2} /^ +50%/ {p50=$2} /^ +99%/ {p99=$2}
      /Non-2xx/ {bad=$0}
      END {printf "%-28s %10s calls/s   median %8s   p99 %8s %s\n", label, rps, p50, p99, bad
           print rps > rates}'
}
echo "http_bench: service on port $port, ${duration}s per run"
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
for c in 1 16; do
  : > "$data/root_rates"
  : > "$data/metrics_rates"
  for r in $(seq "$rounds"); do
    run "$c" "/" "" "\"/\" (baseline) c=$c #$r"
    cat "$data/rates" >> "$data/root_rates"
    run "$c" "/metrics" "" "GET /metrics c=$c #$r"
    cat "$data/rates" >> "$data/metrics_rates"
  done
  run "$c" "/rpc?key=$etag" "$data/rpc.lua" "echo over /rpc c=$c"
  ratios+=("$(awk -v m="$(median < "$data/metrics_rates")" -v r="$(median < "$data/root_rates")" -v c="$c" \
    'BEGIN {printf "c=%-3s medians: GET / %10.2f calls/s, GET /metrics %10.2f calls/s, ratio %.2f", c, r, m, m / r}')")
done
printf '%s\n' "${ratios[@]}"
echo "GET /metrics answer: $(curl -s "http://127.0.0.1:$port/metrics" | wc -c) bytes"
