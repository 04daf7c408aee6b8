#!/usr/bin/env bash
# Builds the Debian package from a build folder with CPack, in a temporary
# folder, and checks it: lintian (no error, no warning), the exact file list,
# the maintainer scripts, the unit, the runpaths, that the packaged programs
# find their libraries, and what the maintainer scripts do to a root of their
# own.
#
#   packaging/check_deb.sh BUILD_DIR
#
# Nothing is installed on this machine. The maintainer scripts run with
# DPKG_ROOT set to a temporary root, the way dpkg runs them for another root:
# deb-systemd-helper then keeps its links and records inside that root, and
# the scripts leave the running system's systemd alone (systemd cannot run as
# PID 1 here, so starting and stopping the service is not exercised).
set -euo pipefail

build=$(cd "${1:?usage: check_deb.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zev-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH

fail() {
  echo "check_deb: $*" >&2
  exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/zev-service_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one zev-service_*.deb in $(ls "$work/out")"
deb=${debs[0]}

# Files and symbolic links, without the folders.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/contents"
sort >"$work/expected" <<'EOF'
./lib/systemd/system/zevsvc.service
./usr/bin/zevctl
./usr/share/doc/zev-service/changelog.gz
./usr/share/doc/zev-service/copyright
./usr/share/man/man1/zevctl.1.gz
./usr/share/man/man8/zevsvc.8.gz
./usr/share/zev/hardening.conf
./usr/lib/zev/libhwid.so
./usr/lib/zev/libzevrpc.so
./usr/lib/zev/libzevxson.so.2
./usr/lib/zev/libzevxson.so.2.0.0
./usr/lib/zev/zevdownloader
./usr/lib/zev/zevhost
./usr/lib/zev/zevsvc
EOF
diff -u "$work/expected" "$work/contents" >&2 || fail "unexpected package contents (- expected, + packaged)"

# Debian's own judgement of the package: any error or warning fails.
if command -v lintian >/dev/null; then
  # (It warns on standard error that it runs as root.)
  lintian --fail-on error,warning --display-level '>=info' "$deb" >"$work/lintian.log" 2>"$work/lintian.err" ||
    { cat "$work/lintian.log" "$work/lintian.err" >&2; fail "lintian finds errors or warnings"; }
  [ ! -s "$work/lintian.log" ] || sed 's/^/check_deb: lintian: /' "$work/lintian.log"
else
  echo "check_deb: lintian is not installed (scripts/setup.sh installs it); not run"
fi

dpkg-deb -I "$deb" >"$work/info"
for field in "Package: zev-service" "Architecture: $(dpkg --print-architecture)"; do
  grep -qx " $field" "$work/info" || fail "control lacks \"$field\""
done
grep -Eq '^ Version: [0-9]+(\.[0-9]+)+$' "$work/info" || fail "control lacks a version"
grep -Eq '^ Maintainer: .+' "$work/info" || fail "control lacks a maintainer"
grep -Eq '^ Depends: .*libc6' "$work/info" || fail "control lacks the library dependencies"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script +#!/bin/sh" "$work/info" ||
    fail "$script is not an executable /bin/sh script in the control part"
  sh -n "$work/control/$script" || fail "$script does not parse"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/zevsvc.service
grep -qx 'ExecStart="/usr/lib/zev/zevsvc"' "$unit" || fail "the unit does not run /usr/lib/zev/zevsvc"
grep -qx 'Type=notify' "$unit" || fail "the unit is not Type=notify"
grep -qx 'Documentation=man:zevsvc(8)' "$unit" || fail "the unit does not name its manual page"

# Runpaths are relative to the program, never into the build tree.
for file in "$root"/usr/lib/zev/* "$root"/usr/bin/zevctl; do
  [ -L "$file" ] && continue
  paths=$(readelf -d "$file" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  case "$paths" in
    *"$build"*) fail "$file has a runpath into the build folder: $paths" ;;
  esac
  IFS=: read -ra entries <<<"$paths"
  for entry in "${entries[@]}"; do
    case "$entry" in
      '$ORIGIN' | '$ORIGIN/'*) ;;
      *) fail "$file has a runpath that is not relative to it: $entry" ;;
    esac
  done
  libraries=$(ldd "$file")
  case "$libraries" in
    *'not found'*) fail "$file misses a library: $libraries" ;;
  esac
  xson=$(sed -n 's/^\s*libzevxson\.so\.2 => \(.*\) (0x[0-9a-f]*)$/\1/p' <<<"$libraries")
  if [ -n "$xson" ] && [ "$(realpath "$xson")" != "$(realpath "$root/usr/lib/zev/libzevxson.so.2.0.0")" ]; then
    fail "$file loads libzevxson.so.2 from $xson, not from the package"
  fi
done

# zevctl loads no library by name from its own folder, nor any from
# /usr/lib/zev. It runs from the package tree, on a data folder of its own.
data=$work/data
mkdir "$data"
ZEV_COMMON_APPDATA=$data "$root/usr/bin/zevctl" reg set HKLM 'SOFTWARE\Varnel\ZEV' Url http://127.0.0.1:1/ ||
  fail "the packaged zevctl cannot set a value"
[ "$(ZEV_COMMON_APPDATA=$data "$root/usr/bin/zevctl" reg get HKLM 'SOFTWARE\Varnel\ZEV' Url)" = \
  "http://127.0.0.1:1/" ] || fail "the packaged zevctl does not read back the value"

# The maintainer scripts, on the extracted tree. dpkg runs them as root
# (postinst gives /var/lib/zev to root).
if [ "$(id -u)" -ne 0 ]; then
  echo "check_deb: $(basename "$deb") is good; maintainer scripts not run (not root)"
  exit 0
fi
export DPKG_ROOT=$root
wants=$root/etc/systemd/system/multi-user.target.wants/zevsvc.service
mask=$root/etc/systemd/system/zevsvc.service
# What dpkg puts in a maintainer script's environment.
run() {
  DPKG_MAINTSCRIPT_PACKAGE=zev-service DPKG_MAINTSCRIPT_NAME=$1 \
    sh "$work/control/$1" "${@:2}" || fail "$* failed"
}

run postinst configure
[ -L "$wants" ] || fail "a first installation does not enable the unit"
link_target=$(readlink "$wants")
[ -d "$root/var/lib/zev" ] || fail "postinst does not create /var/lib/zev"
[ "$(stat -c %a "$root/var/lib/zev")" = 755 ] || fail "/var/lib/zev is not mode 0755"
touch "$root/var/lib/zev/registry.db"

# An administrator disables the unit; an upgrade keeps it disabled.
rm "$wants"
run prerm upgrade 2.0.1.0
run postinst configure 2.0.1.0
[ ! -L "$wants" ] || fail "an upgrade enables a unit the administrator disabled"
[ -f "$root/var/lib/zev/registry.db" ] || fail "an upgrade loses the data folder"

# Enabled again, then removed: dpkg deletes the unit file between prerm
# and postrm; the links stay and the mask keeps the unit from starting.
ln -s "$link_target" "$wants"
run postinst configure 2.0.1.0
[ -L "$wants" ] || fail "the enablement link is gone"
run prerm remove
rm "$unit"
run postrm remove
[ "$(readlink "$mask")" = /dev/null ] || fail "postrm remove does not mask the unit"
[ -d "$root/var/lib/zev" ] || fail "postrm remove deletes the data folder"

run postrm purge
[ ! -L "$mask" ] || fail "postrm purge leaves the mask"
[ ! -L "$wants" ] || fail "postrm purge leaves the enablement link"
[ ! -e "$root/var/lib/zev" ] || fail "postrm purge leaves /var/lib/zev"
[ -z "$(find "$root/var/lib/systemd" -name '*zevsvc*' 2>/dev/null)" ] ||
  fail "postrm purge leaves deb-systemd-helper records"

echo "check_deb: $(basename "$deb") is good"
