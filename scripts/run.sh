#!/usr/bin/env bash
# Installs what is missing, builds, and runs the service in the foreground
# (application mode) on a data folder inside the work tree (./run/data).
# Type 2 and Enter (or press Ctrl-C) to stop it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target zevsvc zevctl

export ZEV_COMMON_APPDATA="$PWD/run/data"
mkdir -p "$ZEV_COMMON_APPDATA"
cat <<MSG
== ZEV service in application mode, data in $ZEV_COMMON_APPDATA
   (it starts after a 2 s pause, then listens on the first free port from 61024)
   In another terminal:
     export ZEV_COMMON_APPDATA="$ZEV_COMMON_APPDATA"
     build/release/tools/zevctl/zevctl echo "hello"
     build/release/tools/zevctl/zevctl reg list HKCR
     tail -f "$ZEV_COMMON_APPDATA/Varnel/ZEV/2.0/zevservice.1.txt"
MSG
exec build/release/zevservice/host/zevsvc -application
