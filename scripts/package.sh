#!/usr/bin/env bash
# Builds the Debian packages, for this PC or, with Debian's cross tool chains, for a Raspberry Pi:
#
#   scripts/package.sh [amd64|arm64|armhf]      (default: this machine's architecture)
#
# amd64 gives kdr31-cli and kdr31 (the window); arm64 and armhf give kdr31-cli only, built with
# Qt Core and Qt SerialPort alone: a Pi beside the meter has no screen, and the window's Qt
# Widgets, Charts, X and GL libraries would be a desktop's worth of packages for nothing. (The
# window itself would cross-build the same way with the :arm64 Qt Charts, if it were wanted.)
# arm64 is for 64-bit Raspberry Pi OS (Pi 3, 4, 5, Zero 2 W); armhf is Debian's armhf, ARMv7
# with VFPv3-D16, for 32-bit Raspberry Pi OS on a Pi 2 or later, not for ARMv6 (Pi 1, Zero W).
#
# Installs what it needs with apt (for ARM: dpkg --add-architecture, crossbuild-essential-<arch>
# and the <arch> dev packages beside the PC's own), builds in build-package/<arch>/ and writes the
# .deb files to build-package/ (or $PACKAGE_DIR/...). Runs as root or with sudo for apt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-$(dpkg --print-architecture)}
out=${PACKAGE_DIR:-$root/build-package}
build=$out/$arch
native=$(dpkg --print-architecture)

case "$arch" in
  arm64) toolchain=$root/cmake/toolchain-aarch64-linux-gnu.cmake ;;
  armhf) toolchain=$root/cmake/toolchain-arm-linux-gnueabihf.cmake ;;
  "$native") toolchain= ;;
  *) echo "usage: scripts/package.sh [$native|arm64|armhf]" >&2; exit 2 ;;
esac

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
apt_install() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}"
}

# cpack needs file and dpkg-shlibdeps (dpkg-dev) to compute the dependencies.
"$root/scripts/install-deps.sh" --build-only
apt_install file dpkg-dev
options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKDR31_BENCHMARKS=OFF)
if [ -n "$toolchain" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
    $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  fi
  # What kdr31-cli links, for the Pi; the PC's qt6-base-dev (above) gives moc.
  apt_install "crossbuild-essential-$arch" qemu-user-static "qt6-base-dev:$arch" \
    "qt6-serialport-dev:$arch" "libcurl4-openssl-dev:$arch" "libsqlite3-dev:$arch" \
    "libmosquitto-dev:$arch" "libmicrohttpd-dev:$arch"
  options+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKDR31_WINDOW=OFF)
fi

BUILD_DIR=$build "$root/scripts/build.sh" "${options[@]}"
rm -f "$out"/*_"$arch".deb "$build"/*.deb
# dpkg-shlibdeps looks up the libraries of the architecture it is told is the host's.
(cd "$build" && DEB_HOST_ARCH=$arch cpack -G DEB >/dev/null)
mkdir -p "$out"
mv "$build"/*.deb "$out"/
for deb in "$out"/*_"$arch".deb; do
  echo "$deb"
  dpkg-deb -f "$deb" Package Architecture Installed-Size Depends | sed 's/^/  /'
done
