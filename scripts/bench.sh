#!/usr/bin/env bash
# Builds and runs every benchmark, then prints one table of the figures:
#   scripts/bench.sh            (about two minutes: the full-size upgrade takes 85 s)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" -DKDR31_BENCHMARKS=ON -DBUILD_TESTING=ON >/dev/null
build=${BUILD_DIR:-$root/build}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

for b in transaction firmware debug_log upgrade history; do
  echo "running kdr31_bench_$b ..." >&2
  "$build/benchmarks/kdr31_bench_$b" --benchmark_format=json --benchmark_out="$out/$b.json" \
    --benchmark_out_format=json >/dev/null 2>&1
done
echo "running kdr31_bench_readings_grid ..." >&2
"$build/benchmarks/kdr31_bench_readings_grid" >"$out/grid.txt" 2>/dev/null
echo "running kdr31_bench_mqtt ..." >&2
"$build/benchmarks/kdr31_bench_mqtt" >"$out/mqtt.txt" 2>/dev/null

python3 - "$out" <<'PY'
import json, re, sys, os, platform
out = sys.argv[1]
def bench(name, key):
    data = json.load(open(os.path.join(out, name + ".json")))
    for b in data["benchmarks"]:
        if b["name"].startswith(key):
            return b
    raise SystemExit(f"{key} missing from {name}")
def ms(b, field):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b[field] * scale
rows = []
t = bench("transaction", "BM_IdentifyTransaction")
rows.append(("one command transaction (0.3 s deadline)", f"{ms(t,'real_time'):.0f} ms wall", f"{ms(t,'cpu_time'):.2f} ms CPU"))
u = bench("upgrade", "BM_Upgrade255Blocks")
rows.append(("full 255-block upgrade", f"{u['wall_s']:.1f} s wall", f"{u['ui_thread_cpu_s']:.2f} s CPU (UI thread), {u['process_cpu_s']:.2f} s process"))
grid = open(os.path.join(out, "grid.txt")).read()
def grab(label):
    m = re.search(re.escape(label) + r"\s+([\d.]+) (\S+)", grid)
    return f"{m.group(1)} {m.group(2)}"
rows.append(("readings grid, 1,000,000 rows: resident memory", grab("resident memory, whole process, at the end"), ""))
rows.append(("readings grid: append, median first / last 1,000", grab("append, median of the first 1,000") + " / " + grab("append, median of the last 1,000"), ""))
mqtt = open(os.path.join(out, "mqtt.txt")).read()
def grab_mqtt(label):
    m = re.search(re.escape(label) + r"\s+([\d.]+) (\S+)", mqtt)
    return f"{m.group(1)} {m.group(2)}"
rows.append(("MQTT reading to subscriber, median / 95th percentile", grab_mqtt("publish call to arrival, median") + " / " + grab_mqtt("publish call to arrival, 95th percentile"), ""))
rows.append(("MQTT poller with a full queue (10,000): resident memory", grab_mqtt("resident memory, whole process, queue full"), ""))
h = bench("firmware", "BM_Hex2BinString_32K")
rows.append(("HEX to image, 32 KB", f"{ms(h,'real_time'):.3f} ms", ""))
c = bench("firmware", "BM_CRC16_255x128")
rows.append(("CRC16 over 32,640 bytes (255 blocks of 128)", f"{ms(c,'real_time')*1000:.0f} us", ""))
d = bench("debug_log", "BM_ReadLongestLog")
rows.append(("debug log read, 1535 bytes", f"{ms(d,'real_time'):.0f} ms wall", f"{ms(d,'cpu_time'):.2f} ms CPU"))
i = bench("history", "BM_InsertOneReadingAt1M")
rows.append(("history: insert one reading at 1,000,000 rows", f"{ms(i,'real_time')*1000:.0f} us wall", f"{ms(i,'cpu_time')*1000:.0f} us CPU (writer thread)"))
r = bench("history", "BM_RecordCall")
rows.append(("history: the poll's hand-over to the recorder", f"{ms(r,'real_time')*1000:.2f} us", ""))
z = bench("history", "BM_DatabaseSizePerMillion")
rows.append(("history: database size per million readings", f"{z['MB_per_million']:.1f} MB", ""))
c = bench("history", "BM_ChartRedraw30Days")
rows.append(("chart redraw, 30 days of 5 s readings (518,400)", f"{ms(c,'real_time'):.1f} ms wall", f"{ms(c,'cpu_time'):.1f} ms CPU"))
l = bench("history", "BM_ChartLoad30DaysStall")
rows.append(("chart window loading 30 days: longest stall of the window thread", f"{max(l['longest_posted_wait_ms'], l['longest_tick_late_ms']):.1f} ms", f"load {l['load_ms']:.0f} ms"))
w = max(len(r[0]) for r in rows)
print(f"Benchmarks on {platform.node()} ({os.cpu_count()} cores, {platform.machine()})")
for r in rows:
    print(f"  {r[0]:<{w}}  {r[1]:<22} {r[2]}")
PY
