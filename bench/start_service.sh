# Sourced by the benchmark scripts: starts zevsvc in application mode on a
# scratch data folder, sets $svc (its pid), $data and $port, and stops it on exit.
#   build=... ; source bench/start_service.sh
# Optional, set before sourcing: svc_args (an array of further zevsvc
# arguments, such as --test-timings) and before_start (a command run with the
# data folder in place and ZEV_COMMON_APPDATA set, before the service starts:
# settings that the service reads at its start go there).
data=$(mktemp -d)
trap 'kill $svc 2>/dev/null || true; wait $svc 2>/dev/null || true; rm -rf "$data"' EXIT
export ZEV_COMMON_APPDATA=$data
if [ -n "${before_start:-}" ]; then $before_start; fi
"$build/zevservice/host/zevsvc" -application "${svc_args[@]}" </dev/null >/dev/null 2>&1 &
svc=$!
port=""
for _ in $(seq 100); do
  port=$("$build/tools/zevctl/zevctl" reg get HKCR 'CLSID\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\Port' zevservicePort 2>/dev/null || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the service did not come up"; exit 1; }
