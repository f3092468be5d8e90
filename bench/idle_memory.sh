#!/usr/bin/env bash
# Idle memory of the headless program: started with the bench's settings (no display, a
# runtime, settings and cache folder of its own), asked for / once, left alone for
# SETTLE seconds, then its Rss summed over every mapping of /proc/PID/smaps. Prints the
# median of REPS starts for each program of TVN_BINS (default: build/tarvolin), side by
# side, and for the last start of each the libraries that cost the most and how many are
# mapped.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=5  SETTLE=3  TOP=12  TVN_BINS="path path ..."  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/idle_memory.sh" "$@"
require_tools curl awk sort

REPS=${REPS:-5}
SETTLE=${SETTLE:-3}
TOP=${TOP:-12}
read -r -a BINS <<<"${TVN_BINS:-$TVN_BIN}"

bench_setup_work
ROOT=$WORK/www
mkdir -p "$ROOT"
echo hello >"$ROOT/hello.txt"

# The Rss (KiB) of every mapping of PID, one "KiB name" line each ([anon] for none).
mapping_rss() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = (NF >= 6 ? $6 : "[anon]") }
         /^Rss:/ { print $2, name }' "/proc/$1/smaps"
}

declare -A RESULT=()
for bin in "${BINS[@]}"; do
    [ -x "$bin" ] || die "$bin is not an executable"
    values=()
    for ((rep = 0; rep < REPS; rep++)); do
        TVN_BIN=$bin start_server tarvolin idle "$ROOT" 18090 || die "$bin did not start"
        curl -s -o /dev/null "http://127.0.0.1:18090/"
        sleep "$SETTLE"
        pid=${SRV_PID[idle]}
        mapping_rss "$pid" >"$WORK/mappings"
        values+=("$(awk '{ s += $1 } END { print s }' "$WORK/mappings")")
        stop_server idle
    done
    RESULT[$bin]=$(printf '%s\n' "${values[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    log "$bin: Rss idle (KiB) over $REPS starts: ${values[*]}"
    log "  shared libraries mapped: $(awk '$2 ~ /\.so/ { print $2 }' "$WORK/mappings" | sort -u | wc -l)"
    log "  the mappings that cost the most (KiB, summed by name):"
    awk '{ s[$2] += $1 } END { for (n in s) print s[n], n }' "$WORK/mappings" | sort -rn |
        head -n "$TOP" | sed 's/^/    /' >&2
done

printf '| program | Rss idle, headless (KiB, median of %s) |\n| --- | --- |\n' "$REPS"
for bin in "${BINS[@]}"; do printf '| %s | %s |\n' "$bin" "${RESULT[$bin]}"; done
