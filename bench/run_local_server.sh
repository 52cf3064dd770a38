#!/bin/bash
# Builds the program (Release, no sanitizers) in build/bench and runs the local server benchmark:
# poplib retrieving and deleting 1,000 approved messages of about 20 KB through `tessivar headless`,
# against the same client on the same Dovecot mailbox directly. Run as root (Dovecot).
# Arguments: [messages] [rounds].
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build tessivar tessivar_sqlite2
python3 "$root/bench/local_server.py" "$build/bin/tessivar" "$root/tests/support/dovecot-pop3.conf.in" \
    "${1:-1000}" "${2:-5}"
