#!/usr/bin/env bash
# Builds and runs the test suite inside a fresh network namespace that has only loopback,
# so that no test can reach any other address, then walks the demo site in headless Chromium
# (a namespace of its own; scripts/install-deps.sh browser installs what it needs). With
# "asan", the sanitizer build instead, without the walk; with "all" (what CI runs), the normal
# build and the walk, the headless build and the sanitizer build. "normal" and "all" end
# with short passes of the fuzz harnesses (fuzz_short below); "all" then checks the Debian
# package (package_check).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-normal}

run_suite() {
    local dir=$1
    unshare -n -- bash -c "ip link set lo up && cd '$dir' && ctest --output-on-failure -j2 --timeout 300"
}

# The demo site in a real browser, on the normal build; its pictures go to build/browser-walk.
# Then a film played and sought on a page of the program (tests/browser/video.sh).
browser_walk() {
    OUT=build/browser-walk SHOTS=build/browser-walk/site BUILD="$PWD/build" ./tests/browser/walk.sh
    BUILD="$PWD/build" ./tests/browser/video.sh
}

# The libFuzzer harnesses of fuzz/ for FUZZ_SECONDS_SHORT seconds each (20 unless set; 0 skips
# them), after the suites. clang and its runtimes are installed first, outside any namespace;
# fuzz/run.sh builds build-fuzz and runs each harness in a network namespace of its own. A
# crash, a leak, a hang or a broken promise of a harness fails the run.
fuzz_short() {
    local seconds=${FUZZ_SECONDS_SHORT:-20}
    [ "$seconds" -gt 0 ] || return 0
    ./scripts/install-deps.sh fuzz
    FUZZ_SECONDS=$seconds ./fuzz/run.sh
}

# --- The Debian package: made by cpack from the release build the suite ran on (make package
# makes it from a Release build of its own), unpacked with dpkg -x, the installed program
# started headless in a network namespace of its own (tests/package/check_package.sh).
package_check() {
    PKG_BUILD_DIR=build ./tests/package/check_package.sh
}
# --- end of the package check

build_preset() {
    local preset=$1 dir=$2
    [ -f "$dir/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build "$dir"
}

case "$mode" in
normal)
    build_preset release build
    run_suite build
    browser_walk
    fuzz_short
    ;;
asan)
    build_preset asan build-asan
    ASAN_OPTIONS=detect_leaks=0 run_suite build-asan
    ;;
all)
    clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h')
    build_preset release build
    run_suite build
    browser_walk
    build_preset headless build-headless
    # Both programs must at least start: the headless one answers --version-less smoke run.
    ./scripts/smoke-start.sh build/tarvolin
    ./scripts/smoke-start.sh build-headless/tarvolin
    build_preset asan build-asan
    ASAN_OPTIONS=detect_leaks=0 run_suite build-asan
    fuzz_short
    package_check
    ;;
*)
    echo "usage: $0 [normal|asan|all]" >&2
    exit 2
    ;;
esac
