#!/bin/bash
# Builds the program (Release, no sanitizers) in build/bench and runs the IMAP screening benchmark:
# 1,000 messages of about 20 KB screened and moved in a Dovecot IMAP mailbox, against a plain imaplib
# script fetching and moving the same messages, then the arrival-to-move time with IDLE. Run as root
# (Dovecot). Arguments: [messages] [rounds].
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build tessivar tessivar_sqlite2
python3 "$root/bench/imap_screening.py" "$build/bin/tessivar" "${1:-1000}" "${2:-5}"
