#!/usr/bin/env bash
# Folder listings and thumbnails.
#
# 1. Listing throughput: requests/s of GET /d1000/ and /d10000/ (folders of
#    1000 and 10000 small files, trailing slash) for Tarvolin, nginx
#    (autoindex on), lighttpd (dir-listing) and webfsd (its own listing),
#    HTTP/1.0, ab at concurrency 1 and 32, one server under load at a time.
# 2. Thumbnails: 20 JPEG pictures of 4000x3000 (generated once, cached in
#    bench/.cache/pics). Tarvolin, freshly started with an empty thumbnail cache
#    on disk (so the process is cold): time of the first listing GET of the
#    folder plus fetching every Thumbnail__XXXXXXXX URL found in that HTML, as
#    a browser would (up to THUMB_PAR at a time) -> pictures/s. Compared with
#    vipsthumbnail (one process, 100x100) and GraphicsMagick gm mogrify
#    (-size 200x200 -thumbnail 100x100) on the same files in the same run.
#    Then the warm listing time (second GET), which should need no decoding, and
#    the first listing of a restarted process, which reads the thumbnails back.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=3  QUICK=1 (short run)  TLIMIT=8 (ab seconds per run)
#   N1K_C1=2000 N1K_C32=5000 N10K_C1=300 N10K_C32=1000 (ab request counts)
#   THUMB_PAR=6 (parallel thumbnail fetches)  SKIP_LIST=1  SKIP_THUMBS=1
#   LIST_SERVERS="tarvolin nginx lighttpd webfsd" (which servers list)
#   TVN_BIN=path  KEEP=1 (keep the temp folder)
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/listing.sh" "$@"
require_tools ab curl nginx lighttpd webfsd vipsthumbnail gm /usr/bin/time awk sort pgrep grep

if [ "${QUICK:-0}" = 1 ]; then
    REPS=${REPS:-1}; TLIMIT=${TLIMIT:-4}
    N1K_C1=${N1K_C1:-500}; N1K_C32=${N1K_C32:-1000}; N10K_C1=${N10K_C1:-50}; N10K_C32=${N10K_C32:-200}
else
    REPS=${REPS:-3}; TLIMIT=${TLIMIT:-8}
    N1K_C1=${N1K_C1:-2000}; N1K_C32=${N1K_C32:-5000}; N10K_C1=${N10K_C1:-300}; N10K_C32=${N10K_C32:-1000}
fi
declare -A NREQ=([d1000_c1]=$N1K_C1 [d1000_c32]=$N1K_C32 [d10000_c1]=$N10K_C1 [d10000_c32]=$N10K_C32)
THUMB_PAR=${THUMB_PAR:-6}
NPICS=20 # also in lib.sh, where the pictures are made
read -ra LIST_SERVERS <<<"${LIST_SERVERS:-tarvolin nginx lighttpd webfsd}"
declare -A PORT=([tarvolin]=18090 [nginx]=18091 [lighttpd]=18092 [tarvolin-thumbs]=18093 [webfsd]=18094)

bench_setup_work
check_idle

# --- fixtures ----------------------------------------------------------------------------
LROOT=$WORK/list
mkdir -p "$LROOT/d1000" "$LROOT/d10000"
for i in $(seq -w 1 1000); do printf 'x\n' >"$LROOT/d1000/file-0$i.txt"; done
for i in $(seq -w 1 10000); do printf 'x\n' >"$LROOT/d10000/file-$i.txt"; done
chmod -R a+rX "$LROOT"

# make_pictures (lib.sh) makes the test pictures once into $PICS

# --- part 1: listing throughput -------------------------------------------------------
# check_listing SERVER PATH -> page size in bytes, or fails
check_listing() {
    local s=$1 p=$2 r code size
    r=$(http_get "http://127.0.0.1:${PORT[$s]}$p" "$WORK/page.html")
    read -r code size _ <<<"$r"
    if [ "$code" != 200 ] || ! grep -q 'file-[0-9]' "$WORK/page.html"; then
        log "  $s: GET $p gave status ${code:-none}, ${size:-0} bytes, no file-NNNNN names in it; skipping it this round"
        return 1
    fi
    echo "$size"
}

list_part() {
    local rep s d c n key rps errs done_n size ok
    for ((rep = 1; rep <= REPS; rep++)); do
        for s in "${LIST_SERVERS[@]}"; do
            log "[listing rep $rep/$REPS] $s"
            start_server "$s" "$s" "$LROOT" "${PORT[$s]}" listing || continue
            ok=1
            for d in d1000 d10000; do
                size=$(check_listing "$s" "/$d/") || { ok=0; break; }
                add_res "size_$d|$s" "$(awk -v b="$size" 'BEGIN{print b/1024}')"
            done
            if [ "$ok" = 1 ]; then
                for d in d1000 d10000; do
                    for c in 1 32; do
                        key="${d}_c$c"
                        n=${NREQ[$key]}
                        read -r rps errs done_n <<<"$(run_ab "http://127.0.0.1:${PORT[$s]}/$d/" "$c" "$n" "$TLIMIT")"
                        [ -n "$rps" ] && add_res "$key|$s" "$rps"
                        [ "${errs:-1}" -gt 0 ] && RES_ERR["$key|$s"]=1
                        log "    /$d/ c$c: ${rps:-failed} req/s ($done_n done, $errs errors)"
                    done
                done
                hwm=$(server_hwm "$s")
                [ -n "$hwm" ] && add_res "mem|$s" "$hwm"
            fi
            stop_server "$s"
        done
    done
}

# --- part 2: thumbnails ------------------------------------------------------------------
warm_cache() { cat "$TROOT"/pics/*.jpg >/dev/null; }

# thumbnail_urls HTMLFILE BASEURL FOLDERPATH -> absolute URLs, one a line
thumbnail_urls() {
    local html=$1 base=$2 folder=$3 u
    grep -oE "[^\"' <>()=]*Thumbnail__[0-9A-Za-z]+[^\"' <>()]*" "$html" | sed 's/&amp;/\&/g' | awk '!seen[$0]++' |
        while IFS= read -r u; do
            case $u in
            http://* | https://*)
                # only ever ask our own loopback server: keep the path, drop the host
                u=/${u#*://*/}
                echo "$base$u" ;;
            //*) echo "$base/${u#//*/}" ;;
            /*) echo "$base$u" ;;
            *) echo "$base$folder$u" ;;
            esac
        done
}

tarvolin_thumbs() {
    local rep=$1 s=tarvolin-thumbs port=${PORT[tarvolin-thumbs]}
    local base="http://127.0.0.1:$port" t0 t1 t2 r code size tlist nurl nok tw tr
    # The disk cache starts empty, and the restart below finds what this run kept there.
    export TVN_CACHE_HOME="$WORK/tvn-cache-$rep"
    rm -rf "$TVN_CACHE_HOME"
    start_server tarvolin "$s" "$TROOT" "$port" || { unset TVN_CACHE_HOME; return 0; }
    warm_cache
    t0=$(now)
    r=$(http_get "$base/pics/" "$WORK/pics.html" 300)
    t1=$(now)
    read -r code size tlist <<<"$r"
    if [ "$code" != 200 ]; then
        log "  tarvolin: GET /pics/ gave status ${code:-none}; skipped"
        stop_server "$s"; return 0
    fi
    thumbnail_urls "$WORK/pics.html" "$base" /pics/ >"$WORK/thumb-urls.txt"
    nurl=$(wc -l <"$WORK/thumb-urls.txt")
    if [ "$nurl" -eq 0 ]; then
        log "  tarvolin: no Thumbnail__ URLs in the listing of /pics/ ($size bytes); first lines:"
        head -c 600 "$WORK/pics.html" >&2; log ""
        stop_server "$s"; return 0
    fi
    [ "$nurl" -ne "$NPICS" ] && log "  tarvolin: found $nurl Thumbnail__ URLs in the listing (expected $NPICS)"
    : >"$WORK/curl-thumbs.cfg"
    while IFS= read -r u; do printf 'url = "%s"\noutput = "/dev/null"\n' "$u" >>"$WORK/curl-thumbs.cfg"; done <"$WORK/thumb-urls.txt"
    curl --http1.0 -s -Z --parallel-max "$THUMB_PAR" --max-time 300 -K "$WORK/curl-thumbs.cfg" \
        -w '%{http_code} %{size_download} %{content_type}\n' >"$WORK/thumb-results.txt" 2>/dev/null || true
    t2=$(now)
    nok=$(awk '$1 == 200 && $2 > 0' "$WORK/thumb-results.txt" | wc -l)
    if [ "$nok" -ne "$nurl" ]; then
        RES_ERR["pps|tarvolin"]=1
        log "  tarvolin: only $nok of $nurl thumbnails answered 200 with a body:"
        sort "$WORK/thumb-results.txt" | uniq -c | head -5 >&2
    fi
    # second (warm) listing: the thumbnails are known now, nothing to decode
    r=$(http_get "$base/pics/" /dev/null 60)
    read -r code _ tw <<<"$r"
    local total; total=$(elapsed "$t0" "$t2")
    add_res "pps|tarvolin" "$(awk -v n="$NPICS" -v t="$total" 'BEGIN{printf "%.3f", n/t}')"
    add_res "secs|tarvolin" "$total"
    add_res "cold_list_ms|tarvolin" "$(awk -v t="$tlist" 'BEGIN{printf "%.2f", t*1000}')"
    add_res "fetch_ms|tarvolin" "$(awk -v a="$t1" -v b="$t2" 'BEGIN{printf "%.2f", (b-a)*1000}')"
    [ "$code" = 200 ] && add_res "warm_list_ms|tarvolin" "$(awk -v t="$tw" 'BEGIN{printf "%.2f", t*1000}')"
    hwm=$(server_hwm "$s")
    [ -n "$hwm" ] && add_res "tmem|tarvolin" "$hwm"
    log "    tarvolin: ${total}s for $NPICS (cold listing $(fmt "$tlist" 3)s, $nok/$nurl thumbnails), warm listing $(fmt "$tw" 4)s, peak ${hwm:-?} KiB"
    stop_server "$s"
    # A new process with the thumbnails the last one kept on disk: read back, not decoded.
    if start_server tarvolin "$s" "$TROOT" "$port"; then
        warm_cache
        r=$(http_get "$base/pics/" /dev/null 300)
        read -r code _ tr <<<"$r"
        [ "$code" = 200 ] && add_res "restart_list_ms|tarvolin" "$(awk -v t="$tr" 'BEGIN{printf "%.2f", t*1000}')"
        log "    tarvolin: after a restart the listing took $(fmt "$tr" 4)s"
        stop_server "$s"
    fi
    unset TVN_CACHE_HOME
}

# tool_thumbs NAME OUTDIR CMD... : runs CMD with the picture names appended, in
# the pictures folder, timed (wall clock, includes process start)
tool_thumbs() {
    local name=$1 out=$2; shift 2
    rm -rf "$out"; mkdir -p "$out"
    warm_cache
    local t0 t1 rc n
    t0=$(now)
    (cd "$TROOT/pics" && timeout 600 /usr/bin/time -f '%M' -o "$WORK/$name.mem" "$@" "${PIC_NAMES[@]}" >"$WORK/$name.log" 2>&1)
    rc=$?
    t1=$(now)
    n=$(find "$out" -name '*.jpg' -size +0 | wc -l)
    if [ "$rc" -ne 0 ] || [ "$n" -ne "$NPICS" ]; then
        log "    $name: exit $rc, $n of $NPICS thumbnails made; log:"; tail -n 5 "$WORK/$name.log" >&2
        RES_ERR["pps|$name"]=1
        [ "$n" -eq 0 ] && return 0
    fi
    local total; total=$(elapsed "$t0" "$t1")
    add_res "pps|$name" "$(awk -v n="$n" -v t="$total" 'BEGIN{printf "%.3f", n/t}')"
    add_res "secs|$name" "$total"
    local mem; mem=$(tail -n 1 "$WORK/$name.mem" 2>/dev/null)
    [[ $mem =~ ^[0-9]+$ ]] && add_res "tmem|$name" "$mem"
    log "    $name: ${total}s for $n, peak ${mem:-?} KiB"
}

thumbs_part() {
    make_pictures
    TROOT=$WORK/thumbroot
    mkdir -p "$TROOT/pics"
    cp "$PICS"/*.jpg "$TROOT/pics/" # copies, as a user's folder has: a listing showing a hard-linked file is never kept
    chmod -R a+rX "$TROOT"
    PIC_NAMES=()
    local f
    for f in "$TROOT"/pics/*.jpg; do PIC_NAMES+=("${f##*/}"); done
    local rep
    for ((rep = 1; rep <= REPS; rep++)); do
        log "[thumbnails rep $rep/$REPS]"
        tarvolin_thumbs "$rep"
        tool_thumbs vips "$WORK/out-vips" vipsthumbnail -s 100x100 -o "$WORK/out-vips/%s.jpg"
        tool_thumbs gm "$WORK/out-gm" gm mogrify -output-directory "$WORK/out-gm" -size 200x200 -thumbnail 100x100
    done
}

[ -x "$TVN_BIN" ] || log "note: $TVN_BIN is missing; Tarvolin will show n/a (build with 'make build')"
log "listing: reps=$REPS, ab -t $TLIMIT s; thumbnails: $NPICS pictures, $THUMB_PAR parallel fetches"
[ "${SKIP_LIST:-0}" = 1 ] || list_part
[ "${SKIP_THUMBS:-0}" = 1 ] || thumbs_part

# --- report ----------------------------------------------------------------------------------
cell() { # KEY SERVER DECIMALS
    local v out; v=$(res_median "$1|$2"); out=$(fmt "$v" "$3")
    [ -n "${RES_ERR[$1|$2]:-}" ] && out="$out*"
    echo "$out"
}
report() {
    echo
    echo "Folder listing and thumbnails: medians of $REPS run(s), HTTP/1.0 without keep-alive, loopback"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r)) $BUSY_NOTE"
    echo "peers: $(peer_versions nginx lighttpd apache2-utils libvips-tools graphicsmagick)"
    local k label dec s cells
    if [ "${SKIP_LIST:-0}" != 1 ]; then
        echo
        print_row "listing" "${LIST_SERVERS[@]}" "tvn/nginx" "tvn/webfsd"
        print_rule $((${#LIST_SERVERS[@]} + 2))
        for k in "d1000_c1|1000 files c1 (req/s)|0" "d1000_c32|1000 files c32 (req/s)|0" \
            "d10000_c1|10000 files c1 (req/s)|1" "d10000_c32|10000 files c32 (req/s)|1" \
            "size_d1000|1000 files page (KiB)|0" "size_d10000|10000 files page (KiB)|0" \
            "mem|peak memory (VmHWM KiB)|0"; do
            IFS='|' read -r key label dec <<<"$k"
            cells=()
            for s in "${LIST_SERVERS[@]}"; do cells+=("$(cell "$key" "$s" "$dec")"); done
            print_row "$label" "${cells[@]}" \
                "$(ratio "$(res_median "$key|tarvolin")" "$(res_median "$key|nginx")")" \
                "$(ratio "$(res_median "$key|tarvolin")" "$(res_median "$key|webfsd")")"
        done
    fi
    if [ "${SKIP_THUMBS:-0}" != 1 ]; then
        echo
        local vp gp best bestname
        vp=$(res_median "pps|vips"); gp=$(res_median "pps|gm")
        best=$vp; bestname=vips
        if [ -n "$gp" ] && { [ -z "$vp" ] || awk -v a="$gp" -v b="$vp" 'BEGIN{exit !(a>b)}'; }; then best=$gp; bestname=gm; fi
        print_row "thumbnails ($NPICS x 4000x3000)" tarvolin vips gm "tvn/$bestname"
        print_rule 4
        for k in "pps|pictures per second|2" "secs|seconds for all|3" "tmem|peak memory (KiB)|0"; do
            IFS='|' read -r key label dec <<<"$k"
            local other=""
            [ "$key" = pps ] && other=$(ratio "$(res_median "pps|tarvolin")" "$best")
            [ "$key" = secs ] && other=$(ratio "$(res_median "secs|tarvolin")" "$(res_median "secs|$bestname")")
            [ "$key" = tmem ] && other=$(ratio "$(res_median "tmem|tarvolin")" "$(res_median "tmem|$bestname")")
            print_row "$label" "$(cell "$key" tarvolin "$dec")" "$(cell "$key" vips "$dec")" "$(cell "$key" gm "$dec")" "$other"
        done
        echo
        local cold warm fetch restart
        cold=$(res_median "cold_list_ms|tarvolin"); warm=$(res_median "warm_list_ms|tarvolin"); fetch=$(res_median "fetch_ms|tarvolin")
        restart=$(res_median "restart_list_ms|tarvolin")
        print_row "Tarvolin /pics/ listing" "ms"
        print_rule 1
        print_row "cold listing (1st GET)" "$(fmt "$cold" 1)"
        print_row "thumbnail fetches after it" "$(fmt "$fetch" 1)"
        print_row "warm listing (2nd GET)" "$(fmt "$warm" 2)"
        print_row "listing after a restart" "$(fmt "$restart" 2)"
        if [ -n "$cold" ] && [ -n "$warm" ]; then
            local x; x=$(ratio "$cold" "$warm")
            if awk -v c="$cold" -v w="$warm" 'BEGIN{exit !(w*10 <= c)}'; then
                echo "warm listing is $x faster than the cold one: OK (no decoding)"
            else
                echo "WARNING: warm listing is only $x faster than the cold one; is it decoding pictures again?"
            fi
        fi
    fi
    echo
    echo "n/a: missing, failed to start or gave wrong answers.  *: some requests failed or got non-2xx answers"
    echo "(only good answers are counted; lighttpd answers 503 to listings beyond the few it builds at once),"
    echo "or some thumbnails failed (see log)."
    echo "Ratios > 1: Tarvolin faster (req/s, pictures/s) or slower/bigger (seconds, KiB)."
    echo "Tarvolin's time = first listing GET + fetching its thumbnail URLs ($THUMB_PAR at a time) on a fresh server;"
    echo "vips: vipsthumbnail -s 100x100, gm: gm mogrify -size 200x200 -thumbnail 100x100, each one process for all."
    echo
    echo "raw samples:"
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/listing-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
