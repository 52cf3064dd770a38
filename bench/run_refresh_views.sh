#!/usr/bin/env bash
# Builds the list refresh benchmark (Release, no sanitizers) in build/bench and runs it offscreen:
#   bash bench/run_refresh_views.sh [emails senders domains]     (default 100000 20000 5000)
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_refresh_views tessivar_sqlite2
QT_QPA_PLATFORM=offscreen "$build/bin/bench_refresh_views" "$@"
