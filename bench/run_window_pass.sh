#!/usr/bin/env bash
# Builds the main window benchmark (Release, no sanitizers) in build/bench and runs it offscreen:
# the median refresh of the lists on 100,000 emails, and a checker pass of 1,000 messages from
# Dovecot into that model with the window open against the same pass without windows. Run as root
# (Dovecot fixture). Arguments: [emails senders domains messages rounds].
set -euo pipefail
source "$(dirname "$0")/build.sh"
bench_build bench_window_pass tessivar_sqlite2
QT_QPA_PLATFORM=offscreen "$build/bin/bench_window_pass" "$@"
