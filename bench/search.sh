#!/usr/bin/env bash
# Searching below a folder (GET /?search=words).
#
# A tree of 40 folders x 20 subfolders x 50 files (40000 files, 40840 entries: below the
# walk's bound of 50000) with one "needle" file per subfolder (800 hits: over the bound of
# 500, so that search ends at its hit bound); "haystack-7-3-5." is in one name alone.
# 1. Time of GET /?search=haystack-7-3-5. (the whole tree walked, one hit) and of
#    GET /?search=needle (ends at 500 hits), medians of REPS, page cache warm; beside
#    `find ROOT -iname '*haystack-7-3-5.*'`, the walk without any server.
# 2. While searches of the whole tree run back to back on one connection after another,
#    the time of GET /small.txt on another connection: the walk runs on a worker thread,
#    so the small file should not wait for it.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=5  SMALL=50 (small-file requests per phase)  TVN_BIN=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/search.sh" "$@"
require_tools curl find awk sort

REPS=${REPS:-5}
SMALL=${SMALL:-50}
PORT=18095

bench_setup_work
check_idle

SROOT=$WORK/search
for a in $(seq 1 40); do
    for b in $(seq 1 20); do
        d="$SROOT/folder-$a/sub-$b"
        mkdir -p "$d"
        for c in $(seq 1 49); do : >"$d/haystack-$a-$b-$c.txt"; done
        : >"$d/needle-$a-$b.txt"
    done
done
printf 'small\n' >"$SROOT/small.txt"
chmod -R a+rX "$SROOT"

# timed_get URL -> seconds of the whole answer, or nothing when it was not a 200
timed_get() {
    curl --http1.0 -s -o "$WORK/page.html" --max-time 60 -w '%{http_code} %{time_total}\n' "$1" |
        awk '$1 == 200 { print $2 }'
}

start_server tarvolin search "$SROOT" "$PORT" || exit 1
base="http://127.0.0.1:$PORT"
timed_get "$base/?search=needle" >/dev/null # warms the page cache and the server
grep -q 'needle-[0-9]*-[0-9]*\.txt' "$WORK/page.html" || die "the search page names no needle"
for ((i = 0; i < REPS; i++)); do
    add_res whole "$(timed_get "$base/?search=haystack-7-3-5.")"
    add_res bound "$(timed_get "$base/?search=needle")"
    t0=$(now)
    find "$SROOT" -iname '*haystack-7-3-5.*' >/dev/null
    add_res find "$(elapsed "$t0" "$(now)")"
done

for ((i = 0; i < SMALL; i++)); do add_res idle "$(timed_get "$base/small.txt")"; done
(while :; do timed_get "$base/?search=haystack-7-3-5." >/dev/null; done) &
BG_PIDS+=($!)
sleep 0.3
for ((i = 0; i < SMALL; i++)); do add_res busy "$(timed_get "$base/small.txt")"; done
hwm=$(server_hwm search)
stop_server search

mkdir -p "$CACHE_DIR/results"
ms() { fmt "$(awk -v s="$(res_median "$1")" 'BEGIN{ if (s != "") print s * 1000 }')" 1; }
TABLE_W0=36
{
    echo
    echo "Search below a folder: medians, HTTP/1.0, loopback ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores) $BUSY_NOTE"
    print_row "what" "ms"
    print_rule 1
    print_row "whole tree, 1 hit (40840 names)" "$(ms whole)"
    print_row "find -iname, the same tree" "$(ms find)"
    print_row "ends at 500 hits" "$(ms bound)"
    print_row "small file, nothing else running" "$(ms idle)"
    print_row "small file, searches running" "$(ms busy)"
    print_row "peak memory (VmHWM KiB)" "${hwm:-n/a}"
} | tee "$CACHE_DIR/results/search-$(date -u +%Y%m%d-%H%M%S).txt"
