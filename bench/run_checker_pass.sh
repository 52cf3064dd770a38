#!/bin/bash
# Builds the mailbox checker benchmark (Release, no sanitizers) in build/bench and runs it:
# one pass of 1,000 messages of about 20 KB from a Dovecot mailbox on loopback, side by side with
# mpop fetching the same mailbox, over plain POP3 and over POP3S (TLS). Run as root (Dovecot
# fixture). Arguments: [messages] [rounds].
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build checker_pass tessivar_sqlite2
"$build/bin/checker_pass" "${1:-1000}" "${2:-5}"
