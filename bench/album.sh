#!/usr/bin/env bash
# Page load of an album of 100 pictures in headless Chromium at phone size (cache off)
# through a proxy that gives every connection a 50 ms round trip: Tarvolin's own listing
# with its thumbnails, and a static copy of that page and its thumbnails served by
# Tarvolin and by nginx (keep-alive on both), so that all serve the same bytes; and both
# again from Tarvolin over HTTPS (a test CA of the script's own, trusted by Chromium through
# an NSS database in its HOME, as a user adds a CA). With
# TVN_OLD=path a second Tarvolin binary (one that answers one request per connection) runs
# beside it.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs: REPS=3  RTT_MS=50  NPHOTOS=100  TVN_BIN=path  TVN_OLD=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/album.sh" "$@"
require_tools nginx curl chromium node "$PY" awk sort pgrep openssl certutil

REPS=${REPS:-3}; RTT_MS=${RTT_MS:-50}; NPHOTOS=${NPHOTOS:-100}
bench_setup_work
make_pictures
ROOT=$WORK/www
mkdir -p "$ROOT/Album"
for ((i = 0; i < NPHOTOS; i++)); do
    cp "$PICS/$(printf 'photo-%02d.jpg' $((i % NPICS + 1)))" "$ROOT/Album/$(printf 'img-%03d.jpg' "$i")"
done
chmod -R a+rX "$ROOT"

# The test CA and Tarvolin's certificate for 127.0.0.1, signed by it; the CA trusted for web
# sites in the NSS database of Chromium's HOME.
tls=$WORK/tls
mkdir -p "$tls" "$WORK/home/.pki/nssdb"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Album Bench CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" 2>/dev/null &&
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
        -keyout "$tls/key.pem" -out "$tls/server.csr" 2>/dev/null &&
    printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$tls/ext.cnf" &&
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" -CAcreateserial \
        -days 2 -extfile "$tls/ext.cnf" -out "$tls/cert.pem" 2>/dev/null &&
    certutil -d "sql:$WORK/home/.pki/nssdb" -N --empty-password &&
    certutil -d "sql:$WORK/home/.pki/nssdb" -A -t "C,," -n "Album Bench CA" -i "$tls/ca.pem" ||
    die "could not make or trust the test certificate"
TLS_SETTINGS="HttpsPort=18092
TlsCertificate=$tls/cert.pem
TlsKey=$tls/key.pem"

devtools=19222
HOME=$WORK/home chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --user-data-dir="$WORK/chromium" --remote-debugging-port="$devtools" about:blank \
    >"$WORK/chromium.log" 2>&1 &
BG_PIDS+=($!)

# load NAME PORT PATH [SCHEME]: one page load through the proxy, recorded under NAME
load() {
    local name=$1 port=$2 path=$3 scheme=${4:-http} proxy=$(( $2 + 100 )) out ms imgs
    "$PY" "$BENCH_DIR/delay_proxy.py" "$proxy" "$port" "$RTT_MS" &
    local pp=$!
    sleep 0.3
    out=$(timeout 120 node --experimental-websocket "$BENCH_DIR/album.mjs" "$devtools" "$scheme://127.0.0.1:$proxy$path" 2>>"$WORK/node.log")
    kill "$pp" 2>/dev/null; wait "$pp" 2>/dev/null
    read -r ms imgs <<<"$out"
    if [ -n "${ms:-}" ]; then add_res "$name" "$ms"; log "    $name: $ms ms, $imgs pictures shown"; else log "    $name: failed"; fi
}

# The static copy: the listing as Tarvolin makes it, its thumbnails as files.
make_copy() {
    local port=$1 html
    mkdir -p "$ROOT/copy/t"
    html=$(curl -s "http://127.0.0.1:$port/Album/")
    local i=0 url
    for url in $(grep -o 'src="/[^"]*"' <<<"$html" | sed 's/^src="//; s/"$//' | sort -u); do
        curl -s -o "$ROOT/copy/t/$i.jpg" "http://127.0.0.1:$port$url"
        html=${html//"src=\"$url\""/"src=\"/copy/t/$i.jpg\""}
        i=$((i + 1))
    done
    printf '%s' "$html" >"$ROOT/copy/album.html"
    : >"$ROOT/copy/.file" # an empty frame: the page goes out as it is
    chmod -R a+rX "$ROOT/copy"
    log "  static copy: $i thumbnails"
}

servers=(tarvolin)
[ -n "${TVN_OLD:-}" ] && servers+=(tarvolin-old)
for ((rep = 1; rep <= REPS; rep++)); do
    log "[rep $rep/$REPS]"
    for s in "${servers[@]}"; do
        bin=$TVN_BIN; [ "$s" = tarvolin-old ] && bin=$TVN_OLD
        more=""; [ "$s" = tarvolin ] && more=$TLS_SETTINGS
        TVN_MORE_SETTINGS=$more TVN_BIN=$bin start_server tarvolin "$s" "$ROOT" 18090 || continue
        # The thumbnails are made once; the loads measure the answers, not the decoding.
        curl -s -o /dev/null "http://127.0.0.1:18090/Album/"
        [ -f "$ROOT/copy/album.html" ] || make_copy 18090
        load "$s listing" 18090 /Album/
        load "$s copy" 18090 /copy/album.html
        if [ "$s" = tarvolin ]; then
            load "$s https listing" 18092 /Album/ https
            load "$s https copy" 18092 /copy/album.html https
        fi
        stop_server "$s"
    done
    start_server nginx nginx "$ROOT" 18091 && { load "nginx copy" 18091 /copy/album.html; stop_server nginx; }
done

mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/album-$(date -u +%Y%m%d-%H%M%S).txt"
{
    echo "Album of $NPHOTOS pictures, phone size, cache off, $RTT_MS ms round trip; medians of $REPS (ms to the load event)"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores) $BUSY_NOTE"
    while IFS= read -r k; do
        [ -n "$k" ] || continue
        printf '  %-22s %8s ms   /nginx copy %s   samples: %s\n' "$k" "$(fmt "$(res_median "$k")" 0)" \
            "$(ratio "$(res_median "$k")" "$(res_median "nginx copy")")" "${RES[$k]}"
    done < <(printf '%s\n' "${!RES[@]}" | sort)
} | tee "$out"
log "saved to $out"
