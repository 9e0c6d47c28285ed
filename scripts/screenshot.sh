#!/usr/bin/env bash
# Screenshots of the connected window with readings, under a virtual X server, against the
# simulator: docs/kdr31-connected.png (or the path given), and beside it kdr31-unplugged.png (the
# same window after the cable was pulled), kdr31-capacity-warning.png (the window with its line
# for the capacity tariff in the warning colour), the chart window's two, and
# kdr31-web-warning.png (the page with its peak warning, in headless Chromium).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/kdr31-connected.png}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${BUILD_DIR:-$root/build}
# A Dutch desktop, as most users of the tool have.
LC_ALL=nl_NL.UTF-8 LANG=nl_NL.UTF-8 xvfb-run -a -s "-screen 0 1600x900x24" \
  "$build/tools/kdr31_screenshot" "$out" "$(dirname "$out")/kdr31-unplugged.png"
LC_ALL=nl_NL.UTF-8 LANG=nl_NL.UTF-8 xvfb-run -a -s "-screen 0 1600x900x24" \
  "$build/tools/kdr31_screenshot" --capacity-warning "$(dirname "$out")/kdr31-capacity-warning.png"
# The chart window over a day of simulated readings, in Belgian time.
TZ=Europe/Brussels LC_ALL=nl_NL.UTF-8 LANG=nl_NL.UTF-8 xvfb-run -a -s "-screen 0 1600x900x24" \
  "$build/tools/kdr31_chart_screenshot" "$(dirname "$out")/kdr31-chart.png" \
  "$(dirname "$out")/kdr31-chart-quarters.png"
# The page as a phone shows it, its peak warning on (it waits for a quarter-hour's first six
# minutes, so the banner has minutes to give).
/usr/bin/python3 "$root/tools/page_screenshot.py" "$build/http/kdr31-http-feed" \
  "$(dirname "$out")/kdr31-web-warning.png"
