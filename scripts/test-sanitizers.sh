#!/usr/bin/env bash
# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer (leak
# checking on), in build-asan/ (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build-asan}
"$root/scripts/test.sh" -DKDR31_SANITIZE=ON -DKDR31_BENCHMARKS=OFF "$@"
