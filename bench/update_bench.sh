#!/usr/bin/env bash
# `zevctl update` until the pass's end, for one new 10 MB component, beside
# the same pass when its timer starts it, in the same run of one service:
# zevsvc with the short delays of --test-timings and Interval INTERVAL s,
# the project's strategy server on loopback serving the catalogue and the
# packages. Each round lists a new version of the component (its package
# stored by 7z without compression, 10 MB of random text behind the script's
# exec line, so that every version is downloaded, checked and unpacked in
# full) and asks for a pass with zevctl update; then lists the next version
# and waits for the timer's pass.
#   update: from the start of zevctl to its exit (the pass has ended and its
#           catalogue is loaded), and from that start to the time the pass
#           recorded at its end;
#   timer:  from the time the pass was due (next_pass in the record) to the
#           time it recorded at its end.
# Medians over RUNS rounds (default 5), after one warm-up update.
#   bash bench/update_bench.sh [BUILD_DIR] [RUNS] [INTERVAL_S]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${2:-5}
interval=${3:-20}
zevctl="$build/tools/zevctl/zevctl"
source "$root/bench/catalogue.sh"

work=$(mktemp -d)
trap 'kill $server_pid 2>/dev/null || true; rm -rf "$work"' EXIT
start_strategy_server "$work"
settings() {
  "$zevctl" reg set HKLM "$zev_settings\\Url" "" "$server_url" >/dev/null
  "$zevctl" reg set HKLM "$zev_settings\\First" "" 1 >/dev/null
  "$zevctl" reg set HKLM "$zev_settings\\Interval" "" "$interval" >/dev/null
}
before_start=settings
svc_args=(--test-timings)
source "$root/bench/start_service.sh"
trap 'kill $svc 2>/dev/null || true; wait $svc 2>/dev/null || true; kill $server_pid 2>/dev/null || true
      rm -rf "$data" "$work"' EXIT

# Lists version 1.0.N of "big": a script that sleeps, 10 MB in all.
list_version() {
  local entry="$work/big.sh"
  { printf '#!/bin/sh\n# version 1.0.%s\nexec sleep 100000\n' "$1"
    head -c 7800000 /dev/urandom | base64 -w 99 | sed 's/^/#/'; } > "$entry"
  package_component "$work" bench big "1.0.$1" "$entry"
  write_catalogue "$work"
}
now_ms() { date +%s%3N; }
# A field of the strategy's record of its last pass.
record() {
  "$zevctl" reg get HKLM 'Software\Varnel\ZEV\ServerStrategy' "" 2>/dev/null |
    python3 -c 'import json,sys; print(json.load(sys.stdin).get(sys.argv[1], 0))' "$1" 2>/dev/null || echo 0
}
# Whether version 1.0.N was installed by the last pass: the record counts the
# one version listed, and its script is in place.
installed() {
  [ "$(record installed)" = 1 ] && grep -q "^# version 1.0.$1\$" "$data/Varnel/ZEV/download/bench/big/1.0.$1/x64/big.sh"
}
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }

# Warm-up: the first pass of all, and the service's start, do not count.
list_version 0
"$zevctl" update --wait 120 >/dev/null || { echo "the warm-up update failed"; exit 1; }
echo "update_bench: package of $(stat -c %s "$work/big-1.0.0-big.sh.7z") bytes, Interval ${interval} s, $runs rounds"
: > "$work/update_wall" ; : > "$work/update_pass" ; : > "$work/timer_pass"
version=1
for round in $(seq "$runs"); do
  list_version "$version"
  start=$(now_ms)
  out=$("$zevctl" update --wait 120) || { echo "update failed: $out"; exit 1; }
  end=$(now_ms)
  installed "$version" || { echo "1.0.$version is not installed after update: $out"; exit 1; }
  echo $((end - start)) >> "$work/update_wall"
  echo $(($(record time) - start)) >> "$work/update_pass"
  version=$((version + 1))

  list_version "$version"
  due=$(record next_pass)
  [ "$due" -gt "$(now_ms)" ] || { echo "no timer pass is due (next_pass $due)"; exit 1; }
  for _ in $(seq 600); do
    [ "$(record time)" -ge "$due" ] && break
    sleep 0.1
  done
  ended=$(record time)
  [ "$ended" -ge "$due" ] || { echo "the timer's pass did not end"; exit 1; }
  installed "$version" || { echo "1.0.$version is not installed after the timer's pass"; exit 1; }
  echo $((ended - due)) >> "$work/timer_pass"
  echo "round $round: update $(tail -1 "$work/update_wall") ms (pass end recorded at +$(tail -1 "$work/update_pass") ms)," \
       "timer pass $(tail -1 "$work/timer_pass") ms"
  version=$((version + 1))
done
printf '%-44s %8s ms\n' "update: zevctl start to exit (median)" "$(median < "$work/update_wall")"
printf '%-44s %8s ms\n' "update: zevctl start to pass end (median)" "$(median < "$work/update_pass")"
printf '%-44s %8s ms\n' "timer: pass due to pass end (median)" "$(median < "$work/timer_pass")"
