#!/usr/bin/env bash
# A crash-looping component for SECONDS (default 600): the restarts of its
# host and the CPU seconds of the service (zevsvc) and of the host processes
# (zevhost), with the restart backoff (the product's default) beside zevsvc
# --no-restart-backoff, in the same run: two services on scratch data
# folders of their own, side by side, on the real delays, fed by one
# strategy server on loopback. The component ends its host with SIGKILL the
# moment it runs, as a component that crashes its host would; it is the
# first version of its component, so no rollback takes it away. zevctl
# update installs it; counting begins at its first run.
#   restarts:  the component's runs after the first (each one is a new host),
#              in all and within the first 60 s, beside the monitor's count
#              (zev_host_restarts_total), and the time of the last one, from
#              the first;
#   zevsvc:    user + system CPU seconds of the service over the time;
#   zevhost:   the same of every host over the time (reaped hosts are counted
#              in the service's children's times; a live host by its own);
# The restart budget of the monitor stands in both: once it refuses, the
# component stays down until the next UTC day.
#   bash bench/crash_loop_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${2:-600}
zevctl="$build/tools/zevctl/zevctl"
source "$root/bench/catalogue.sh"

work=$(mktemp -d)
trap 'kill $server_pid 2>/dev/null || true; rm -rf "$work"' EXIT
printf '#!/bin/sh\necho "$(date +%%s%%3N)" >> "$ZEV_COMMON_APPDATA/crash-runs"\nkill -KILL "$PPID"\n' > "$work/crash.sh"
package_component "$work" bench crash 1.0.0 "$work/crash.sh"
write_catalogue "$work"
start_strategy_server "$work"
ticks=$(getconf CLK_TCK)

# CPU ticks of the service itself, and of its reaped children plus its live hosts.
cpu_ticks() {
  local self children host
  read -r self children < <(awk '{print $14 + $15, $16 + $17}' "/proc/$svc/stat")
  for host in $(pgrep -P "$svc" -x zevhost || true); do
    children=$((children + $(awk '{print $14 + $15}' "/proc/$host/stat" 2>/dev/null || echo 0)))
  done
  echo "$self $children"
}

# One service: LABEL, then zevsvc's further arguments. Prints one line.
run() (
  label=$1
  shift
  svc_args=("$@")
  settings() { "$zevctl" reg set HKLM "$zev_settings\\Url" "" "$server_url" >/dev/null; }
  before_start=settings
  source "$root/bench/start_service.sh"
  runs="$data/crash-runs"
  "$zevctl" update --wait 120 >/dev/null || { echo "$label: the update failed"; exit 1; }
  for _ in $(seq 300); do
    [ -s "$runs" ] && break
    sleep 0.1
  done
  [ -s "$runs" ] || { echo "$label: the component never ran"; exit 1; }
  first=$(head -n1 "$runs")
  read -r self0 children0 < <(cpu_ticks)
  sleep $(( seconds - ($(date +%s%3N) - first) / 1000 ))
  read -r self1 children1 < <(cpu_ticks)
  restarts=$(( $(wc -l < "$runs") - 1 ))
  minute=$(awk -v first="$first" 'NR > 1 && $1 - first <= 60000 {n++} END {print n + 0}' "$runs")
  last=$(awk -v ms=$(( $(tail -n1 "$runs") - first )) 'BEGIN {printf "%.1f", ms / 1000}')
  metric=$("$zevctl" metrics 2>/dev/null | awk '/^zev_host_restarts_total/ {s += $2} END {print s + 0}')
  printf '%-22s %9s %10s %10s %13s %13s %13s\n' "$label" "$restarts" "$minute" "$metric" "${last} s" \
    "$(awk -v t=$((self1 - self0)) -v h="$ticks" 'BEGIN {printf "%.2f", t / h}')" \
    "$(awk -v t=$((children1 - children0)) -v h="$ticks" 'BEGIN {printf "%.2f", t / h}')"
)

echo "crash_loop_bench: ${seconds} s, both services at once"
printf '%-22s %9s %10s %10s %13s %13s %13s\n' "" restarts "in 60 s" "(monitor)" "last restart" "zevsvc CPU s" \
  "zevhost CPU s"
run "backoff (default)" > "$work/on.txt" 2>&1 &
on=$!
run "--no-restart-backoff" --no-restart-backoff > "$work/off.txt" 2>&1 &
off=$!
status=0
wait $on || status=1
wait $off || status=1
cat "$work/off.txt" "$work/on.txt"
exit $status
