#!/usr/bin/env bash
# The soak: mixed load on the built program for SOAK_SECONDS (default 1800), then checks of
# what it stored (soak.py tells which), then the settings writer killed SOAK_KILLS times
# (default 1000) in the middle of its writes. On demand: make soak. Runs itself inside a
# private network namespace with only loopback. BUILD names the build folder (default
# build/), which must hold tarvolin, tarvolin-relay and tests/test_e2e; the report and the
# memory samples go to OUT (default BUILD/soak/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=$(realpath "${BUILD:-$REPO/build}")
OUT=${OUT:-$BUILD/soak}
SOAK_SECONDS=${SOAK_SECONDS:-1800}
SOAK_KILLS=${SOAK_KILLS:-1000}

if [ "${TVN_SOAK_NETNS:-}" != 1 ]; then
    export TVN_SOAK_NETNS=1
    exec unshare -n -- bash "$0" "$@"
fi
ip link set lo up

for program in tarvolin tarvolin-relay tests/test_e2e; do
    [ -x "$BUILD/$program" ] || { echo "soak: $BUILD/$program is missing (build it first)" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "soak: python3 is missing" >&2; exit 2; }
mkdir -p "$OUT"

status=0
python3 tests/soak/soak.py "$BUILD" "$OUT" "$SOAK_SECONDS" || status=1
echo "--- the settings writer killed $SOAK_KILLS times"
TVN_FAULT_KILL_ROUNDS=$SOAK_KILLS "$BUILD/tests/test_e2e" \
    --gtest_filter='SettingsKillTest.*' | tee "$OUT/kills.txt" | grep -E '^\[ (settings|  PASSED|  FAILED)' || status=1
grep -q '^\[  PASSED' "$OUT/kills.txt" || status=1
echo "report: $OUT/report.txt"
exit $status
