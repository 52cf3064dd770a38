#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Tessivar need. Run as root on
# Debian 12; packages already present are left alone.
set -euo pipefail
packages=(build-essential cmake ninja-build ccache pkg-config libgtest-dev libgmock-dev
          libsqlite3-dev sqlite3 libcurl4-openssl-dev libssl-dev openssl ca-certificates dovecot-pop3d dovecot-imapd mpop python3 clang libclang-rt-14-dev
          locales tzdata libcpp-httplib-dev libsodium-dev qt6-base-dev fonts-dejavu-core libcanberra-dev
          qt6-webengine-dev libgmime-3.0-dev libsecret-1-dev
          dpkg-dev fakeroot lintian desktop-file-utils appstream man-db)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The packaged Dovecot service is not used: tests start their own instances on loopback.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now dovecot >/dev/null 2>&1 || true; fi
