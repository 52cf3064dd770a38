#!/usr/bin/env bash
# Builds the mail-storing benchmark (Release, no sanitizers) in build/bench and runs it:
#   bash bench/run_insert_email.sh [messages senders existing]     (default 5000 1000 20000)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_SANITIZE=OFF -DTESSIVAR_TESTS=OFF \
    -DTESSIVAR_BENCH=ON >/dev/null
cmake --build "$build" -j 2 --target bench_insert_email tessivar_sqlite2 >/dev/null
"$build/bin/bench_insert_email" "$@"
