#!/bin/bash
# Builds the mailbox checker benchmark (Release, no sanitizers) in build/bench and runs it:
# one pass of 1,000 messages of about 20 KB from a Dovecot mailbox on loopback, side by side with
# mpop fetching the same mailbox. Run as root (Dovecot fixture). Arguments: [messages] [rounds].
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_SANITIZE=OFF -DTESSIVAR_TESTS=OFF \
    -DTESSIVAR_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target checker_pass
"$build/bin/checker_pass" "${1:-1000}" "${2:-3}"
