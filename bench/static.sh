#!/usr/bin/env bash
# Static file serving: Tarvolin against nginx, lighttpd, webfsd and
# python3 -m http.server, all in the same run, one server under load at a time.
#
# Measures (HTTP/1.0, no keep-alive, unless said):
#   - requests/s for a 1 KiB and a 64 KiB file at concurrency 1 and 32 (ab)
#   - requests/s for the 1 KiB file at concurrency 1 and 32 with keep-alive (ab -k)
#   - single-stream MB/s (10^6 bytes/s) for a 100 MiB file (curl, several runs)
#   - peak memory of the server after its run (VmHWM, KiB, summed over its
#     processes: nginx counts master + worker)
# Each server is started fresh for every repetition; the table shows medians.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=3  QUICK=1 (short run)  SERVERS="tarvolin nginx ..."
#   N_C1=5000 N_C32=20000 (ab request counts)  TLIMIT=10 (ab seconds per run)
#   CURL_RUNS=3 (100 MiB downloads per repetition)  TVN_BIN=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/static.sh" "$@"
require_tools ab curl nginx lighttpd webfsd "$PY" awk sort pgrep

if [ "${QUICK:-0}" = 1 ]; then
    REPS=${REPS:-1}; N_C1=${N_C1:-1000}; N_C32=${N_C32:-5000}; TLIMIT=${TLIMIT:-5}; CURL_RUNS=${CURL_RUNS:-2}
else
    REPS=${REPS:-3}; N_C1=${N_C1:-5000}; N_C32=${N_C32:-20000}; TLIMIT=${TLIMIT:-10}; CURL_RUNS=${CURL_RUNS:-3}
fi
read -r -a SERVERS <<<"${SERVERS:-tarvolin nginx lighttpd webfsd python}"
declare -A PORT=([tarvolin]=18080 [nginx]=18081 [lighttpd]=18082 [webfsd]=18083 [python]=18084)
declare -A SIZE=([1k.bin]=1024 [64k.bin]=65536 [100m.bin]=104857600)

bench_setup_work
check_idle
ROOT=$WORK/www
mkdir -p "$ROOT"
head -c 1024 /dev/urandom >"$ROOT/1k.bin"
head -c 65536 /dev/urandom >"$ROOT/64k.bin"
head -c 104857600 /dev/urandom >"$ROOT/100m.bin"
chmod -R a+rX "$ROOT"

log "static: reps=$REPS ab c1 n=$N_C1 c32 n=$N_C32 (-t $TLIMIT s), 100 MiB x $CURL_RUNS per rep; servers: ${SERVERS[*]}"
[ -x "$TVN_BIN" ] || log "note: $TVN_BIN is missing; Tarvolin will show n/a (build with 'make build')"

# check_files SERVER: every fixture file answers 200 with the right size
check_files() {
    local s=$1 f r code size
    for f in 1k.bin 64k.bin 100m.bin; do
        r=$(http_get "http://127.0.0.1:${PORT[$s]}/$f" /dev/null)
        read -r code size _ <<<"$r"
        if [ "$code" != 200 ] || [ "$size" != "${SIZE[$f]}" ]; then
            log "  $s: GET /$f gave status ${code:-none}, ${size:-0} bytes (want 200, ${SIZE[$f]}); skipping it this round"
            return 1
        fi
    done
}

for ((rep = 1; rep <= REPS; rep++)); do
    for s in "${SERVERS[@]}"; do
        [ -n "${PORT[$s]:-}" ] || die "unknown server $s"
        log "[rep $rep/$REPS] $s"
        start_server "$s" "$s" "$ROOT" "${PORT[$s]}" || continue
        if ! check_files "$s"; then stop_server "$s"; continue; fi
        base="http://127.0.0.1:${PORT[$s]}"
        for f in 1k 64k; do
            for c in 1 32; do
                if [ "$c" = 1 ]; then n=$N_C1; else n=$N_C32; fi
                cpu0=$(server_cpu_ns "$s")
                read -r rps errs done_n <<<"$(run_ab "$base/$f.bin" "$c" "$n" "$TLIMIT")"
                us=$(cpu_per_request "$cpu0" "$(server_cpu_ns "$s")" "${done_n:-0}")
                if [ -n "$rps" ]; then add_res "${f}_c$c|$s" "$rps"; fi
                if [ -n "$us" ]; then add_res "cpu_${f}_c$c|$s" "$us"; fi
                [ "${errs:-1}" -gt 0 ] && RES_ERR["${f}_c$c|$s"]=1
                log "    $f c$c: ${rps:-failed} req/s ($done_n done, $errs errors)"
            done
        done
        for c in 1 32; do
            if [ "$c" = 1 ]; then n=$N_C1; else n=$N_C32; fi
            cpu0=$(server_cpu_ns "$s")
            read -r rps errs done_n <<<"$(run_ab "$base/1k.bin" "$c" "$n" "$TLIMIT" -k)"
            us=$(cpu_per_request "$cpu0" "$(server_cpu_ns "$s")" "${done_n:-0}")
            if [ -n "$rps" ]; then add_res "1k_c${c}_ka|$s" "$rps"; fi
            if [ -n "$us" ]; then add_res "cpu_1k_c${c}_ka|$s" "$us"; fi
            [ "${errs:-1}" -gt 0 ] && RES_ERR["1k_c${c}_ka|$s"]=1
            log "    1k c$c keep-alive: ${rps:-failed} req/s ($done_n done, $errs errors)"
        done
        for ((i = 1; i <= CURL_RUNS; i++)); do
            r=$(curl --http1.0 -s -o /dev/null --max-time 120 -w '%{http_code} %{size_download} %{speed_download}' "$base/100m.bin" 2>/dev/null || true)
            read -r code size speed <<<"$r"
            if [ "$code" = 200 ] && [ "$size" = 104857600 ]; then
                mbs=$(awk -v b="$speed" 'BEGIN{printf "%.1f", b/1e6}')
                add_res "big|$s" "$mbs"
                log "    100 MiB: $mbs MB/s"
            else
                RES_ERR["big|$s"]=1
                log "    100 MiB: failed (status ${code:-none}, ${size:-0} bytes)"
            fi
        done
        hwm=$(server_hwm "$s")
        [ -n "$hwm" ] && add_res "mem|$s" "$hwm"
        log "    peak memory: ${hwm:-?} KiB"
        stop_server "$s"
    done
done

# --- report ----------------------------------------------------------------------------
cell() { # KEY SERVER DECIMALS
    local v; v=$(res_median "$1|$2")
    local out; out=$(fmt "$v" "$3")
    [ -n "${RES_ERR[$1|$2]:-}" ] && out="$out*"
    echo "$out"
}
report() {
    echo
    echo "Static files: medians of $REPS run(s), HTTP/1.0 (keep-alive only where the row says), loopback"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r)) $BUSY_NOTE"
    echo "peers: $(peer_versions nginx lighttpd webfs apache2-utils), $("$PY" --version 2>&1)"
    echo
    local hdr=("${SERVERS[@]}")
    print_row "measure" "${hdr[@]}" "tvn/nginx"
    print_rule $((${#SERVERS[@]} + 1))
    local key label dec s cells
    for key in "1k_c1|1 KiB c1 (req/s)|0" "1k_c32|1 KiB c32 (req/s)|0" "64k_c1|64 KiB c1 (req/s)|0" \
        "64k_c32|64 KiB c32 (req/s)|0" "1k_c1_ka|1 KiB c1 keep-alive (req/s)|0" \
        "1k_c32_ka|1 KiB c32 keep-alive (req/s)|0" "big|100 MiB 1 stream (MB/s)|1" "mem|peak memory (VmHWM KiB)|0" \
        "cpu_1k_c1|server CPU, 1 KiB c1 (us/req)|1" "cpu_64k_c1|server CPU, 64 KiB c1 (us/req)|1" \
        "cpu_1k_c32|server CPU, 1 KiB c32 (us/req)|1" "cpu_1k_c1_ka|server CPU, 1 KiB c1 keep-alive (us/req)|1"; do
        IFS='|' read -r k label dec <<<"$key"
        cells=()
        for s in "${SERVERS[@]}"; do cells+=("$(cell "$k" "$s" "$dec")"); done
        print_row "$label" "${cells[@]}" "$(ratio "$(res_median "$k|tarvolin")" "$(res_median "$k|nginx")")"
    done
    echo
    echo "n/a: server missing, failed to start or gave wrong answers.  *: some requests failed or got non-2xx answers (see log; only good answers are counted)."
    echo "tvn/nginx > 1 means Tarvolin is faster (req/s, MB/s) or uses more memory (KiB) or CPU (us/req)."
    echo "server CPU: the server's threads' CPU time (schedstat) over the run, per completed request."
    echo
    echo "raw samples:"
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/static-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
