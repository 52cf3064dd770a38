#!/usr/bin/env bash
# Builds the mail-storing benchmark (Release, no sanitizers) in build/bench and runs it:
#   bash bench/run_insert_email.sh [messages senders existing rounds]     (default 5000 1000 20000 5)
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_insert_email tessivar_sqlite2
"$build/bin/bench_insert_email" "$@"
