#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the tool need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build ccache
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libcurl4-openssl-dev
  # tests: queuing mouse input like the window system (Qt's window-system interface)
  qt6-base-private-dev
  # readings history and its charts
  libsqlite3-dev qt6-charts-dev libqt6opengl6-dev  # Qt Charts needs the OpenGL dev files but does not depend on them
  # tests: a real FTP server, independent HEX and CRC tools for cross-checks
  python3 python3-pyftpdlib srecord libboost-dev
  # MQTT: the client library, and a broker with its tools for the tests
  libmosquitto-dev mosquitto mosquitto-clients
  # benchmarks, fuzzing, screenshots
  libbenchmark-dev clang libclang-rt-dev xvfb xauth fonts-dejavu-core
)

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
