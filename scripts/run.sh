#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service's main job on a local
# default that needs no network: the project's strategy server serves a demo
# catalogue with one small component (made at build time), the registry
# points the service at it, and the service runs in the foreground
# (application mode) on a data folder inside the work tree (./run/data).
# About 30 s after start its first pass downloads, verifies, unpacks, records
# and runs the component in a host. Type 2 and Enter (or press Ctrl-C) to
# stop it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target zevsvc zevctl zev-strategy-server zev_demo

bin=build/release
export ZEV_COMMON_APPDATA="$PWD/run/data"
mkdir -p "$ZEV_COMMON_APPDATA"
zevctl="$bin/tools/zevctl/zevctl"
settings='Software\Classes\CLSID\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}'

# The strategy server on a free loopback port (it prints the port it took).
port_file="$PWD/run/strategy_server.port"
rm -f "$port_file"
"$bin/tools/strategy_server/zev-strategy-server" --listen 127.0.0.1:0 \
  --catalogue "$PWD/$bin/demo/catalogue.json" --events "$PWD/run/events.jsonl" >"$port_file" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  sleep 0.1
done
port=$(head -n1 "$port_file")
if [ -z "$port" ]; then
  echo "run.sh: the strategy server did not start" >&2
  exit 1
fi
"$zevctl" reg set HKLM "$settings\\Url" "" "http://127.0.0.1:$port" >/dev/null
"$zevctl" reg set HKLM "$settings\\First" "" 30 >/dev/null
"$zevctl" reg set HKLM "$settings\\Interval" "" 120 >/dev/null

cat <<MSG
== ZEV service in application mode, data in $ZEV_COMMON_APPDATA
   strategy server: http://127.0.0.1:$port, serving $bin/demo/catalogue.json
   In about 30 s the first pass installs the component demo-clock 1.0.0 into
   $ZEV_COMMON_APPDATA/Varnel/ZEV/download/demo/demo-clock/1.0.0/x64
   and runs it in a host; its "alive" lines appear below every 5 s.
   In another terminal:
     export ZEV_COMMON_APPDATA="$ZEV_COMMON_APPDATA"
     $zevctl strategy                  # the last pass: listed, installed, failed
     $zevctl hosts                     # the host process of group "demo" and its pid
     $zevctl status
     $zevctl register port demo-clock 7000   # what a component does to say where it serves
     $zevctl component port demo-clock       # what a client asks: 7000
     kill -9 <host pid from zevctl hosts>   # the host and its component come back
     $zevctl hosts                     # the same group with a new pid
MSG
"$bin/zevservice/host/zevsvc" -application
