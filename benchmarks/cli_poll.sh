#!/usr/bin/env bash
# kdr31-cli poll against the simulator, measured from outside as a user runs it: resident memory
# after start (first reading in) and after N readings, and CPU time per reading.
#
#   benchmarks/cli_poll.sh [readings] [build-dir]      (defaults: 1000, build)
#
# The simulator reports a refresh interval of 0 s, so the poll runs back to back: each reading
# is one readings transaction (0.3 s), and 1,000 readings take about five minutes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:-1000}
build=${2:-$root/build}
tmp=$(mktemp -d)
sim=""
cli=""
cleanup() {
  [ -n "$cli" ] && kill "$cli" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

"$build/simulator/kdr31-sim" --interval 0 --link "$tmp/kdr31" >"$tmp/sim.out" &
sim=$!
for _ in $(seq 50); do [ -e "$tmp/kdr31" ] && break; sleep 0.1; done

"$build/cli/kdr31-cli" poll --port "$tmp/kdr31" --format csv >"$tmp/out.csv" 2>"$tmp/err.txt" &
cli=$!
ticks=$(getconf CLK_TCK)

readings() { echo $(( $(wc -l <"$tmp/out.csv") - 1 )); }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$cli/status"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$cli/stat"; }
wait_for() {
  while [ "$(readings)" -lt "$1" ]; do
    kill -0 "$cli" 2>/dev/null || { echo "kdr31-cli ended: $(cat "$tmp/err.txt")" >&2; exit 1; }
    sleep 0.05
  done
}

wait_for 1
rss_start=$(rss_kib); cpu_start=$(cpu_ticks); t_start=$(date +%s.%N); r_start=$(readings)
wait_for $(( n / 2 ))
rss_half=$(rss_kib)
wait_for "$n"
rss_end=$(rss_kib); cpu_end=$(cpu_ticks); t_end=$(date +%s.%N); r_end=$(readings)
kill -INT "$cli"; wait "$cli" || true; cli=""

awk -v n="$n" -v rs="$rss_start" -v rh="$rss_half" -v re="$rss_end" -v cs="$cpu_start" \
    -v ce="$cpu_end" -v hz="$ticks" -v ts="$t_start" -v te="$t_end" -v r0="$r_start" \
    -v r1="$r_end" 'BEGIN {
  count = r1 - r0
  printf "kdr31-cli poll against kdr31-sim (%d readings)\n", n
  printf "  resident memory after start (first reading)  %6.1f MB\n", rs / 1024
  printf "  resident memory after %4d readings           %6.1f MB\n", n / 2, rh / 1024
  printf "  resident memory after %4d readings           %6.1f MB\n", n, re / 1024
  printf "  CPU per reading (over %d readings)            %6.3f ms\n", count, (ce - cs) / hz * 1000 / count
  printf "  wall time per reading                         %6.1f ms\n", (te - ts) * 1000 / count
}'
