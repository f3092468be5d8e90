#!/usr/bin/env bash
# How long a small request waits while cold album listings are being made.
#
# A visitor asks for a 1 KiB file every INTERVAL seconds (open loop: a slow answer
# does not hold back the next request) and the latency of each answer is kept.
# First alone (IDLE_SECS), then while a second client asks, one after the other,
# for album listings (LOAD_SECS): /album001/, /album002/, ... each a folder of the
# 20 test pictures of 4000x3000 (bench/.cache/pics). Tarvolin makes the thumbnails
# of a folder's new pictures when it lists the folder, so every one of these
# listings decodes 20 pictures. nginx (autoindex on) lists the same folders.
#
# Cold every time: the album folders hold hard links to one copy of the pictures,
# so each album is a new path, and the loading client gives the pictures a new
# mtime before every listing, so a cache keyed by the file (device, inode, mtime)
# is cold as well. Tarvolin never lists an album twice in one run (when the albums
# run out, its load ends early and the script says so); nginx, which keeps
# nothing, starts over at album001.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=3  QUICK=1 (short run)  IDLE_SECS=10  LOAD_SECS=20
#   INTERVAL=0.02 (seconds between visitor requests)  TIMEOUT=5 (visitor timeout)
#   ALBUMS=120  SERVERS="tarvolin nginx"  TVN_BIN=path  NGINX_ACCESS_LOG=off  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/wait.sh" "$@"
require_tools curl nginx gm awk sort pgrep

if [ "${QUICK:-0}" = 1 ]; then
    REPS=${REPS:-1}; IDLE_SECS=${IDLE_SECS:-5}; LOAD_SECS=${LOAD_SECS:-10}; ALBUMS=${ALBUMS:-60}
else
    REPS=${REPS:-3}; IDLE_SECS=${IDLE_SECS:-10}; LOAD_SECS=${LOAD_SECS:-20}; ALBUMS=${ALBUMS:-120}
fi
INTERVAL=${INTERVAL:-0.02}
TIMEOUT=${TIMEOUT:-5}
read -r -a SERVERS <<<"${SERVERS:-tarvolin nginx}"
declare -A PORT=([tarvolin]=18100 [nginx]=18101)
LOAD=$BENCH_DIR/httpload.py

bench_setup_work
check_idle
make_pictures

# --- fixture ---------------------------------------------------------------------------
# The loading client changes the pictures' mtimes: it works on a copy, never on the cache.
ROOT=$WORK/root
SRC=$WORK/pictures
mkdir -p "$ROOT" "$SRC"
cp "$PICS"/*.jpg "$SRC/"
head -c 1024 /dev/urandom >"$ROOT/1k.bin"
for ((i = 1; i <= ALBUMS; i++)); do
    a=$(printf '%s/album%03d' "$ROOT" "$i")
    mkdir "$a"
    ln "$SRC"/*.jpg "$a/"
    printf '/album%03d/\n' "$i" >>"$WORK/albums.txt"
done
chmod -R a+rX "$ROOT" "$SRC"

# --- measuring ---------------------------------------------------------------------------
# kv KEY LINE -> the value of KEY in a line of key=value pairs
kv() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print substr($0, length(k) + 2) }'; }
# a percentile as the client printed it: ms, or "inf" when it fell on a failed request
add_ms() { local v=$2; [ "$v" = inf ] && v=1e9; [ -n "$v" ] && [ "$v" != n/a ] && add_res "$1" "$v"; }

visit() { # SERVER SECONDS SAMPLEFILE
    "$PY" "$LOAD" visitor "${PORT[$1]}" /1k.bin --size 1024 --interval "$INTERVAL" \
        --duration "$2" --timeout "$TIMEOUT" --samples "$3"
}

one_server() {
    local s=$1 rep=$2 port=${PORT[$1]} r line cycle=() pid
    log "[rep $rep/$REPS] $s"
    start_server "$s" "$s" "$ROOT" "$port" listing || return 0
    r=$(http_get "http://127.0.0.1:$port/1k.bin" /dev/null 10)
    if [ "${r%% *}" != 200 ]; then
        log "  $s: GET /1k.bin gave ${r:-nothing}; skipped"
        stop_server "$s"; return 0
    fi
    line=$(visit "$s" "$IDLE_SECS" "$WORK/$s-idle-$rep.txt")
    log "    alone: $line"
    add_ms "idle_p50|$s" "$(kv p50 "$line")"; add_ms "idle_p99|$s" "$(kv p99 "$line")"
    add_res "idle_fail|$s" "$(kv fail "$line")"

    [ "$s" = nginx ] && cycle=(--cycle)
    "$PY" "$LOAD" loop "$port" --paths-file "$WORK/albums.txt" --duration "$((LOAD_SECS + 1))" \
        --timeout 120 "${cycle[@]}" --touch "$SRC"/*.jpg >"$WORK/$s-albums-$rep.txt" &
    pid=$!
    BG_PIDS+=("$pid")
    sleep 0.5
    line=$(visit "$s" "$LOAD_SECS" "$WORK/$s-load-$rep.txt")
    log "    with album listings: $line"
    wait "$pid"
    local albums; albums=$(cat "$WORK/$s-albums-$rep.txt")
    log "    album listings: $albums"
    add_ms "load_p50|$s" "$(kv p50 "$line")"; add_ms "load_p99|$s" "$(kv p99 "$line")"
    add_res "load_fail|$s" "$(kv fail "$line")"
    add_res "albums|$s" "$(kv count "$albums")"
    add_ms "album_ms|$s" "$(kv median "$albums")"
    [[ $(kv statuses "$albums") =~ ^200:[0-9]+$ ]] || RES_ERR["albums|$s"]=1
    if [ "$s" != nginx ] && [ "$(kv count "$albums")" = "$(kv of "$albums")" ]; then
        log "    WARNING: $s listed all $ALBUMS albums before the end; raise ALBUMS"
        RES_ERR["albums|$s"]=1
    fi
    local hwm; hwm=$(server_hwm "$s")
    [ -n "$hwm" ] && add_res "mem|$s" "$hwm"
    stop_server "$s"
}

log "wait: reps=$REPS, visitor every ${INTERVAL}s, ${IDLE_SECS}s alone and ${LOAD_SECS}s with album listings ($ALBUMS albums)"
for ((rep = 1; rep <= REPS; rep++)); do
    for s in "${SERVERS[@]}"; do one_server "$s" "$rep"; done
done

# --- report --------------------------------------------------------------------------------
cell() { # KEY SERVER DECIMALS
    local v out; v=$(res_median "$1|$2")
    if [ -n "$v" ] && awk -v v="$v" 'BEGIN{exit !(v >= 1e9)}'; then out="failed"; else out=$(fmt "$v" "$3"); fi
    [ -n "${RES_ERR[$1|$2]:-}" ] && out="$out*"
    echo "$out"
}
report() {
    echo
    echo "Wait for a 1 KiB file during cold album listings: medians of $REPS run(s), HTTP/1.0, loopback"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r), Tarvolin $(git -C "$(dirname "$TVN_BIN")" describe --always --dirty 2>/dev/null || echo "?")) $BUSY_NOTE"
    echo "peers: $(peer_versions nginx)"
    echo "visitor: GET /1k.bin every ${INTERVAL}s, ${TIMEOUT}s timeout; load: one client listing albums of $NPICS x 4000x3000 JPEGs"
    echo
    print_row "wait.sh" "${SERVERS[@]}"
    print_rule ${#SERVERS[@]}
    local k key label dec s cells
    for k in "idle_p50|alone: p50 (ms)|2" "idle_p99|alone: p99 (ms)|2" "idle_fail|alone: failures|0" \
        "load_p50|listing load: p50 (ms)|2" "load_p99|listing load: p99 (ms)|2" \
        "load_fail|listing load: failures|0" "albums|album listings per run|0" \
        "album_ms|album listing median (ms)|1" "mem|peak memory (VmHWM KiB)|0"; do
        IFS='|' read -r key label dec <<<"$k"
        cells=()
        for s in "${SERVERS[@]}"; do cells+=("$(cell "$key" "$s" "$dec")"); done
        print_row "$label" "${cells[@]}"
    done
    echo
    echo "n/a: missing or failed to start. failed: the percentile fell on a failed request (timeout, error,"
    echo "wrong answer). *: a listing was not 200, or the albums ran out before the end of the load."
    echo "Visitor requests: $(awk -v d="$IDLE_SECS" -v i="$INTERVAL" 'BEGIN{printf "%d", d/i}') alone and $(awk -v d="$LOAD_SECS" -v i="$INTERVAL" 'BEGIN{printf "%d", d/i}') under load per run."
    echo
    echo "raw samples:"
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/wait-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
