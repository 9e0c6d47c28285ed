#!/usr/bin/env bash
# Installs what is missing, builds, starts a simulated KDR31 on a pseudo-terminal, points COM1:
# at it and starts the tool. Press "Open" with COM1: selected (or "Scan").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --build-only
# Only what the demo starts: the tests and benchmarks (and the packages they need) come with
# scripts/test.sh.
BUILD_TARGETS="kdr31 kdr31-sim" "$root/scripts/build.sh" -DBUILD_TESTING=OFF -DKDR31_BENCHMARKS=OFF
build=${BUILD_DIR:-$root/build}

link=$(mktemp -u "${XDG_RUNTIME_DIR:-/tmp}/kdr31-com1.XXXXXX")
"$build/simulator/kdr31-sim" --link "$link" &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$link"' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: running under a virtual X server (xvfb-run)." >&2
  KDR31_COM1="$link" xvfb-run -a "$build/kdr31" "$@"
else
  KDR31_COM1="$link" "$build/kdr31" "$@"
fi
