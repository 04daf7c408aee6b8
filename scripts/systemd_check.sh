#!/usr/bin/env bash
# The Debian package under real systemd: boots a minimal Debian 12 in a
# container (systemd-nspawn, systemd as PID 1, no network), installs the
# package with apt from the local file, and checks what an administrator
# relies on:
#   - the unit is active within 5 s of "systemctl start", and its STATUS text
#     says what runs;
#   - the demo component (a strategy server inside the container serves the
#     demo catalogue and, over HTTP, its package) runs in a host inside
#     zevsvc.service's control group, and its events are in the journal
#     under their own fields (journalctl ZEV_COMPONENT=demo-clock);
#   - "systemctl reload" sends SIGHUP to the main process, which goes on, and
#     leaves the hosts alone;
#   - "systemctl kill -s HUP" leaves the hosts alone;
#   - kill -9 of the main process: restarted within 10 s, no host left from
#     before;
#   - with the hardening drop-in the package ships linked into
#     zevsvc.service.d/, the service restarts, the demo component runs (under
#     the narrower capability bounding set) and the service answers over HTTP
#     and its socket; "systemd-analyze security" exposure is printed without
#     and with it; the drop-in stays linked for the checks that follow;
#   - the demo application's MemoryMax and CPUQuota put its host in a scope
#     of its own in the service's slice with those limits, and the demo over
#     its memory limit is OOM-killed alone while the service goes on (where
#     the container's memory controller is cgroup v2);
#   - "systemctl stop" leaves no process;
#   - a start that cannot succeed (a file in place of /var/lib/zev, a data
#     folder owned by another user) exits 78, is not restarted, and
#     "journalctl -p err" shows why; the journal keeps the lines' priorities;
#   - apt-get remove stops the service for good; apt-get purge leaves nothing.
#
#   scripts/systemd_check.sh BUILD_DIR     (a release build folder, after its build)
#
# Needs root, systemd-nspawn, debootstrap and nsenter (scripts/setup.sh
# installs them). The Debian root is made once with debootstrap from the
# machine's own apt sources (or $ZEV_SYSTEMD_CHECK_MIRROR) and kept in
# $ZEV_SYSTEMD_CHECK_CACHE (default /var/cache/zev-systemd-check); later runs
# copy it, and a root that fails its checks is made anew. When the container
# cannot boot on this machine, or the package registry cannot be reached while
# the root is made, the check says so and exits 0 ("skipped"); every other
# fault exits 1. Every wait is bounded, and the container is stopped on every
# way out.
set -euo pipefail

build=$(cd "${1:?usage: systemd_check.sh BUILD_DIR}" && pwd)
cache=${ZEV_SYSTEMD_CHECK_CACHE:-/var/cache/zev-systemd-check}
suite=bookworm
# What the root holds beside the minimal base; a change makes the root anew.
base_packages=systemd,systemd-sysv,dbus,procps
recipe="$suite minbase $base_packages v1"
settings='Software\Classes\CLSID\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}'
machine=zevcheck-$$
started=$(date +%s)

say() { echo "systemd_check: $*"; }
skip() {
  say "SKIPPED: $*"
  exit 0
}
fail() {
  say "FAILED: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || skip "needs root (systemd-nspawn and debootstrap)"
for tool in systemd-nspawn debootstrap nsenter cpack dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh installs it)"
done
if [ ! -x "$build/tools/strategy_server/zev-strategy-server" ] || [ ! -f "$build/demo/catalogue.json" ]; then
  fail "$build holds no strategy server or demo catalogue; build it first"
fi

work=$(mktemp -d /var/tmp/zev-systemd-check.XXXXXX)
nspawn_pid=
leader=

# Without systemd on this machine, systemd-nspawn runs in control groups of
# its own, made by hand (it makes "payload" and "supervisor" below them);
# under systemd, in a delegated scope. contained NAME COMMAND... runs the
# command so (it replaces the shell it is called in).
cgroup_hierarchies=(/sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup)
contained() {
  local name=$1 hierarchy
  shift
  if [ -d /run/systemd/system ]; then
    exec systemd-run --quiet --scope -p Delegate=yes --unit="$name" "$@"
  fi
  for hierarchy in "${cgroup_hierarchies[@]}"; do
    if [ -f "$hierarchy/cgroup.procs" ] && mkdir -p "$hierarchy/$name"; then
      echo "$BASHPID" >"$hierarchy/$name/cgroup.procs"
    fi
  done
  exec "$@"
}
# Removes what contained NAME made, deepest first, once it is empty.
remove_cgroups() {
  local hierarchy
  [ -d /run/systemd/system ] && return 0
  for hierarchy in "${cgroup_hierarchies[@]}"; do
    [ -d "$hierarchy/$1" ] && find "$hierarchy/$1" -depth -type d -exec rmdir {} + 2>/dev/null
  done
  return 0
}

cleanup() {
  local status=$?
  set +e
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # systemd-nspawn turns SIGTERM into a clean shutdown of the container.
    kill -TERM "$nspawn_pid"
    for _ in $(seq 150); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.2
    done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      say "the container did not stop within 30 s; killed"
      [ -n "$leader" ] && kill -KILL "$leader"
      kill -KILL "$nspawn_pid"
    fi
    wait "$nspawn_pid" 2>/dev/null
  fi
  remove_cgroups "$machine"
  remove_cgroups "$machine-root"
  rm -rf "/run/systemd/nspawn/propagate/$machine" "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap 'say "FAILED: line $LINENO: $BASH_COMMAND" >&2' ERR

# ---------------------------------------------------------------------------
# The package.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/zev-service_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no zev-service_*.deb"
deb=${debs[0]}
# The package's own, and what the reference strategy server run from the
# build folder needs beyond them (it serves HTTPS through Poco's NetSSL).
depends="$(dpkg-deb -f "$deb" Depends), libpoconetssl80, libpococrypto80"

# ---------------------------------------------------------------------------
# The cached root.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 900 9 || fail "another run has held $cache/lock for 15 minutes"
root=$cache/root

# The archive this machine's apt uses for the Debian suite itself (apt's
# own view once it has fetched its lists, else the sources files), or
# $ZEV_SYSTEMD_CHECK_MIRROR.
mirror() {
  local uri
  if [ -n "${ZEV_SYSTEMD_CHECK_MIRROR:-}" ]; then
    echo "$ZEV_SYSTEMD_CHECK_MIRROR"
    return
  fi
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk -v s="$suite" '$2 == s { print $1; exit }')
  if [ -z "$uri" ]; then
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
      awk -v s="$suite" '
        function done() { if (!found && deb && (" " suites " ") ~ (" " s " ") && uris != "") { split(uris, u, " "); print u[1]; found = 1; exit } }
        /^[ \t]*$/ { done(); deb = 0; suites = ""; uris = ""; next }
        /^Types:/ { deb = ($0 ~ /[ \t]deb([ \t]|$)/) }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
        END { done() }')
  fi
  if [ -z "$uri" ]; then
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed 's/\[[^]]*\]//' | awk -v s="$suite" '$1 == "deb" && $3 == s { print $2; exit }')
  fi
  echo "$uri"
}

# Says whether the package registry answers at all; a "no" makes the check
# a skip, not a failure.
registry_reachable() {
  local uri=$1
  timeout 60 /usr/lib/apt/apt-helper download-file "${uri%/}/dists/$suite/Release" "$work/Release" \
    >"$work/probe.log" 2>&1
}

root_is_good() {
  [ -f "$root/.zev-recipe" ] && [ "$(cat "$root/.zev-recipe")" = "$recipe" ] &&
    [ -x "$root/lib/systemd/systemd" ] && [ -x "$root/usr/bin/apt-get" ] &&
    timeout 60 chroot "$root" /bin/true 2>/dev/null &&
    [ -z "$(timeout 60 chroot "$root" dpkg --audit 2>&1)" ]
}

if ! root_is_good; then
  uri=$(mirror)
  [ -n "$uri" ] || skip "apt has no source for Debian $suite on this machine"
  registry_reachable "$uri" || skip "the Debian package registry cannot be reached: $(tail -n1 "$work/probe.log")"
  say "making the Debian $suite root in $root (debootstrap, once)"
  rm -rf "$root" "$root.new"
  if ! timeout 600 debootstrap --variant=minbase --include="$base_packages" "$suite" "$root.new" "$uri" \
    >"$work/debootstrap.log" 2>&1; then
    tail -n 20 "$work/debootstrap.log" >&2
    rm -rf "$root.new"
    if grep -Eqi 'couldn.t download|failed getting release|temporary failure|could not resolve|connection|timed out|unable to fetch' \
      "$work/debootstrap.log"; then
      skip "debootstrap could not fetch from the Debian package registry"
    fi
    fail "debootstrap failed"
  fi
  # The root asks the same archives as this machine.
  rm -f "$root.new/etc/apt/sources.list"
  cp /etc/apt/sources.list.d/*.sources "$root.new/etc/apt/sources.list.d/" 2>/dev/null || true
  [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$root.new/etc/apt/sources.list"
  echo "$recipe" >"$root.new/.zev-recipe"
  mv "$root.new" "$root"
fi

# What the package depends on goes into the cached root once (the container
# itself has no network), apt asking the registry only when something is
# missing.
in_root() {
  local status=0
  (contained "$machine-root" timeout "$1" systemd-nspawn -q -D "$root" --register=no --keep-unit --pipe \
    -E DEBIAN_FRONTEND=noninteractive "${@:2}") </dev/null || status=$?
  remove_cgroups "$machine-root"
  return "$status"
}
if [ ! -f "$root/.zev-depends" ] || [ "$(cat "$root/.zev-depends")" != "$depends" ]; then
  say "installing the package's dependencies into the cached root"
  if ! in_root 300 apt-get satisfy -y -q --no-install-recommends "$depends" >"$work/deps.log" 2>&1; then
    if ! in_root 300 apt-get update -q >>"$work/deps.log" 2>&1; then
      tail -n 20 "$work/deps.log" >&2
      skip "apt in the root could not fetch from the Debian package registry"
    fi
    if ! in_root 300 apt-get satisfy -y -q --no-install-recommends "$depends" >>"$work/deps.log" 2>&1; then
      tail -n 20 "$work/deps.log" >&2
      grep -Eqi 'failed to fetch|temporary failure|could not resolve|unable to fetch' "$work/deps.log" &&
        skip "apt in the root could not fetch from the Debian package registry"
      fail "the package's dependencies do not install in a Debian $suite root"
    fi
    in_root 120 apt-get clean >/dev/null 2>&1 || true
  fi
  echo "$depends" >"$root/.zev-depends"
fi

# ---------------------------------------------------------------------------
# The container: a copy of the cached root, booted.
say "copying the root ($(du -sh "$root" | cut -f1))"
cp -a --reflink=auto "$root" "$work/root"
flock -u 9
# (The container's /tmp is a file system of its own.)
cp "$deb" "$work/root/root/zev-service.deb"

(contained "$machine" systemd-nspawn -q -b -D "$work/root" -M "$machine" --private-network --register=no \
  --keep-unit --console=passive --bind-ro="$build") </dev/null >"$work/boot.log" 2>&1 &
nspawn_pid=$!

boot_failed() {
  sed 's/\x1b\[[0-9;]*m//g' "$work/boot.log" | tail -n 15 >&2
  skip "systemd-nspawn cannot boot a container here: $1"
}
for _ in $(seq 100); do
  kill -0 "$nspawn_pid" 2>/dev/null || boot_failed "systemd-nspawn ended"
  leader=$(pgrep -P "$nspawn_pid" -x systemd || true)
  [ -n "$leader" ] && break
  sleep 0.2
done
[ -n "$leader" ] || boot_failed "no systemd in the container within 20 s"

# A command inside the container, with its namespaces and a plain
# environment, ended after $1 seconds.
inside() {
  timeout "$1" nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "${@:2}"
}
# Booted when systemd says so; before its socket is there systemctl cannot ask.
state=
deadline=$(($(date +%s) + 60))
while [ "$(date +%s)" -lt "$deadline" ]; do
  state=$(inside 10 systemctl is-system-running 2>&1 || true)
  case "$state" in
    running | degraded) break ;;
  esac
  kill -0 "$nspawn_pid" 2>/dev/null || boot_failed "systemd-nspawn ended"
  sleep 0.2
done
case "$state" in
  running | degraded) ;;
  *) boot_failed "the container's systemd says \"$state\" after 60 s" ;;
esac
say "container booted (systemd as PID 1, $state) after $(($(date +%s) - started)) s"

show() { inside 10 systemctl show -p "$1" --value zevsvc.service; }
# Polls a command every 0.2 s until it succeeds or $1 seconds have passed.
wait_for() {
  local deadline=$(($(date +%s%N) / 1000000 + $1 * 1000))
  while ! "${@:2}" >/dev/null 2>&1; do
    [ $(($(date +%s%N) / 1000000)) -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
is_active() { [ "$(show ActiveState)" = active ]; }
is_failed() { [ "$(show ActiveState)" = failed ]; }
# Pids of processes inside the container whose command line matches $1, on
# one line.
pids_of() { inside 10 pgrep -f "$1" | sort -n | tr '\n' ' ' | sed 's/ $//' || true; }
journal() { inside 20 journalctl -u zevsvc.service --no-pager -q "$@"; }

# ---------------------------------------------------------------------------
say "apt-get install of the local package"
inside 300 apt-get install -y -q --no-install-recommends /root/zev-service.deb >"$work/install.log" 2>&1 ||
  { tail -n 30 "$work/install.log" >&2; fail "apt-get install failed"; }
[ "$(inside 10 systemctl is-enabled zevsvc.service)" = enabled ] || fail "the package does not enable zevsvc.service"
wait_for 10 is_active || fail "zevsvc.service is not active after the installation: $(show ActiveState)"

# The strategy server serves the demo catalogue on the container's loopback;
# the service asks it 30 s after its start.
inside 30 systemd-run -q --unit=zev-strategy-server -p Type=exec \
  "$build/tools/strategy_server/zev-strategy-server" --listen 127.0.0.1:61200 \
  --catalogue "$build/demo/catalogue.json" --events /tmp/events.jsonl ||
  fail "the strategy server does not start in the container"
wait_for 10 inside 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/61200' || fail "the strategy server does not listen"
zevctl_set() { inside 10 zevctl reg set HKLM "$settings$1" "$2" "$3" >/dev/null || fail "zevctl reg set $1 $2 failed"; }
zevctl_set '\Url' "" http://127.0.0.1:61200
zevctl_set '\First' "" 30
zevctl_set '\Interval' "" 120

say "stop, then start: active within 5 s"
inside 120 systemctl stop zevsvc.service || fail "systemctl stop failed"
t0=$(date +%s%N)
inside 30 systemctl start zevsvc.service || fail "systemctl start failed: $(journal -n 20)"
took=$((($(date +%s%N) - t0) / 1000000))
is_active || fail "not active after systemctl start returned"
[ "$took" -le 5000 ] || fail "systemctl start took $took ms (more than 5 s)"
say "  active after $took ms"
start_ms=$(($(date +%s%N) / 1000000))

status=$(show StatusText)
[[ "$status" =~ ^running\;\ port\ 6[0-9]{4}\;\ 0\ components\ in\ 0\ hosts$ ]] ||
  fail "unexpected STATUS text after the start: \"$status\""
say "  STATUS: $status"

say "the demo component runs in a host inside zevsvc.service's control group (up to 60 s)"
demo_running() { [ -n "$(pids_of 'demo\.sh$')" ]; }
wait_for 60 demo_running || fail "the demo component did not start within 60 s: $(inside 10 zevctl strategy 2>&1)"
demo=$(pids_of 'demo\.sh$')
[[ "$demo" =~ ^[0-9]+$ ]] || fail "more than one demo component runs: $demo"
host=$(inside 10 ps -o ppid= -p "$demo" | tr -d ' ')
[ "$(inside 10 ps -o comm= -p "$host")" = zevhost ] || fail "the demo component's parent $host is not zevhost"
main=$(show MainPID)
cgroup=$(show ControlGroup)
[ -n "$cgroup" ] || fail "zevsvc.service has no control group"
for pid in "$main" "$host" "$demo"; do
  inside 10 cat "/proc/$pid/cgroup" | grep -q ":$cgroup\$" ||
    fail "process $pid is not in $cgroup: $(inside 10 cat "/proc/$pid/cgroup" | tr '\n' ' ')"
done
say "  demo pid $demo in host $host, service $main, all in $cgroup (after $((($(date +%s%N) / 1000000 - start_ms) / 1000)) s)"

say "the journal files the demo component's events under fields of their own"
demo_event() { inside 10 journalctl --no-pager -q -o cat ZEV_COMPONENT=demo-clock ZEV_EVENT_CODE=5 | grep -q .; }
wait_for 10 demo_event ||
  fail "journalctl ZEV_COMPONENT=demo-clock shows no event 5: $(inside 10 journalctl --no-pager -q ZEV_COMPONENT=demo-clock 2>&1)"

counted() { [ "$(show StatusText)" = "${status/0 components in 0 hosts/1 component in 1 host}" ]; }
wait_for 10 counted || fail "the STATUS text does not count the demo component: \"$(show StatusText)\""
say "  STATUS: $(show StatusText)"

# SIGHUP to the main process alone: a process that did not handle it would
# end; the hosts are not signalled at all.
say "systemctl reload"
[[ "$(show ExecReload)" == *'argv[]=/bin/kill -HUP $MAINPID '* ]] ||
  fail "ExecReload does not send SIGHUP to the main process: $(show ExecReload)"
running_before="$(pids_of '/usr/lib/zev/zevhost') $demo"
inside 30 systemctl reload zevsvc.service || fail "systemctl reload failed"
sleep 1
is_active && [ "$(show MainPID)" = "$main" ] || fail "systemctl reload ended or replaced the main process"
[ "$(pids_of '/usr/lib/zev/zevhost') $(pids_of 'demo\.sh$')" = "$running_before" ] ||
  fail "systemctl reload changed the hosts: before $running_before, after $(pids_of '/usr/lib/zev/zevhost')"
say "systemctl kill -s HUP leaves the hosts alone"
hosts_before=$(pids_of '/usr/lib/zev/zevhost')
[ -n "$hosts_before" ] || fail "no zevhost runs"
inside 10 systemctl kill -s HUP zevsvc.service || fail "systemctl kill -s HUP failed"
# A host that dies of SIGHUP is gone at once; the monitor would start another.
sleep 2
hosts_after=$(pids_of '/usr/lib/zev/zevhost')
hup_ok=true
# Components get every signal's default disposition back when they start,
# so one that does not handle SIGHUP ends and its host starts it again; the
# host itself must stay.
if [ "$hosts_after" != "$hosts_before" ]; then
  hup_ok=false
  say "  FAILED: SIGHUP to the unit changed the hosts: before $hosts_before, after ${hosts_after:-none}" >&2
fi
if ! is_active || [ "$(show MainPID)" != "$main" ]; then
  fail "SIGHUP to the unit ended the service"
fi

say "kill -9 of the main process: restarted within 10 s, no host left from before"
old="$(pids_of '/usr/lib/zev/zevhost') $(pids_of 'demo\.sh$')"
inside 10 kill -KILL "$main"
restarted() {
  local now
  now=$(show MainPID)
  is_active && [ "$now" != 0 ] && [ "$now" != "$main" ] || return 1
  for pid in $old; do inside 5 test -d "/proc/$pid" && return 1; done
  return 0
}
t0=$(date +%s%N)
if ! wait_for 10 restarted; then
  left=
  for pid in $old; do inside 5 test -d "/proc/$pid" && left+=" $pid"; done
  fail "10 s after kill -9: $(show ActiveState)/$(show SubState), main $(show MainPID), left from before:${left:- none}"
fi
say "  restarted after $((($(date +%s%N) - t0) / 1000000)) ms, NRestarts=$(show NRestarts)"

# ---------------------------------------------------------------------------
# The hardening drop-in the package ships: linked in, the service and the
# demo component work as before.
exposure() {
  inside 60 systemd-analyze security --no-pager zevsvc.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for zevsvc\.service: \([0-9.]*\).*/\1/p'
}
# The demo component, started anew after $1 (pids of the demo before), and
# its host; sets demo and host.
demo_again() {
  local before=" $1 "
  again() {
    demo=$(pids_of 'demo\.sh$')
    [[ "$demo" =~ ^[0-9]+$ ]] && [[ "$before" != *" $demo "* ]]
  }
  wait_for 60 again || fail "the demo component did not start again within 60 s: $(inside 10 zevctl strategy 2>&1)"
  host=$(inside 10 ps -o ppid= -p "$demo" | tr -d ' ')
  [ "$(inside 10 ps -o comm= -p "$host")" = zevhost ] || fail "the demo component's parent $host is not zevhost"
}
answers() {
  inside 10 zevctl echo ping | grep -qx 'response: ping' && inside 10 zevctl echo ping --pipe | grep -qx 'response: ping'
}
say "the hardening drop-in: the service and the demo component work under it"
unhardened=$(exposure)
[ -n "$unhardened" ] || fail "systemd-analyze security gives no exposure level"
inside 10 test -f /usr/share/zev/hardening.conf || fail "the package does not ship /usr/share/zev/hardening.conf"
inside 10 mkdir -p /etc/systemd/system/zevsvc.service.d
inside 10 ln -s /usr/share/zev/hardening.conf /etc/systemd/system/zevsvc.service.d/
inside 30 systemctl daemon-reload
[[ "$(show DropInPaths)" == */etc/systemd/system/zevsvc.service.d/hardening.conf* ]] ||
  fail "systemd does not read the linked drop-in: $(show DropInPaths)"
hardened=$(exposure)
say "  systemd-analyze security exposure: $unhardened without the drop-in, $hardened with it"
awk -v a="$hardened" -v b="$unhardened" 'BEGIN { exit !(a < b) }' ||
  fail "the drop-in does not lower the exposure ($unhardened to $hardened)"
demo_before=$(pids_of 'demo\.sh$')
inside 120 systemctl restart zevsvc.service || fail "systemctl restart under the drop-in failed: $(journal -n 20)"
is_active || fail "not active under the drop-in: $(show ActiveState)"
for setting in ProtectKernelTunables=yes ProtectControlGroups=yes PrivateTmp=yes UMask=0027 RestrictNamespaces=yes; do
  [ "$(show "${setting%%=*}")" = "${setting#*=}" ] || fail "under the drop-in $setting is $(show "${setting%%=*}")"
done
[[ "$(show CapabilityBoundingSet)" != *cap_sys_module* && "$(show CapabilityBoundingSet)" == *cap_setuid* ]] ||
  fail "the capability bounding set under the drop-in: $(show CapabilityBoundingSet)"
main=$(show MainPID)
demo_again "$demo_before"
wait_for 10 answers || fail "under the drop-in the service does not answer zevctl echo (HTTP and socket)"
# The components run under the same bounds: no CAP_SYS_MODULE (bit 16).
capbnd=$(inside 10 sed -n 's/^CapBnd:\t//p' "/proc/$demo/status")
[ -n "$capbnd" ] && [ $(((16#$capbnd >> 16) & 1)) = 0 ] || fail "the demo component's bounding set is $capbnd"
say "  demo pid $demo in host $host; the service answers over HTTP and its socket"

# ---------------------------------------------------------------------------
# Limits per host: the demo application's MemoryMax puts its host in a
# scope of its own; the demo over that limit is killed alone.
say "limits per host: MemoryMax of the demo application (with the drop-in)"
apps='Software\Varnel\ZEV\Applications'
inside 10 zevctl reg set HKLM "$apps\\demo\\MemoryMax" '' 64M >/dev/null || fail "zevctl reg set MemoryMax failed"
inside 10 zevctl reg set HKLM "$apps\\demo\\CPUQuota" '' 50% >/dev/null || fail "zevctl reg set CPUQuota failed"
demo_before=$(pids_of 'demo\.sh$')
inside 120 systemctl restart zevsvc.service || fail "systemctl restart with limits failed: $(journal -n 20)"
main=$(show MainPID)
demo_again "$demo_before"
host_cgroup=$(inside 10 cat "/proc/$host/cgroup" | sed -n 's/^0:://p')
scope=${host_cgroup##*/}
[[ "$scope" =~ ^zevhost-demo-$host\.scope$ ]] || fail "the demo's host is in $host_cgroup, not in a scope of its own"
inside 10 cat "/proc/$demo/cgroup" | grep -q ":$host_cgroup\$" || fail "the demo component is not in $scope"
scope_show() { inside 10 systemctl show -p "$1" --value "$scope"; }
[ "$(scope_show Slice)" = "$(show Slice)" ] ||
  fail "$scope is in $(scope_show Slice), not in the service's slice $(show Slice)"
[ "$(scope_show MemoryMax)" = 67108864 ] || fail "$scope has MemoryMax $(scope_show MemoryMax), not 64M"
[ "$(scope_show CPUQuotaPerSecUSec)" = 500ms ] || fail "$scope has CPUQuota $(scope_show CPUQuotaPerSecUSec), not 50%"
[ "$(scope_show Delegate)" = no ] || fail "$scope is delegated"
say "  host $host in $host_cgroup: MemoryMax $(scope_show MemoryMax), CPUQuotaPerSecUSec $(scope_show CPUQuotaPerSecUSec)"
if [ "$(inside 10 stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
  memory_events=/sys/fs/cgroup$host_cgroup/memory.events
  [ "$(inside 10 cat "/sys/fs/cgroup$host_cgroup/memory.max")" = 67108864 ] ||
    fail "the kernel does not hold the limit: memory.max $(inside 10 cat "/sys/fs/cgroup$host_cgroup/memory.max")"
  # The demo takes a gigabyte while the file is there.
  demo_dir=$(inside 10 readlink "/proc/$demo/cwd")
  inside 10 touch "$demo_dir/allocate"
  oom_killed() { inside 5 grep -qx 'oom_kill [1-9][0-9]*' "$memory_events"; }
  wait_for 30 oom_killed || fail "no OOM kill in $scope within 30 s: $(inside 10 cat "$memory_events" | tr '\n' ' ')"
  inside 10 rm -f "$demo_dir/allocate"
  demo_gone() { ! inside 5 test -d "/proc/$demo"; }
  wait_for 10 demo_gone || fail "the demo component $demo still runs after the OOM kill"
  is_active && [ "$(show MainPID)" = "$main" ] || fail "the OOM kill in $scope ended or replaced the service"
  inside 5 test -d "/proc/$host" || say "  (the host $host ended with its component; the monitor starts it again)"
  sleep 2
  is_active && [ "$(show MainPID)" = "$main" ] || fail "the service did not go on after the OOM kill"
  wait_for 10 answers || fail "after the OOM kill the service does not answer zevctl echo"
  say "  the demo component over 64M was OOM-killed ($(inside 10 grep oom_kill "$memory_events" | tr '\n' ' ')); the service goes on"
else
  say "  SKIPPED the OOM kill: the container's memory controller is not cgroup v2 ($(inside 10 stat -fc %T /sys/fs/cgroup))"
fi
# Outside the service's control group a host is not killed with it: the
# restarted service ends the hosts left from before.
say "  kill -9 of the main process: no scoped host left from before"
old="$(pids_of '/usr/lib/zev/zevhost') $(pids_of 'demo\.sh$')"
main=$(show MainPID)
inside 10 kill -KILL "$main"
wait_for 15 restarted || fail "15 s after kill -9: $(show ActiveState), main $(show MainPID), from before: $old"
inside 10 zevctl reg delete HKLM "$apps\\demo" >/dev/null || fail "zevctl reg delete of the demo's settings failed"

say "systemctl stop leaves no process"
inside 120 systemctl stop zevsvc.service || fail "systemctl stop failed"
left=$(pids_of '/usr/lib/zev/|demo\.sh$')
[ -z "$left" ] || fail "processes left after stop: $(inside 10 ps -o pid,args -p "${left// /,}")"
[ "$(show ActiveState)" = inactive ] || fail "after stop the unit is $(show ActiveState)"

say "a start that cannot succeed exits 78 and is not restarted"
since=$(inside 5 date '+%Y-%m-%d %H:%M:%S')
permanent_failure() {
  local what=$1
  inside 30 systemctl start zevsvc.service >/dev/null 2>&1 && fail "the service started with $what"
  wait_for 10 is_failed || true
  local result
  result="$(show ActiveState)/$(show SubState) status $(show ExecMainStatus) restarts $(show NRestarts)"
  [ "$result" = "failed/failed status 78 restarts 0" ] || fail "with $what: $result (expected failed, 78, no restart)"
  say "  $what: $result"
}
inside 10 mv /var/lib/zev /var/lib/zev.kept
inside 10 touch /var/lib/zev
permanent_failure "a file in place of /var/lib/zev"
# RestartSec is 5 s: a restart would have come by now.
sleep 7
[ "$(show NRestarts)/$(show ActiveState)" = 0/failed ] ||
  fail "the unit restarted after exit 78: NRestarts $(show NRestarts), $(show ActiveState)"
inside 10 rm /var/lib/zev
inside 10 mv /var/lib/zev.kept /var/lib/zev
inside 10 systemctl reset-failed zevsvc.service
inside 10 chown nobody /var/lib/zev
permanent_failure "/var/lib/zev owned by another user"
inside 10 chown root /var/lib/zev
inside 10 systemctl reset-failed zevsvc.service

say "journal: the reason at priority err, lines keep their priorities"
errors=$(journal -p err --since "$since" -o cat)
grep -q 'ZEVService cannot start' <<<"$errors" ||
  fail "journalctl -p err does not show \"ZEVService cannot start\": $errors"
grep -o 'ZEVService cannot start.*' <<<"$errors" | sort -u | sed 's/^/systemd_check:   /'
# The priority prefix is read by journald, not left in the text; the
# service's own lines are not all errors.
prefixed=$(journal -o cat _COMM=zevsvc | grep -E '^<[0-7]>' || true)
[ -z "$prefixed" ] || fail "journal lines keep a priority prefix: $(head -n3 <<<"$prefixed")"
priorities=$(journal -o export _COMM=zevsvc | sed -n 's/^PRIORITY=//p' | sort -u | tr '\n' ' ')
[[ "$priorities" == *3* && "$priorities" =~ [4-7] ]] ||
  fail "the service's journal lines do not carry their priorities: $priorities"
say "  priorities of the service's lines: $priorities"

# The administrator's link goes as it came; purge leaves what others made.
inside 10 rm -r /etc/systemd/system/zevsvc.service.d
inside 30 systemctl daemon-reload

say "apt-get remove stops the service, and it does not come back"
inside 120 systemctl start zevsvc.service || fail "the service does not start again: $(journal -n 20)"
inside 300 apt-get remove -y -q zev-service >"$work/remove.log" 2>&1 ||
  { tail -n 30 "$work/remove.log" >&2; fail "apt-get remove failed"; }
gone() { [ -z "$(pids_of '/usr/lib/zev/|demo\.sh$')" ]; }
wait_for 10 gone || fail "processes left after apt-get remove"
sleep 7
gone || fail "the service came back after apt-get remove"
inside 30 systemctl start zevsvc.service >/dev/null 2>&1 && fail "zevsvc.service starts after apt-get remove"
[ -d "$work/root/var/lib/zev" ] || fail "apt-get remove deleted the data folder"

say "apt-get purge leaves nothing"
ours() {
  cd "$work/root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run \) -prune -o \
    \( -iname '*zev*' ! -path ./root/zev-service.deb ! -path ./.zev-recipe ! -path ./.zev-depends \) -print
}
# (The search sees what the package left after remove.)
[ -n "$(ours)" ] || fail "the search for what purge leaves finds nothing before the purge"
inside 300 apt-get purge -y -q zev-service >"$work/purge.log" 2>&1 ||
  { tail -n 30 "$work/purge.log" >&2; fail "apt-get purge failed"; }
inside 30 systemctl daemon-reload
known=$(inside 10 dpkg-query -W -f='${db:Status-Status}' zev-service 2>/dev/null || true)
[ -z "$known" ] || [ "$known" = not-installed ] || fail "dpkg still has zev-service as $known after purge"
left=$(ours)
[ -z "$left" ] || fail "left after purge: $left"
units=$(inside 10 systemctl list-units --all --no-legend 'zevsvc*')
[ -z "$units" ] || fail "systemd still knows after purge: $units"

if [ "$hup_ok" != true ]; then
  fail "systemctl kill -s HUP zevsvc ended or replaced hosts (see above)"
fi
say "all checks passed in $(($(date +%s) - started)) s"
