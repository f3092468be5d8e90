#!/usr/bin/env bash
# A folder as one ZIP download: Tarvolin's GET /Folder/?zip of a 1 GiB folder (eight files
# of 128 MiB) beside nginx sending one file of 1 GiB, one stream each (curl), from the page
# cache (each is fetched once before it is measured).
#
# Measures single-stream MB/s (10^6 bytes/s), the median of CURL_RUNS downloads, and the
# archive's length against the files' (the headers, descriptors and directory it adds).
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): CURL_RUNS=3  TVN_BIN=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/zip.sh" "$@"
require_tools curl nginx awk sort

CURL_RUNS=${CURL_RUNS:-3}
declare -A PORT=([tarvolin]=18080 [nginx]=18081)
declare -A URL=([tarvolin]="/Folder/?zip" [nginx]="/one.bin")

bench_setup_work
check_idle
ROOT=$WORK/www
mkdir -p "$ROOT/Folder"
for i in 1 2 3 4 5 6 7 8; do head -c 134217728 /dev/urandom >"$ROOT/Folder/part$i.bin"; done
cat "$ROOT"/Folder/part*.bin >"$ROOT/one.bin"
chmod -R a+rX "$ROOT"
files=$((8 * 134217728))

log "zip: 1 GiB folder as ?zip against nginx's 1 GiB file, $CURL_RUNS runs each"
for s in tarvolin nginx; do
    start_server "$s" "$s" "$ROOT" "${PORT[$s]}" || continue
    url="http://127.0.0.1:${PORT[$s]}${URL[$s]}"
    curl -s -o /dev/null --max-time 300 "$url" || true # into the page cache
    for ((i = 1; i <= CURL_RUNS; i++)); do
        r=$(curl --http1.0 -s -o /dev/null --max-time 300 -w '%{http_code} %{size_download} %{speed_download}' "$url" 2>/dev/null || true)
        read -r code size speed <<<"$r"
        if [ "$code" = 200 ]; then
            mbs=$(awk -v b="$speed" 'BEGIN{printf "%.1f", b/1e6}')
            add_res "mbs|$s" "$mbs"
            add_res "size|$s" "$size"
            log "    $s: $mbs MB/s ($size bytes)"
        else
            log "    $s: failed (status ${code:-none}, ${size:-0} bytes)"
        fi
    done
    stop_server "$s"
done

report() {
    echo
    echo "One 1 GiB download, one stream, loopback, medians of $CURL_RUNS run(s)"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r)) $BUSY_NOTE"
    echo "peers: $(peer_versions nginx)"
    echo
    print_row "measure" "tarvolin ?zip" "nginx file" "tvn/nginx"
    print_rule 3
    print_row "MB/s" "$(fmt "$(res_median "mbs|tarvolin")" 1)" "$(fmt "$(res_median "mbs|nginx")" 1)" \
        "$(ratio "$(res_median "mbs|tarvolin")" "$(res_median "mbs|nginx")")"
    print_row "bytes beyond the files" "$(awk -v a="$(res_median "size|tarvolin")" -v b="$files" 'BEGIN{print a-b}')" \
        "$(awk -v a="$(res_median "size|nginx")" -v b="$files" 'BEGIN{print a-b}')" ""
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/zip-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
