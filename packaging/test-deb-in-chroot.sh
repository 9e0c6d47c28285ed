#!/usr/bin/env bash
# Builds the Debian package, makes a clean Debian 12 root with debootstrap, installs the package
# in it with apt (which fetches the dependencies the package names, and nothing else), then runs
# `kdr31-cli --version` (`kdr31 --version` when the package has no command-line tool) and the
# window under a virtual X server for a few seconds. Runs as root: debootstrap, chroot, mounts.
#
#   packaging/test-deb-in-chroot.sh [directory for the root]
#
# The root is made afresh in a new directory under /var/tmp unless one is given, and removed at
# the end unless KEEP_ROOT=1. The package is built in build-deb/ (or $BUILD_DIR).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build-deb}
[ "$(id -u)" -eq 0 ] || { echo "run as root: debootstrap and chroot need it" >&2; exit 2; }

export DEBIAN_FRONTEND=noninteractive
for tool in debootstrap dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap dpkg-dev; }
done

step() { printf '\n== %s\n' "$*"; }

step "Building the package"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DKDR31_BENCHMARKS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/kdr31_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/kdr31_*.deb)
echo "$deb"
dpkg-deb -f "$deb" Package Version Depends

# The Debian mirror that apt on this machine already uses.
mirror=$({ grep -hsvE '^\s*#' /etc/apt/sources.list /etc/apt/sources.list.d/* || true; } |
           grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ' || true)
mirror=${mirror:-http://deb.debian.org/debian}

target=${1:-$(mktemp -d /var/tmp/kdr31-bookworm.XXXXXX)}
cleanup() {
  for m in dev/pts dev proc; do
    mountpoint -q "$target/$m" && umount -l "$target/$m"
  done
  [ "${KEEP_ROOT:-0}" = 1 ] || rm -rf --one-file-system "$target"
}
trap cleanup EXIT

step "Making a clean Debian 12 root in $target from $mirror"
debootstrap --variant=minbase bookworm "$target" "$mirror" >"$target.debootstrap.log" 2>&1 ||
  { tail -20 "$target.debootstrap.log"; exit 1; }
rm -f "$target.debootstrap.log"
echo "debootstrap: $(chroot "$target" cat /etc/debian_version)"
cp /etc/resolv.conf "$target/etc/resolv.conf"
mount -t proc proc "$target/proc"
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"

step "Installing the package with apt"
cp "$deb" "$target/tmp/"
in_root() { chroot "$target" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
in_root apt-get -o APT::Sandbox::User=root update -qq
# xvfb, xauth and x11-utils are for this test only: a screen and a look at its windows.
in_root apt-get -o APT::Sandbox::User=root install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" \
  xvfb xauth x11-utils >"$target/tmp/apt.log" 2>&1 || { tail -30 "$target/tmp/apt.log"; exit 1; }
grep -E '^(Setting up|Unpacking) kdr31' "$target/tmp/apt.log" || true
echo "packages in the root: $(in_root dpkg-query -W | wc -l)"
in_root dpkg -L kdr31 | grep -E '^/usr/(bin|share/(applications|metainfo|man))/.'

step "Running the programs"
if in_root sh -c 'command -v kdr31-cli' >/dev/null; then
  in_root kdr31-cli --version
else
  echo "(no kdr31-cli in this package)"
  in_root kdr31 --version
fi
in_root kdr31-sim --help 2>&1 | head -n 3 || true

# The window: started under Xvfb, it must still run after 5 s with its window on the screen.
in_root xvfb-run -a sh -c '
  kdr31 2>/tmp/kdr31.stderr & pid=$!
  sleep 5
  windows=$(xwininfo -root -tree | grep "(\"kdr31\" \"kdr31\")" | sed "s/^ *//" || true)
  if kill -0 $pid 2>/dev/null; then
    echo "kdr31 still running after 5 s; its window: ${windows:-none found}"
    kill $pid; wait $pid 2>/dev/null || true
    status=0
  else
    wait $pid; echo "kdr31 ended early with status $?"; status=1
  fi
  [ -n "$windows" ] || status=1
  if [ -s /tmp/kdr31.stderr ]; then echo "kdr31 said on stderr:"; sed "s/^/  /" /tmp/kdr31.stderr; fi
  exit $status'
step "OK: the package installs and runs in a clean Debian 12 root"
