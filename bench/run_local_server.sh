#!/bin/bash
# Builds the program (Release, no sanitizers) in build/bench and runs the local server benchmark:
# poplib retrieving and deleting 1,000 approved messages of about 20 KB through `tessivar headless`,
# against the same client on the same Dovecot mailbox directly. Run as root (Dovecot).
# Arguments: [messages] [rounds].
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_SANITIZE=OFF -DTESSIVAR_TESTS=OFF \
    -DTESSIVAR_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tessivar
python3 "$root/bench/local_server.py" "$build/bin/tessivar" "$root/tests/support/dovecot-pop3.conf.in" \
    "${1:-1000}" "${2:-3}"
