#!/usr/bin/env bash
# HTTPS: Tarvolin against nginx (one worker) with the same certificate (ECDSA P-256) and
# the same protocol versions and ciphers, one server under load at a time:
#   - new TLS handshakes per second, each with a GET of a 1 KiB file (openssl s_time -new)
#   - the same with resumed sessions (openssl s_time -reuse)
#   - 1 KiB answers per second over one kept connection (ab -k, concurrency 1 and 32)
#
# Runs itself inside a private network namespace with only loopback.
# Knobs: REPS=3  SECONDS_EACH=5  N_KA=5000  TVN_BIN=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/tls.sh" "$@"
require_tools nginx openssl ab curl awk sort pgrep

REPS=${REPS:-3}; SECONDS_EACH=${SECONDS_EACH:-5}; N_KA=${N_KA:-5000}
bench_setup_work
ROOT=$WORK/www
mkdir -p "$ROOT"
head -c 1024 /dev/urandom >"$ROOT/1k.bin"
chmod -R a+rX "$ROOT"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=localhost \
    -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null ||
    die "openssl could not make the certificate"
CIPHERS=ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305

start_tvn() {
    TVN_MORE_SETTINGS="HttpsPort=18443
TlsCertificate=$WORK/cert.pem
TlsKey=$WORK/key.pem" start_server tarvolin tarvolin "$ROOT" 18085
}

start_nginx() {
    local d="$WORK/srv-nginx"
    nginx_conf_head "$d"
    cat >>"$d/nginx.conf" <<CFG
    sendfile on;
    keepalive_requests 100;
    keepalive_timeout 15s;
    server {
        listen 127.0.0.1:18444 ssl;
        ssl_certificate $WORK/cert.pem;
        ssl_certificate_key $WORK/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_ciphers $CIPHERS;
        ssl_session_tickets on;
        root $ROOT;
    }
}
CFG
    launch_nginx "$d"
}

# wait_tls PORT: until the port answers over TLS (bounded)
wait_tls() {
    local i
    for ((i = 0; i < 100; i++)); do
        curl -sk -o /dev/null --max-time 2 "https://127.0.0.1:$1/1k.bin" && return 0
        sleep 0.1
    done
    return 1
}

# s_time_rate PORT MODE -> "CONNECTIONS_PER_SECOND CONNECTIONS"
s_time_rate() {
    openssl s_time -connect "127.0.0.1:$1" "$2" -www /1k.bin -time "$SECONDS_EACH" 2>/dev/null |
        awk '/connections in [0-9.]+ real seconds/ { for (i=1;i<=NF;i++) if ($i=="connections") n=$(i-1); for (i=1;i<=NF;i++) if ($i=="real") t=$(i-1) } END { if (t>0) printf "%.1f %d", n/t, n }'
}

# handshakes SERVER PORT MODE KEY LABEL: the rate and the server's CPU per connection
handshakes() {
    local cpu0 v n us
    cpu0=$(server_cpu_ns "$1")
    read -r v n <<<"$(s_time_rate "$2" "$3")"
    us=$(cpu_per_request "$cpu0" "$(server_cpu_ns "$1")" "${n:-0}")
    [ -n "$v" ] && add_res "$4|$1" "$v"
    [ -n "$us" ] && add_res "cpu_$4|$1" "$us"
    log "    $5: ${v:-failed}/s, server CPU ${us:-?} us each"
}

for ((rep = 1; rep <= REPS; rep++)); do
    for s in tarvolin nginx; do
        log "[rep $rep/$REPS] $s"
        if [ "$s" = tarvolin ]; then start_tvn; port=18443; else start_nginx; port=18444; fi
        if ! wait_tls "$port"; then log "  $s: no HTTPS answer"; tail -5 "${SRV_LOG[$s]}" >&2; stop_server "$s"; continue; fi
        handshakes "$s" "$port" -new new "new handshakes"
        handshakes "$s" "$port" -reuse reuse "resumed"
        for c in 1 32; do
            cpu0=$(server_cpu_ns "$s")
            read -r rps errs done_n <<<"$(run_ab "https://127.0.0.1:$port/1k.bin" "$c" "$N_KA" 10 -k)"
            us=$(cpu_per_request "$cpu0" "$(server_cpu_ns "$s")" "${done_n:-0}")
            [ -n "$rps" ] && add_res "ka_c$c|$s" "$rps"
            [ -n "$us" ] && add_res "cpu_ka_c$c|$s" "$us"
            log "    1 KiB keep-alive c$c: ${rps:-failed} req/s ($done_n done, $errs errors)"
        done
        hwm=$(server_hwm "$s"); [ -n "$hwm" ] && add_res "mem|$s" "$hwm"
        stop_server "$s"
    done
done

mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/tls-$(date -u +%Y%m%d-%H%M%S).txt"
{
    echo "HTTPS, same certificate and ciphers, medians of $REPS run(s), loopback $BUSY_NOTE"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores; $(openssl version); $(peer_versions nginx))"
    print_row "measure" tarvolin nginx "tvn/nginx"
    print_rule 3
    for key in "new|new handshakes + GET 1 KiB (/s)" "reuse|resumed handshakes + GET 1 KiB (/s)" \
        "ka_c1|1 KiB keep-alive c1 (req/s)" "ka_c32|1 KiB keep-alive c32 (req/s)" "mem|peak memory (VmHWM KiB)" \
        "cpu_new|server CPU per new handshake + GET (us)|1" "cpu_reuse|server CPU per resumed handshake + GET (us)|1" \
        "cpu_ka_c1|server CPU per kept request, c1 (us)|1" "cpu_ka_c32|server CPU per kept request, c32 (us)|1"; do
        IFS='|' read -r k label dec <<<"$key"
        print_row "$label" "$(fmt "$(res_median "$k|tarvolin")" "${dec:-0}")" "$(fmt "$(res_median "$k|nginx")" "${dec:-0}")" \
            "$(ratio "$(res_median "$k|tarvolin")" "$(res_median "$k|nginx")")"
    done
    echo "tvn/nginx > 1: Tarvolin faster (/s), or using more memory or CPU (KiB, us)."
    echo "server CPU: the server's threads' CPU time (schedstat) over the run, per connection or request."
    echo
    echo "raw samples:"
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
} | tee "$out"
log "saved to $out"
