#!/usr/bin/env bash
# Builds the start-up benchmark (Release, no sanitizers) in build/bench and runs it:
#   bash bench/run_startup.sh [emails senders domains [rounds]]     (default 100000 20000 5000 5)
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_startup tessivar_sqlite2
"$build/bin/bench_startup" "$@"
