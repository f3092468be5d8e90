#!/usr/bin/env bash
# Builds the libFuzzer harnesses in build-fuzz (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS (60 unless set; 0 runs each input
# of the corpus and of the fixed findings once, -runs=0) without a network: in a network
# namespace of its own with only the loopback device.
#   fuzz/run.sh                  every harness
#   fuzz/run.sh nmea http_request   some of them
# New inputs go to build-fuzz/corpus/<name>/ (the seeds in fuzz/corpus/<name>/ and the inputs
# of fixed findings in fuzz/crashes/<name>/ are only read); a crash leaves its input in
# build-fuzz/crashes/<name>/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-60}
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(http_request relay_datagram nmea location_book page_template url_query http_date
    ini_file atl_pattern thumbnail run_request byte_range)

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTVN_FUZZ=ON -DTVN_SANITIZE=ON -DBUILD_TESTING=OFF -DWITH_UI=OFF >/dev/null
fi
targets=()
for name in "${names[@]}"; do
    targets+=("fuzz_$name")
done
cmake --build "$build" --target "${targets[@]}" -j2

namespace=(unshare -n)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -r -n)
limit=(-max_total_time="$seconds")
[ "$seconds" -gt 0 ] || limit=(-runs=0)
failed=()
for name in "${names[@]}"; do
    mkdir -p "$build/corpus/$name" "$build/crashes/$name"
    # Inputs that once broke a promise (fuzz/crashes/<name>/) run first with the seeds.
    inputs=("$build/corpus/$name" "$root/fuzz/corpus/$name")
    [ -d "$root/fuzz/crashes/$name" ] && inputs+=("$root/fuzz/crashes/$name")
    echo "== fuzz_$name for ${seconds} s"
    if ! "${namespace[@]}" -- bash -c 'ip link set lo up && exec "$@"' fuzz \
        "$build/fuzz/fuzz_$name" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$name/" \
        "${inputs[@]}" 2>"$build/fuzz_$name.log"; then
        failed+=("$name")
    fi
    grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' \
        "$build/fuzz_$name.log" || true
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Crashes in: ${failed[*]} (inputs in $build/crashes/, logs in $build/fuzz_*.log)" >&2
    exit 1
fi
