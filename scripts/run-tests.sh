#!/usr/bin/env bash
# Builds and runs the test suite inside a fresh network namespace that has only loopback,
# so that no test can reach any other address, then walks the demo site in headless Chromium
# (a namespace of its own; scripts/install-deps.sh browser installs what it needs). The suite
# holds a replay of every fuzz harness over its seeds and saved findings (fuzz_replay.*). With
# "asan", the sanitizer build instead, without the walk; with "all" (what CI runs), the build
# with warnings as errors (preset ci) and the walk, the headless program, the sanitizer build,
# then time-boxed passes of the fuzz harnesses (fuzz_short below) and the Debian package
# (package_check).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-normal}

run_suite() {
    local dir=$1
    unshare -n -- bash -c "ip link set lo up && cd '$dir' && ctest --output-on-failure -j2 --timeout 300"
}

# The demo site in a real browser, on the normal build; its pictures go to build/browser-walk.
# Then a film played and sought on a page of the program (tests/browser/video.sh), and a
# protected folder over HTTPS with a test CA, asked for in plain from another network too
# (tests/browser/tls-folder.sh), and files sent through the upload area of a listing
# (tests/browser/upload-page.sh). Then tus-js-client resumes an upload after its connection
# was cut (tests/tus-client/resume.sh).
browser_walk() {
    OUT=build/browser-walk SHOTS=build/browser-walk/site BUILD="$PWD/build" ./tests/browser/walk.sh
    BUILD="$PWD/build" ./tests/browser/video.sh
    BUILD="$PWD/build" ./tests/browser/tls-folder.sh
    BUILD="$PWD/build" ./tests/browser/upload-page.sh
    BUILD="$PWD/build" ./tests/tus-client/resume.sh
}

# The libFuzzer harnesses of fuzz/ for FUZZ_SECONDS_SHORT seconds each (20 unless set; 0 skips
# them), after the suites (CI only: `make test` replays their inputs in the suite instead). clang and its runtimes are installed first, outside any namespace;
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

# build_preset PRESET DIR [fresh [TARGET...]]: configures DIR with PRESET when it has no cache
# yet (always with "fresh", so that the preset's settings hold over an older cache), then
# builds the targets named, or everything.
build_preset() {
    local preset=$1 dir=$2 fresh=${3:-}
    if [ -n "$fresh" ] || [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake --preset "$preset" >/dev/null
    fi
    if [ $# -gt 3 ]; then
        cmake --build "$dir" --target "${@:4}"
    else
        cmake --build "$dir"
    fi
}

case "$mode" in
normal)
    build_preset release build
    run_suite build
    browser_walk
    ;;
asan)
    build_preset asan build-asan
    ASAN_OPTIONS=detect_leaks=0 run_suite build-asan
    ;;
all)
    clang-format --dry-run --Werror $(git ls-files '*.cpp' '*.h')
    build_preset ci build fresh
    run_suite build
    browser_walk
    build_preset headless build-headless "" tarvolin
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
