#!/usr/bin/env bash
# The memory of zevsvc at rest with the demo component running: the service
# in application mode on a scratch data folder, the project's strategy server
# on loopback serving the demo catalogue (tools/demo), First at its lowest
# (30 s). Once the first pass has installed the demo and its host runs, and
# after REST_S seconds (default 5) at rest, prints zevsvc's thread count, the
# figures of /proc/PID/smaps_rollup (kB), and the shared objects it maps.
# PSS shares each page among the processes that map it: a library that other
# processes map as well counts for less.
#   bash bench/idle_memory.sh [BUILD_DIR] [REST_S]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
rest=${2:-5}
zevctl="$build/tools/zevctl/zevctl"
source "$root/bench/catalogue.sh"

work=$(mktemp -d)
trap 'kill $server_pid 2>/dev/null || true; rm -rf "$work"' EXIT
bash "$root/tools/demo/make_demo.sh" "$root/tools/demo" "$work"
start_strategy_server "$work"
settings() {
  "$zevctl" reg set HKLM "$zev_settings\\Url" "" "$server_url" >/dev/null
  "$zevctl" reg set HKLM "$zev_settings\\First" "" 30 >/dev/null
  "$zevctl" reg set HKLM "$zev_settings\\Interval" "" 600 >/dev/null
}
before_start=settings
svc_args=()
source "$root/bench/start_service.sh"
trap 'kill $svc 2>/dev/null || true; wait $svc 2>/dev/null || true; kill $server_pid 2>/dev/null || true
      rm -rf "$data" "$work"' EXIT

host=""
for _ in $(seq 900); do
  host=$("$zevctl" hosts 2>/dev/null | sed -n 's/^group demo: .*, pid \([0-9]*\),.*components demo-clock.*/\1/p')
  [ -n "$host" ] && kill -0 "$host" 2>/dev/null && break
  host=""
  sleep 0.1
done
[ -n "$host" ] || { echo "the demo host did not start"; exit 1; }
sleep "$rest"
kill -0 "$svc" || { echo "the service has ended"; exit 1; }

echo "idle_memory: zevsvc pid $svc, demo host pid $host, ${rest} s at rest"
echo "threads        $(ls /proc/$svc/task | wc -l)"
awk '$1 ~ /^(Rss|Pss|Pss_Anon|Pss_File|Private_Dirty):$/ {printf "%-14s %6d kB\n", substr($1, 1, length($1) - 1), $2}' \
  "/proc/$svc/smaps_rollup"
objects=$(awk '$6 ~ /\.so(\.|$)/ {print $6}' "/proc/$svc/maps" | sort -u)
echo "shared objects $(echo "$objects" | grep -c .)"
if [ "${IDLE_MEMORY_LIST:-0}" = 1 ]; then echo "$objects"; fi
