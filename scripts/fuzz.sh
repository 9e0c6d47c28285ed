#!/usr/bin/env bash
# Runs each libFuzzer target for a set time (default 20 s each):
#   scripts/fuzz.sh [seconds-per-target]
# Builds with clang into build-fuzz/. The committed seed corpora in fuzz/corpus/ are copied to
# build-fuzz/corpus/ and grown there; findings are written to build-fuzz/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
build=${BUILD_DIR:-$root/build-fuzz}
"$root/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKDR31_FUZZ=ON -DBUILD_TESTING=OFF \
  -DKDR31_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(reply_parser hex_image readings_text)
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/findings"
# The HEX target writes a scratch file per input: keep it in memory where possible.
[ -d /dev/shm ] && export TMPDIR=/dev/shm
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  cp -n "$root/fuzz/corpus/$t/"* "$build/corpus/$t/" 2>/dev/null || true
  echo "== fuzz_$t for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=1024 \
    -artifact_prefix="$build/findings/$t-" -print_final_stats=1 "$build/corpus/$t" 2>&1 |
    grep -E "^(#[0-9]+ +DONE|Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)" || true
  if ls "$build/findings/$t-"* >/dev/null 2>&1; then
    echo "fuzz_$t found a failing input: $(ls "$build/findings/$t-"*)" >&2
    exit 1
  fi
done
echo "fuzzing: no findings"
