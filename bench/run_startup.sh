#!/usr/bin/env bash
# Builds the start-up benchmark (Release, no sanitizers) in build/bench and runs it:
#   bash bench/run_startup.sh [emails senders domains]     (default 100000 20000 5000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_SANITIZE=OFF -DTESSIVAR_TESTS=OFF \
        -DTESSIVAR_BENCH=ON && cmake --build "$build" -j 2 --target bench_startup tessivar_sqlite2; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
"$build/bin/bench_startup" "$@"
