#!/usr/bin/env bash
# Screenshots of the connected window with readings, under a virtual X server, against the
# simulator: docs/kdr31-connected.png (or the path given), and beside it kdr31-unplugged.png, the
# same window after the cable was pulled.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/kdr31-connected.png}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
# A Dutch desktop, as most users of the tool have.
LC_ALL=nl_NL.UTF-8 LANG=nl_NL.UTF-8 xvfb-run -a -s "-screen 0 1600x900x24" \
  "$build/tools/kdr31_screenshot" "$out" "$(dirname "$out")/kdr31-unplugged.png"
# The chart window over a day of simulated readings, in Belgian time.
TZ=Europe/Brussels LC_ALL=nl_NL.UTF-8 LANG=nl_NL.UTF-8 xvfb-run -a -s "-screen 0 1600x900x24" \
  "$build/tools/kdr31_chart_screenshot" "$(dirname "$out")/kdr31-chart.png" \
  "$(dirname "$out")/kdr31-chart-quarters.png"
