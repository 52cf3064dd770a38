#!/usr/bin/env bash
# Builds the first synchronisation benchmark (Release, no sanitizers) in build/bench and runs it:
# the answer of a first synchronisation applied to an empty model, against the sqlite3 shell
# inserting the same rows in one transaction, rounds alternating between the two.
#   bash bench/run_first_sync.sh [senders domains [rounds]]     (default 20000 5000 5)
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_first_sync tessivar_sqlite2
"$build/bin/bench_first_sync" "$@"
