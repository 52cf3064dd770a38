#!/usr/bin/env bash
# Sets everything up, builds the test configuration (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The compiler cache lives in the build folder, so it needs no home directory.
export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
build=${TESSIVAR_BUILD_DIR:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSIVAR_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 600
