# Sourced by the bench/run_*.sh scripts: bench_build TARGET... configures build/bench (Release, no
# sanitizers, no test suites) and builds the targets quietly, showing the log only on failure.
# Sets $root (the repository) and $build (the build folder).
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true

bench_build() {
    local log
    log=$(mktemp)
    if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSIVAR_SANITIZE=OFF \
            -DTESSIVAR_TESTS=OFF -DTESSIVAR_BENCH=ON && cmake --build "$build" -j 2 --target "$@"; } >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}
