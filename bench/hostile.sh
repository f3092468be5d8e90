#!/usr/bin/env bash
# What an ordinary visitor gets while someone else sends a hostile load.
#
# For each load below, Tarvolin and nginx are each started afresh and put under
# the same load; meanwhile a visitor asks for a 1 KiB file every INTERVAL seconds
# (open loop, TIMEOUT seconds each) and its latencies are kept. The table shows
# the visitor's median and 99th percentile, how many of its requests failed, and
# the server's peak memory (VmHWM, sampled while the load runs, so a server that
# dies still shows what it reached). Loads (all from loopback, bounded in time
# and count):
#
#   none     the visitor alone (for reference)
#   slow     SLOW_CONNS (300) connections that each send one byte of a request
#            head every 10 s, for SLOW_SECS (35) seconds
#   bodies   rounds of BODY_CONNS (400) POSTs at once, each with Content-Length:
#            1048576 and a 1 MiB body, each reading its answer
#   large    GET /big.txt, 8 MiB of text lines, LARGE_PAR (2) at a time; Tarvolin
#            answers a .txt as a page, nginx sends the file
#   bigpic   listings of folders that each hold one PNG of 30000x30000 pixels
#            (2.7 MB, one colour per band of rows); each folder is listed once
#            and the PNG gets a new mtime before each listing, so it is cold;
#            nginx lists them with autoindex, starting over when they run out
#   dotpath  GET of a 4 KB URL: "/" + "./" x 2000 + "x.txt", one at a time
#   dotdirs  GET /pics/./, /pics/././, ... (DOT_VARIANTS, 400 variants) of a
#            folder of 3 pictures of 4000x3000, once each, after one GET /pics/;
#            the notes give the growth of the server's resident memory (VmRSS)
#            from after that first listing to the end
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): QUICK=1 (shorter loads)  REPS=1
#   LOADS="none slow bodies large bigpic dotpath dotdirs"  SERVERS="tarvolin nginx"
#   LOAD_SECS=20  SLOW_SECS=35  INTERVAL=0.02  TIMEOUT=5  SLOW_CONNS=300
#   BODY_CONNS=400  BODY_ROUNDS=20  LARGE_PAR=2  BIGPIC_DIRS=300  DOT_VARIANTS=400
#   TVN_BIN=path  NGINX_ACCESS_LOG=off  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/hostile.sh" "$@"
require_tools curl nginx gm awk sort pgrep

if [ "${QUICK:-0}" = 1 ]; then
    LOAD_SECS=${LOAD_SECS:-10}; SLOW_SECS=${SLOW_SECS:-25}
else
    LOAD_SECS=${LOAD_SECS:-20}; SLOW_SECS=${SLOW_SECS:-35}
fi
REPS=${REPS:-1}
INTERVAL=${INTERVAL:-0.02}
TIMEOUT=${TIMEOUT:-5}
SLOW_CONNS=${SLOW_CONNS:-300}
BODY_CONNS=${BODY_CONNS:-400}
BODY_ROUNDS=${BODY_ROUNDS:-20}
LARGE_PAR=${LARGE_PAR:-2}
BIGPIC_DIRS=${BIGPIC_DIRS:-300}
DOT_VARIANTS=${DOT_VARIANTS:-400}
read -r -a LOADS <<<"${LOADS:-none slow bodies large bigpic dotpath dotdirs}"
read -r -a SERVERS <<<"${SERVERS:-tarvolin nginx}"
declare -A PORT=([tarvolin]=18110 [nginx]=18111)
LOAD=$BENCH_DIR/httpload.py
HUGE_PNG=$CACHE_DIR/hostile/huge-30000.png

bench_setup_work
check_idle
make_pictures

# --- fixture ---------------------------------------------------------------------------
ROOT=$WORK/root
mkdir -p "$ROOT/pics" "$ROOT/bigpic" "$WORK/src"
head -c 1024 /dev/urandom >"$ROOT/1k.bin"
printf 'a small page\n' >"$ROOT/x.txt"
"$PY" "$LOAD" maketext "$ROOT/big.txt" $((8 << 20))
cp "$PICS"/photo-0[123].jpg "$ROOT/pics/"
if [ ! -s "$HUGE_PNG" ]; then
    log "making a PNG of 30000x30000 pixels in $HUGE_PNG (once; about 10 s)"
    mkdir -p "$(dirname "$HUGE_PNG")"
    "$PY" "$LOAD" makepng "$HUGE_PNG" 30000 30000 || die "could not make $HUGE_PNG"
fi
# the loading client changes its mtime: a copy, never the cached file
cp "$HUGE_PNG" "$WORK/src/huge.png"
for ((i = 1; i <= BIGPIC_DIRS; i++)); do
    d=$(printf '%s/bigpic/big%03d' "$ROOT" "$i")
    mkdir "$d"
    ln "$WORK/src/huge.png" "$d/huge.png"
    printf '/bigpic/big%03d/\n' "$i" >>"$WORK/bigpic.txt"
done
dots=""
for ((i = 1; i <= DOT_VARIANTS; i++)); do
    dots+="./"
    printf '/pics/%s\n' "$dots" >>"$WORK/dotdirs.txt"
done
DOTPATH="/$(printf './%.0s' $(seq 2000))x.txt"
chmod -R a+rX "$ROOT" "$WORK/src"

# --- measuring ---------------------------------------------------------------------------
kv() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print substr($0, length(k) + 2) }'; }
add_ms() { local v=$2; [ "$v" = inf ] && v=1e9; [ -n "$v" ] && [ "$v" != n/a ] && add_res "$1" "$v"; }
rss_kib() { # SERVER -> VmRSS summed over its processes
    local p sum=0 v
    for p in $(proc_tree "${SRV_PID[$1]}"); do
        v=$(awk '/^VmRSS:/{print $2}' "/proc/$p/status" 2>/dev/null || true)
        [ -n "$v" ] && sum=$((sum + v))
    done
    echo "$sum"
}
declare -A NOTE=()

# Starts the load in the background; sets LOAD_PID and VISIT_SECS/VISIT_DELAY.
start_load() { # LOAD SERVER OUTFILE
    local load=$1 s=$2 out=$3 port=${PORT[$2]} cycle=()
    [ "$s" = nginx ] && cycle=(--cycle)
    VISIT_DELAY=0.5; VISIT_SECS=$((LOAD_SECS - 1)); LOAD_PID=""
    case $load in
    none) VISIT_DELAY=0; VISIT_SECS=$((LOAD_SECS / 2)); return 0 ;;
    slow)
        VISIT_DELAY=2; VISIT_SECS=$((SLOW_SECS - 4))
        "$PY" "$LOAD" slow "$port" --conns "$SLOW_CONNS" --interval 10 --duration "$SLOW_SECS" >"$out" & ;;
    bodies)
        "$PY" "$LOAD" bodies "$port" /1k.bin --conns "$BODY_CONNS" --size 1048576 \
            --rounds "$BODY_ROUNDS" --duration "$LOAD_SECS" --timeout 60 >"$out" & ;;
    large)
        "$PY" "$LOAD" loop "$port" /big.txt --par "$LARGE_PAR" --cycle --duration "$LOAD_SECS" \
            --timeout 60 >"$out" & ;;
    bigpic)
        "$PY" "$LOAD" loop "$port" --paths-file "$WORK/bigpic.txt" "${cycle[@]}" --duration "$LOAD_SECS" \
            --timeout 60 --touch "$WORK/src/huge.png" >"$out" & ;;
    dotpath)
        "$PY" "$LOAD" loop "$port" "$DOTPATH" --cycle --duration "$LOAD_SECS" --timeout 30 >"$out" & ;;
    dotdirs)
        http_get "http://127.0.0.1:$port/pics/" /dev/null 60 >/dev/null
        RSS_BEFORE=$(rss_kib "$s")
        "$PY" "$LOAD" loop "$port" --paths-file "$WORK/dotdirs.txt" --duration "$LOAD_SECS" \
            --timeout 30 >"$out" & ;;
    *) die "unknown load $load" ;;
    esac
    LOAD_PID=$!
    BG_PIDS+=("$LOAD_PID")
}

# one-line summary of what the load did, for the notes column
load_note() { # LOAD OUTFILE SERVER
    local line; line=$(cat "$2" 2>/dev/null)
    case $1 in
    none) echo "-" ;;
    slow) echo "opened $(kv opened "$line")/$SLOW_CONNS, server closed $(kv closed "$line"), answered $(kv answered "$line"), reset $(kv reset "$line"), connect failed $(kv connect_failed "$line")" ;;
    bodies) echo "$(kv rounds "$line") rounds of $BODY_CONNS, answers $(kv statuses "$line")" ;;
    large) echo "$(kv count "$line") pages ($(kv statuses "$line")), $(awk -v b="$(kv bytes "$line")" -v t="$LOAD_SECS" 'BEGIN{printf "%.0f", b/t/1e6}') MB/s, median $(kv median "$line") ms" ;;
    bigpic) echo "$(kv count "$line") listings ($(kv statuses "$line")), median $(kv median "$line") ms, max $(kv max "$line") ms" ;;
    dotpath) echo "$(kv count "$line") requests ($(kv statuses "$line")), median $(kv median "$line") ms" ;;
    dotdirs)
        local growth; growth=$(awk -v a="$RSS_BEFORE" -v b="$(rss_kib "$3")" 'BEGIN{printf "%+.1f", (b-a)/1024}')
        echo "$(kv count "$line")/$DOT_VARIANTS variants ($(kv statuses "$line")), median $(kv median "$line") ms, RSS $growth MB" ;;
    esac
}

one_run() { # LOAD SERVER REP
    local load=$1 s=$2 rep=$3 port=${PORT[$2]} r line hwm alive
    log "[$load, rep $rep/$REPS] $s"
    start_server "$s" "$s" "$ROOT" "$port" listing || return 0
    r=$(http_get "http://127.0.0.1:$port/1k.bin" /dev/null 10)
    if [ "${r%% *}" != 200 ]; then
        log "  $s: GET /1k.bin gave ${r:-nothing}; skipped"
        stop_server "$s"; return 0
    fi
    local hwmfile="$WORK/$s-$load-$rep.hwm" out="$WORK/$s-$load-$rep.load"
    sample_hwm "$s" "$hwmfile" &
    local sampler=$!
    BG_PIDS+=("$sampler")
    start_load "$load" "$s" "$out"
    sleep "$VISIT_DELAY"
    line=$("$PY" "$LOAD" visitor "$port" /1k.bin --size 1024 --interval "$INTERVAL" \
        --duration "$VISIT_SECS" --timeout "$TIMEOUT" --samples "$WORK/$s-$load-$rep.visitor")
    log "    visitor: $line"
    if [ -n "$LOAD_PID" ]; then
        # bounded: every load ends by itself; this is only a guard
        local i
        for ((i = 0; i < 600; i++)); do kill -0 "$LOAD_PID" 2>/dev/null || break; sleep 0.1; done
        kill "$LOAD_PID" 2>/dev/null && log "    load client still running after 60 s; stopped it"
        wait "$LOAD_PID" 2>/dev/null
        log "    load: $(cat "$out" 2>/dev/null)"
    fi
    add_ms "p50|$load|$s" "$(kv p50 "$line")"; add_ms "p99|$load|$s" "$(kv p99 "$line")"
    add_res "fail|$load|$s" "$(kv fail "$line")"
    NOTE["$load|$s"]=$(load_note "$load" "$out" "$s")
    # is it still there, and still answering?
    alive=""
    if ! kill -0 "${SRV_PID[$s]}" 2>/dev/null; then
        alive="SERVER DIED; "
        log "    $s DIED under the $load load; last lines of ${SRV_LOG[$s]}:"
        tail -n 15 "${SRV_LOG[$s]}" >&2 2>/dev/null
    else
        r=$(http_get "http://127.0.0.1:$port/1k.bin" /dev/null 10)
        [ "${r%% *}" = 200 ] || { alive="NOT ANSWERING after the load (${r:-nothing}); "; log "    $s: $alive"; }
    fi
    NOTE["$load|$s"]="$alive${NOTE[$load|$s]}"
    hwm=$(server_hwm "$s")
    kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null
    [ -z "$hwm" ] && hwm=$(cat "$hwmfile" 2>/dev/null)
    [ -n "$hwm" ] && add_res "mem|$load|$s" "$hwm"
    log "    peak memory ${hwm:-?} KiB; ${NOTE[$load|$s]}"
    stop_server "$s"
}

log "hostile: loads ${LOADS[*]}; ${LOAD_SECS}s each (slow: ${SLOW_SECS}s); visitor every ${INTERVAL}s, ${TIMEOUT}s timeout"
for ((rep = 1; rep <= REPS; rep++)); do
    for load in "${LOADS[@]}"; do
        for s in "${SERVERS[@]}"; do one_run "$load" "$s" "$rep"; done
    done
done

# --- report --------------------------------------------------------------------------------
cell() { # KEY DECIMALS [SCALE]
    local v out; v=$(res_median "$1")
    [ -n "$v" ] && [ -n "${3:-}" ] && v=$(awk -v v="$v" -v s="$3" 'BEGIN{print v/s}')
    if [ -n "$v" ] && awk -v v="$v" 'BEGIN{exit !(v >= 1e9)}'; then out="failed"; else out=$(fmt "$v" "$2"); fi
    echo "$out"
}
report() {
    echo
    echo "Hostile loads: the visitor's GET /1k.bin every ${INTERVAL}s (${TIMEOUT}s timeout), medians of $REPS run(s), loopback"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r), Tarvolin $(git -C "$(dirname "$TVN_BIN")" describe --always --dirty 2>/dev/null || echo "?")) $BUSY_NOTE"
    echo "peers: $(peer_versions nginx); loads run ${LOAD_SECS}s (slow: ${SLOW_SECS}s)"
    echo
    printf '%-8s %-9s %12s %12s %9s %9s  %s\n' load server "p50 (ms)" "p99 (ms)" failures "peak MB" notes
    printf '%s\n' "---------------------------------------------------------------------------------------------"
    local load s
    for load in "${LOADS[@]}"; do
        for s in "${SERVERS[@]}"; do
            [ -n "${NOTE[$load|$s]:-}" ] || { printf '%-8s %-9s %12s\n' "$load" "$s" "n/a"; continue; }
            printf '%-8s %-9s %12s %12s %9s %9s  %s\n' "$load" "$s" "$(cell "p50|$load|$s" 2)" \
                "$(cell "p99|$load|$s" 2)" "$(cell "fail|$load|$s" 0)" "$(cell "mem|$load|$s" 1 1024)" \
                "${NOTE[$load|$s]}"
        done
    done
    echo
    echo "failures: visitor requests that timed out, failed or got a wrong answer (of about"
    echo "$(awk -v d="$LOAD_SECS" -v i="$INTERVAL" 'BEGIN{printf "%d", (d-1)/i}') per load, $(awk -v d="$SLOW_SECS" -v i="$INTERVAL" 'BEGIN{printf "%d", (d-4)/i}') under slow); failed: the percentile fell on such a request."
    echo "peak MB: VmHWM (nginx: master + worker), the server started afresh for each load; notes from the last run."
    echo
    echo "raw samples:"
    local k
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/hostile-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
