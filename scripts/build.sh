#!/usr/bin/env bash
# Configures and builds the tool, the simulator and the tests into build/ (or $BUILD_DIR).
# Extra arguments go to cmake's configure step. BUILD_TARGETS (e.g. "kdr31 kdr31-sim") builds
# only those targets and what they need.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
launcher=()
# A compiler cache makes rebuilds after a pull, and builds in a second work tree, cheap.
# Paths below the source tree count as relative, so another clone of the project hits the cache.
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$root"
generator=()
[ -f "$build/CMakeCache.txt" ] || { command -v ninja >/dev/null && generator=(-G Ninja); }
cmake -S "$root" -B "$build" "${generator[@]}" "${launcher[@]}" "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
