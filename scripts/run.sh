#!/usr/bin/env bash
# Sets everything up, builds the program and runs it: the tray application when a display is
# present (DISPLAY or WAYLAND_DISPLAY), otherwise without windows. Data lives in $TESSIVAR_HOME
# (default: the build folder). Extra arguments are passed on as switches ("headless" forces the
# windowless program).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The compiler cache lives in the build folder, so it needs no home directory.
export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
build=${TESSIVAR_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessivar
# The application menu entry and icon for this user, starting the binary just built. The program
# runs whether or not they could be installed.
bash scripts/install-desktop.sh "$build/bin/tessivar" ||
    echo "run.sh: the application menu entry could not be installed" >&2
exec "$build/bin/tessivar" "$@"
