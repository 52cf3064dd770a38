#!/usr/bin/env bash
# Builds the find and preview benchmark (Release, no sanitizers) in build/bench and runs it offscreen:
#   bash bench/run_find_preview.sh [emails senders domains]     (default 100000 20000 5000)
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_find_preview tessivar_sqlite2
QT_QPA_PLATFORM=offscreen "$build/bin/bench_find_preview" "$@"
