#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# Tests and benchmarks on, also in a build folder the demo configured without them.
"$root/scripts/build.sh" -DBUILD_TESTING=ON -DKDR31_BENCHMARKS=ON "$@"
build=${BUILD_DIR:-$root/build}
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" -LE slow
