#!/usr/bin/env bash
# Page load of an album of 100 pictures in headless Chromium at phone size (cache off)
# through a proxy that gives every connection a 50 ms round trip: Tarvolin's own listing
# with its thumbnails, and a static copy of that page and its thumbnails served by
# Tarvolin and by nginx (keep-alive on both), so that all serve the same bytes; and both
# again from Tarvolin over HTTPS (a test CA of the script's own, trusted by Chromium through
# an NSS database in its HOME, as a user adds a CA). With
# TVN_OLD=path a second Tarvolin binary (one that answers one request per connection) runs
# beside it.
# Then a phone album of 300 pictures (NPHONE) through the built-in listing as it is (sharp
# thumbnails for the 2x screen, loaded lazily, sizes given) and through the same template
# with today's plain thumbnail tags (%NAME%), as the listing was before: the time to the
# load event, to DOMContentLoaded, the pictures shown by the load event and the bytes
# fetched; and both as static copies from nginx.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs: REPS=3  RTT_MS=50  NPHOTOS=100  NPHONE=300  TVN_BIN=path  TVN_OLD=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/album.sh" "$@"
require_tools nginx curl chromium node "$PY" awk sort pgrep openssl certutil

REPS=${REPS:-3}; RTT_MS=${RTT_MS:-50}; NPHOTOS=${NPHOTOS:-100}; NPHONE=${NPHONE:-300}
bench_setup_work
make_pictures
ROOT=$WORK/www
mkdir -p "$ROOT/Album" "$ROOT/Phone"
for ((i = 0; i < NPHOTOS; i++)); do
    cp "$PICS/$(printf 'photo-%02d.jpg' $((i % NPICS + 1)))" "$ROOT/Album/$(printf 'img-%03d.jpg' "$i")"
done
for ((i = 0; i < NPHONE; i++)); do
    cp "$PICS/$(printf 'photo-%02d.jpg' $((i % NPICS + 1)))" "$ROOT/Phone/$(printf 'IMG_%04d.jpg' "$i")"
done
chmod -R a+rX "$ROOT"
# The built-in listing as it was before the sharp, lazy thumbnails: the same page with the
# plain tags that every other template gets.
PLAIN_DIR=$WORK/plain.dir
sed 's/%THUMBNAIL%/%NAME%/g' "$REPO_DIR/resources/CONTENT/.dir" >"$PLAIN_DIR"
grep -q '%NAME%</a><figcaption>' "$PLAIN_DIR" || die "the built-in .dir has no %THUMBNAIL% to replace"

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
    local dcl kb
    read -r ms imgs dcl kb <<<"$out"
    if [ -n "${ms:-}" ]; then
        add_res "$name" "$ms"
        if [ "${LOAD_DETAILS:-}" = 1 ]; then
            add_res "$name (DOMContentLoaded)" "$dcl"; add_res "$name (pictures shown)" "$imgs"
            add_res "$name (KB fetched)" "$kb"
        fi
        log "    $name: $ms ms, $imgs pictures shown, DOMContentLoaded $dcl ms, $kb KB fetched"
    else log "    $name: failed"; fi
}

# The static copy: the listing at URL path FOLDER as Tarvolin makes it, its thumbnails (and
# the sharp ones of its srcset) as files, saved as /copy/PAGE.
make_copy() {
    local port=$1 folder=${2:-/Album/} page=${3:-album.html} html
    mkdir -p "$ROOT/copy/t"
    html=$(curl -s "http://127.0.0.1:$port$folder")
    local i url file
    i=$(find "$ROOT/copy/t" -name '*.jpg' | wc -l)
    for url in $(grep -oE '(src|srcset)="/Thumbnail[^" ]*' <<<"$html" | sed 's/^[a-z]*="//' | sort -u); do
        file=/copy/t/$i.jpg
        curl -s -o "$ROOT$file" "http://127.0.0.1:$port$url"
        html=${html//"\"$url\""/"\"$file\""}
        html=${html//"\"$url "/"\"$file "}
        i=$((i + 1))
    done
    printf '%s' "$html" >"$ROOT/copy/$page"
    : >"$ROOT/copy/.file" # an empty frame: the page goes out as it is
    chmod -R a+rX "$ROOT/copy"
    log "  static copy of $folder: $(grep -c . <<<"$(grep -oE '/copy/t/[0-9]+\.jpg' "$ROOT/copy/$page" | sort -u)") thumbnails"
}

# warm FOLDER: asks for the listing until it comes. The first listing of a cold album of
# many pictures can outlast the connection's idle limit (60 s); its thumbnails are made all
# the same, and a later request finds them.
warm() {
    local i started=$EPOCHREALTIME
    for ((i = 0; i < 10; i++)); do
        if [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 300 "http://127.0.0.1:18090$1")" = 200 ]; then
            log "  $1 listed after $(elapsed "$started" "$EPOCHREALTIME") s ($((i + 1)) requests)"
            return 0
        fi
    done
    log "  $1 was never listed"
    return 1
}

# The phone album, as it is and as it was (the same pictures, the same thumbnails).
load_phone() {
    local s=$1
    warm /Phone/
    [ -f "$ROOT/copy/phone.html" ] || make_copy 18090 /Phone/ phone.html
    LOAD_DETAILS=1 load "$s phone listing" 18090 /Phone/
    cp "$PLAIN_DIR" "$ROOT/Phone/.dir"; chmod a+r "$ROOT/Phone/.dir"
    warm /Phone/
    [ -f "$ROOT/copy/phone-plain.html" ] || make_copy 18090 /Phone/ phone-plain.html
    LOAD_DETAILS=1 load "$s phone listing, plain tags" 18090 /Phone/
    rm -f "$ROOT/Phone/.dir"
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
            load_phone "$s"
        fi
        stop_server "$s"
    done
    if start_server nginx nginx "$ROOT" 18091; then
        load "nginx copy" 18091 /copy/album.html
        LOAD_DETAILS=1 load "nginx phone copy" 18091 /copy/phone.html
        LOAD_DETAILS=1 load "nginx phone copy, plain tags" 18091 /copy/phone-plain.html
        stop_server nginx
    fi
done

mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/album-$(date -u +%Y%m%d-%H%M%S).txt"
{
    echo "Album of $NPHOTOS pictures and phone album of $NPHONE, phone size (2x screen), cache off, $RTT_MS ms round trip; medians of $REPS (ms to the load event unless named)"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores) $BUSY_NOTE"
    while IFS= read -r k; do
        [ -n "$k" ] || continue
        # The phone album is set against nginx serving its own copy, the same way.
        base="nginx copy"
        if [[ $k == *phone* ]]; then
            base="nginx phone copy"; [[ $k == *"plain tags"* ]] && base+=", plain tags"
            [[ $k == *"("* ]] && base+=" (${k##*(}"
        fi
        printf '  %-50s %8s   /nginx copy %s   samples: %s\n' "$k" "$(fmt "$(res_median "$k")" 0)" \
            "$(ratio "$(res_median "$k")" "$(res_median "$base")")" "${RES[$k]}"
    done < <(printf '%s\n' "${!RES[@]}" | sort)
} | tee "$out"
log "saved to $out"
