#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh), makes a clean Debian 12 root with debootstrap,
# and installs them in it with apt, which fetches the dependencies they name and nothing else:
#
#   1. kdr31-cli alone, with --no-install-recommends: none of the window's libraries may come
#      with it (libqt6gui6, libqt6widgets6, libx11-6, libgl1); then kdr31-cli --version and a
#      poll of kdr31-sim, both inside the root;
#   2. on this machine's own architecture, kdr31 (the window) on top, run under a virtual X
#      server for a few seconds.
#
#   packaging/test-deb-in-chroot.sh [directory for the root]
#   ARCH=arm64 packaging/test-deb-in-chroot.sh     the arm64 package in an arm64 root, run under
#                                                  qemu-user-static (binfmt_misc; step 1 only)
#
# Runs as root: debootstrap, chroot, mounts. The root is made afresh in a new directory under
# /var/tmp unless one is given, and removed at the end unless KEEP_ROOT=1.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
native=$(dpkg --print-architecture)
arch=${ARCH:-$native}
[ "$(id -u)" -eq 0 ] || { echo "run as root: debootstrap and chroot need it" >&2; exit 2; }

export DEBIAN_FRONTEND=noninteractive
need=(debootstrap)
[ "$arch" = "$native" ] || need+=(qemu-user-static)
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { apt-get -o DPkg::Lock::Timeout=900 update -qq &&
      apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need[@]}"; }
done

step() { printf '\n== %s\n' "$*"; }

step "Building the packages for $arch"
out=${PACKAGE_DIR:-$src/build-package}
PACKAGE_DIR=$out "$src/scripts/package.sh" "$arch" | grep -v '^\[' || true
cli_deb=$out/kdr31-cli_$(dpkg-deb -f "$(ls "$out"/kdr31-cli_*_"$arch".deb)" Version)_$arch.deb
window_deb=$(ls "$out"/kdr31_*_"$arch".deb 2>/dev/null || true)

# The Debian mirror that apt on this machine already uses.
mirror=$({ grep -hsvE '^\s*#' /etc/apt/sources.list /etc/apt/sources.list.d/* || true; } |
           grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ' || true)
mirror=${mirror:-http://deb.debian.org/debian}

target=${1:-$(mktemp -d /var/tmp/kdr31-bookworm-$arch.XXXXXX)}
binfmt=/proc/sys/fs/binfmt_misc
registered=""
mounted_binfmt=""
cleanup() {
  for m in dev/pts dev proc; do
    mountpoint -q "$target/$m" && umount -l "$target/$m"
  done
  [ -n "$registered" ] && echo -1 >"$binfmt/$registered"
  [ -n "$mounted_binfmt" ] && umount "$binfmt"
  [ "${KEEP_ROOT:-0}" = 1 ] || rm -rf --one-file-system "$target"
}
trap cleanup EXIT

step "Making a clean Debian 12 $arch root in $target from $mirror"
if [ "$arch" = "$native" ]; then
  debootstrap --variant=minbase bookworm "$target" "$mirror" >"$target.debootstrap.log" 2>&1 ||
    { tail -20 "$target.debootstrap.log"; exit 1; }
else
  # The root's programs run under qemu-user-static through binfmt_misc, registered here for the
  # root's architecture only when the machine has not done so, and removed again at the end.
  qemu=$(case "$arch" in arm64) echo aarch64 ;; armhf) echo arm ;; *) echo "$arch" ;; esac)
  mountpoint -q "$binfmt" || { mount -t binfmt_misc binfmt_misc "$binfmt"; mounted_binfmt=1; }
  if [ ! -e "$binfmt/qemu-$qemu" ]; then
    # Its F flag opens the interpreter now, so it need not exist inside the root.
    cat "/usr/lib/binfmt.d/qemu-$qemu.conf" >"$binfmt/register"
    registered=qemu-$qemu
  fi
  debootstrap --variant=minbase --arch="$arch" --foreign bookworm "$target" "$mirror" \
    >"$target.debootstrap.log" 2>&1 || { tail -20 "$target.debootstrap.log"; exit 1; }
  chroot "$target" /debootstrap/debootstrap --second-stage >>"$target.debootstrap.log" 2>&1 ||
    { tail -20 "$target.debootstrap.log"; exit 1; }
fi
rm -f "$target.debootstrap.log"
echo "debootstrap: Debian $(chroot "$target" cat /etc/debian_version), $(chroot "$target" dpkg --print-architecture)"
cp /etc/resolv.conf "$target/etc/resolv.conf"
mount -t proc proc "$target/proc"
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"

in_root() { chroot "$target" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"; }
apt_in_root() {
  in_root apt-get -o APT::Sandbox::User=root install -y -qq --no-install-recommends "$@" \
    >"$target/tmp/apt.log" 2>&1 || { tail -30 "$target/tmp/apt.log"; exit 1; }
  grep -E '^(Setting up|Unpacking) kdr31' "$target/tmp/apt.log" || true
}
installed_kib() { in_root dpkg-query -W -f='${Installed-Size}\n' | awk '{s += $1} END {print s}'; }

step "Installing kdr31-cli alone with apt"
in_root apt-get -o APT::Sandbox::User=root update -qq
before_packages=$(in_root dpkg-query -W | wc -l)
before_kib=$(installed_kib)
cp "$cli_deb" "$target/tmp/"
apt_in_root "/tmp/$(basename "$cli_deb")"
echo "packages in the root: $before_packages before, $(in_root dpkg-query -W | wc -l) after;" \
     "installed size $(( ($(installed_kib) - before_kib) / 1024 )) MiB more" \
     "(kdr31-cli itself $(in_root dpkg-query -W -f='${Installed-Size}' kdr31-cli) KiB)"
screen_libraries=$(in_root dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' \
                     libqt6gui6 libqt6widgets6 libx11-6 libgl1 2>/dev/null | grep '^ii' || true)
if [ -n "$screen_libraries" ]; then
  echo "FAIL: kdr31-cli brought the window's libraries:"; echo "$screen_libraries"; exit 1
fi
echo "none of libqt6gui6, libqt6widgets6, libx11-6, libgl1 is installed"
in_root dpkg -L kdr31-cli | grep -E '^/(usr/(bin|share/man|lib/systemd)|etc)/.*[^/]$'
in_root sh -c 'cat /var/lib/dpkg/info/kdr31-cli.conffiles'
# The service runs the package's own program, whatever else is on systemd's path.
unit_exec=$(in_root grep '^ExecStart=' /usr/lib/systemd/system/kdr31-mqtt@.service)
echo "$unit_exec"
case "$unit_exec" in
  "ExecStart=/usr/bin/kdr31-cli poll "*) ;;
  *) echo "FAIL: the unit does not run /usr/bin/kdr31-cli"; exit 1 ;;
esac

step "Running kdr31-cli against kdr31-sim in the root"
in_root kdr31-cli --version
in_root sh -c '
  kdr31-sim --link /tmp/kdr31 --interval 5 >/tmp/sim.out 2>&1 & sim=$!
  for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /tmp/kdr31 ] && break; sleep 0.5; done
  cat /tmp/sim.out
  kdr31-cli info --port /tmp/kdr31 && kdr31-cli poll --port /tmp/kdr31 --count 3 --format json --no-db
  status=$?
  kill $sim; wait $sim 2>/dev/null
  exit $status'

if [ -z "$window_deb" ] || [ "$arch" != "$native" ]; then
  step "OK: kdr31-cli installs and runs in a clean Debian 12 $arch root"
  exit 0
fi

step "Installing kdr31 (the window) with apt"
cp "$window_deb" "$target/tmp/"
apt_in_root "/tmp/$(basename "$window_deb")"
# Both packages hold what the one package of version 1.0.9 held, with its dependencies.
echo "with the window: $(in_root dpkg-query -W | wc -l) packages in the root," \
     "installed size $(( ($(installed_kib) - before_kib) / 1024 )) MiB more than the clean root"
# xvfb, xauth and x11-utils are for this test only: a screen and a look at its windows.
apt_in_root xvfb xauth x11-utils
in_root dpkg -L kdr31 | grep -E '^/usr/(bin|share/(applications|metainfo))/.'

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
step "OK: the packages install and run in a clean Debian 12 root"
