#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages that are already present are left alone, and apt is not
# touched at all when nothing is missing. Run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git python3 openssl
  clang libclang-rt-14-dev
  libprotobuf-dev protobuf-compiler
  libjsoncpp-dev
  libpoco-dev
  libcurl4-openssl-dev
  libuv1-dev
  libssl-dev
  zlib1g-dev
  libarchive-dev
  libsqlite3-dev sqlite3
  libsystemd-dev systemd
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  p7zip-full
  libspdlog-dev wrk
  # header-only; nothing but the xson benchmark uses it, as the parse speed to compare with
  rapidjson-dev
  # the metrics check parses with the Prometheus client's own parser
  python3-prometheus-client
  # the package's checks: lintian, and a Debian root booted under systemd
  lintian systemd-container debootstrap procps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
