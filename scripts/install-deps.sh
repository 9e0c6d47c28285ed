#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the tool need.
#   scripts/install-deps.sh               everything: build, tests, benchmarks, fuzzing
#   scripts/install-deps.sh --build-only  what building and running the tool and the simulator
#                                         need (the demo), so a first run is quick
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

build_packages=(
  build-essential cmake pkg-config ninja-build ccache
  # cpack -G DEB: the file utility, besides dpkg-shlibdeps of build-essential's dpkg-dev
  file
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libcurl4-openssl-dev
  # readings history and its charts
  libsqlite3-dev qt6-charts-dev libqt6opengl6-dev  # Qt Charts needs the OpenGL dev files but does not depend on them
  # MQTT client library
  libmosquitto-dev
  # the poller's HTTP server, and Chart.js for its page (compiled in)
  libmicrohttpd-dev libjs-chart.js
  # a virtual X server when there is no display, and the fonts the window is laid out for
  xvfb xauth fonts-dejavu-core
)
test_packages=(
  # tests: queuing mouse input like the window system (Qt's window-system interface)
  qt6-base-private-dev
  # tests: a real FTP server, independent HEX and CRC tools for cross-checks
  python3 python3-pyftpdlib srecord libboost-dev
  # MQTT: a broker with its tools for the tests
  mosquitto mosquitto-clients
  # MQTT over TLS: a throwaway CA and server certificate made by the tests
  openssl
  # times in a zone that is not UTC (TZ=Europe/Brussels)
  tzdata
  # HTTP: a real Prometheus (and promtool), a headless browser and its driver
  prometheus chromium chromium-driver python3-selenium
  # HTTPS through a reverse proxy in front of the poller
  nginx-light
  # benchmarks, fuzzing
  libbenchmark-dev clang libclang-rt-dev
  # checks of the desktop entry and the metainfo
  desktop-file-utils appstream
  # the service unit's hardening (systemd-analyze); the port tests' sandbox (unshare, setpriv)
  systemd util-linux
)

packages=("${build_packages[@]}")
[ "${1:-}" = "--build-only" ] || packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
