#!/usr/bin/env bash
# Builds the XML parsing benchmark (Release, no sanitizers) in build/bench and runs it: a
# synchronisation answer of 20,000 senders and 5,000 domain names, and one of double the size,
# parsed with the XML tree and with libxml2's reader. Only this benchmark needs libxml2-dev, so it
# is installed here (as root) when missing. Arguments: [senders domains].
set -euo pipefail
if ! dpkg-query -W -f='${Status}' libxml2-dev 2>/dev/null | grep -q "install ok installed"; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends libxml2-dev
fi
source "$(dirname "$0")/build.sh"
bench_build bench_xml_parse
"$build/bin/bench_xml_parse" "$@"
