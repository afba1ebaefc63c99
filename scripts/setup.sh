#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, as root) and builds into build/.
# Usage: scripts/setup.sh [--sanitize]   (--sanitize builds into build-sanitize/ with ASan and UBSan)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev qt6-base-dev qt6-charts-dev libqt6opengl6-dev
          iproute2 libcap2-bin socat hping3 python3-scapy xvfb xauth imagemagick
          fonts-dejavu-core util-linux libcli11-dev nlohmann-json3-dev nftables xdotool
          prometheus-cpp-dev libcivetweb-dev prometheus curl
          man-db systemd debootstrap debian-archive-keyring
          file procps iputils-ping)
# Beyond the build: the tests drive iproute2, nftables, socat, hping3, scapy, setpriv, sysctl
# (procps), Xvfb and xdotool; the package tests need cpack's `file`, man-db, systemd-analyze and
# debootstrap; bench_round_trip sets the client beside ping (iputils-ping). A Debian 12 minbase
# root has none of these, so each is named here.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run as root or install them first" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=build
options=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options+=(-DCHECKER_SANITIZE=ON)
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "setup: built into $build/"
