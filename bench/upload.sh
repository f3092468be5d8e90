#!/usr/bin/env bash
# Uploads: one large file (1 GiB) sent over loopback into a folder, in the same run:
#   - Tarvolin, PUT with `curl -T` (the folder holds an ".upload" file)
#   - Tarvolin, tus 1.0: POST, then PATCH (one for the whole file, or chunks of
#     TUS_CHUNK_MIB), when the server answers OPTIONS with Tus-Version; skipped otherwise
#   - nginx's DAV module, PUT with `curl -T` (1 worker, dav_methods PUT,
#     client_max_body_size 0, its body temp folder on the same disk)
#   - `cp` of the file on the same disk, and `cp` followed by a sync of the copy
# Each round begins with another row. Each upload's time runs from the client's start until it has the server's answer (201 or
# 204): Tarvolin syncs the file to disk before it answers, nginx does not. Every stored file
# is compared with the original (SHA-256): a wrong one counts as failed, never as fast.
# Stored files are removed (and the disk synced) between uploads. The table shows MB/s
# (10^6 bytes/s), medians of REPS rounds, the ratio to nginx taken in each round (median
# and min-max), the servers' CPU time during the upload, and their peak memory (VmHWM) before
# and after it.
#
# With BIG=1 (or BIG_ONLY=1), one more step: BIG_BYTES (2 GiB) generated on the fly (AES-CTR
# of zeros, never a file), hashed as it goes, sent by PUT to a fresh Tarvolin; its VmHWM
# growth must stay under BIG_LIMIT_MIB (64). Skipped when the disk has less than
# BIG_BYTES + 3 GiB free.
#
# Runs itself inside a private network namespace with only loopback.
# With TVN_OLD=path, another Tarvolin binary's PUT is a row of its own (before and after).
#
# Knobs: REPS=3  SIZE_MIB=1024  TUS_CHUNK_MIB=0 (0: one PATCH)  ROWS="cp tvn_put tvn_tus nginx"
#   TVN_OLD=path
#   BIG=1  BIG_ONLY=1  BIG_BYTES=2147483648  BIG_LIMIT_MIB=64  TVN_BIN=path  KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/upload.sh" "$@"
require_tools nginx curl sha256sum openssl base64 awk sort pgrep sync cp head

REPS=${REPS:-3}
SIZE_MIB=${SIZE_MIB:-1024}
SIZE=$((SIZE_MIB * 1048576))
TUS_CHUNK_MIB=${TUS_CHUNK_MIB:-0}
TVN_OLD=${TVN_OLD:-}
read -r -a ROWS <<<"${ROWS:-cp tvn_put tvn_tus nginx${TVN_OLD:+ tvn_old_put}}"
BIG_BYTES=${BIG_BYTES:-2147483648}
BIG_LIMIT_MIB=${BIG_LIMIT_MIB:-64}
[ "${BIG_ONLY:-0}" = 1 ] && { BIG=1; REPS=0; }
TVN_PORT=18086
NGINX_PORT=18087

bench_setup_work
check_idle
declare -A ROUND=() # ROW|REP -> MB/s of that round

# Everything stored lands on the disk of the work folder, next to the original.
SRC=$WORK/src.bin
TVN_ROOT=$WORK/tvn
NGINX_ROOT=$WORK/nginx
CP_DIR=$WORK/cp
mkdir -p "$TVN_ROOT/up" "$NGINX_ROOT/up" "$CP_DIR"
printf 'maxsize=%s\n' "$(( (SIZE > BIG_BYTES ? SIZE : BIG_BYTES) + 1 ))" >"$TVN_ROOT/up/.upload"
chmod -R a+rwX "$WORK"

if [ "$REPS" -gt 0 ]; then
    log "upload: making a file of $SIZE_MIB MiB (random bytes)"
    openssl enc -aes-128-ctr -nosalt -pass pass:tarvolin-bench -pbkdf2 </dev/zero 2>/dev/null | head -c "$SIZE" >"$SRC"
    [ "$(stat -c %s "$SRC")" = "$SIZE" ] || die "could not make $SRC"
    SRC_SHA=$(sha256sum "$SRC" | cut -d' ' -f1)
fi
log "upload: reps=$REPS, $SIZE_MIB MiB, rows: ${ROWS[*]}, tus chunk ${TUS_CHUNK_MIB} MiB (0: one PATCH), work on $(df --output=source "$WORK" | tail -1)"
[ -x "$TVN_BIN" ] || log "note: $TVN_BIN is missing; Tarvolin's rows will show n/a (build with 'make build')"

start_tvn() { start_server tarvolin tarvolin "$TVN_ROOT" "$TVN_PORT"; }

start_nginx_dav() {
    local d="$WORK/srv-nginx"
    nginx_conf_head "$d"
    cat >>"$d/nginx.conf" <<CFG
    client_max_body_size 0;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $NGINX_ROOT;
        location /up/ {
            dav_methods PUT;
            dav_access user:rw group:r all:r;
        }
    }
}
CFG
    launch_nginx "$d"
    wait_port nginx "$NGINX_PORT"
}

# settle: nothing stored is left, and earlier writes are on disk before the next clock starts
settle() {
    rm -f "$TVN_ROOT/up/"*.bin "$NGINX_ROOT/up/"*.bin "$CP_DIR/"*.bin
    rm -rf "$TVN_ROOT/up/.upload-parts"
    sync
}

# same_as_source FILE: the stored file has the original's bytes
same_as_source() {
    [ -f "$1" ] && [ "$(stat -c %s "$1")" = "$SIZE" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$SRC_SHA" ]
}

# cpu_ms NAME: CPU time (user + system, ms) of the server's processes so far, threads included
cpu_ms() {
    local p sum=0 v tick
    tick=$(getconf CLK_TCK)
    for p in $(proc_tree "${SRV_PID[$1]}"); do
        v=$(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || true)
        [ -n "$v" ] && sum=$((sum + v))
    done
    echo $((sum * 1000 / tick))
}

mbs() { awk -v b="$1" -v t="$2" 'BEGIN{ if (t > 0) printf "%.1f", b/t/1e6 }'; }

# put_file URL FILE -> "CODE SECONDS" (curl -T, as a user would type it)
put_file() {
    curl -sS -o "$WORK/answer.txt" --max-time 600 -w '%{http_code} %{time_total}' -T "$2" "$1" 2>"$WORK/curl.err" || true
}

# tus_offers URL: the server speaks tus (OPTIONS answers with a Tus-Version header)
tus_offers() {
    curl -s -o /dev/null -D - --max-time 10 -X OPTIONS -H 'Tus-Resumable: 1.0.0' "$1" 2>/dev/null |
        grep -qi '^tus-version:'
}

# tus_send BASE FOLDER FILE NAME SIZE -> "CODE SECONDS STORED_URL": POST for an upload,
# then PATCH from offset 0 (one request, or chunks of TUS_CHUNK_MIB), then HEAD for the
# offset the server holds. CODE is the last PATCH's status, or what went wrong.
tus_send() {
    local base=$1 folder=$2 file=$3 name=$4 size=$5 t0 t1 head loc code off n chunk
    local tus=(-H 'Tus-Resumable: 1.0.0')
    t0=$(now)
    head=$(curl -s -o /dev/null -D - --max-time 30 -X POST "${tus[@]}" -H "Upload-Length: $size" \
        -H "Upload-Metadata: filename $(printf %s "$name" | base64 -w0)" "$base$folder" 2>/dev/null | tr -d '\r')
    code=$(awk 'NR==1{print $2}' <<<"$head")
    loc=$(awk 'tolower($1)=="location:"{print $2}' <<<"$head")
    if [ "$code" != 201 ] || [ -z "$loc" ]; then echo "POST:${code:-none} 0 -"; return; fi
    case $loc in http://*|https://*) ;; *) loc=$base$loc ;; esac
    local patch=(curl -s -o "$WORK/answer.txt" -D "$WORK/patch-head.txt" --max-time 600 -X PATCH "${tus[@]}"
        -H 'Content-Type: application/offset+octet-stream' -H 'Expect:' -w '%{http_code}')
    # From standard input with the length given: `-T FILE` would put the file's name into a
    # URL whose path ends in '/' (the upload's, /up/?upload=...).
    if [ "$TUS_CHUNK_MIB" -le 0 ]; then
        code=$("${patch[@]}" -H 'Upload-Offset: 0' -H "Content-Length: $size" -H 'Transfer-Encoding:' \
            -T - "$loc" <"$file" 2>"$WORK/curl.err")
    else
        chunk=$((TUS_CHUNK_MIB * 1048576)); off=0
        while [ "$off" -lt "$size" ]; do
            n=$((size - off < chunk ? size - off : chunk))
            code=$(dd if="$file" bs=1M skip="$off" count="$n" iflag=skip_bytes,count_bytes status=none |
                "${patch[@]}" -H "Upload-Offset: $off" -H "Content-Length: $n" -H 'Transfer-Encoding:' -T - "$loc" 2>"$WORK/curl.err")
            [ "$code" = 204 ] || break
            off=$((off + n))
        done
    fi
    t1=$(now)
    [ "$code" = 204 ] || { echo "PATCH:${code:-none} 0 -"; return; }
    off=$(tr -d '\r' <"$WORK/patch-head.txt" | awk 'tolower($1)=="upload-offset:"{print $2}')
    [ "$off" = "$size" ] || { echo "OFFSET:${off:-none} 0 -"; return; }
    echo "204 $(elapsed "$t0" "$t1") $loc"
}

# the file a Tarvolin upload became (its 201's Location, or the one name in the folder)
stored_tvn_file() {
    local f
    for f in "$TVN_ROOT/up/"*; do [ -f "$f" ] && { echo "$f"; return; }; done
}

# run_row ROW REP: one upload, its time, its check, memory
run_row() {
    local row=$1 rep=$2 code secs hwm0 hwm1 cpu0 cpu1 stored
    settle
    case $row in
    cp)
        local t0 t1
        # once untimed: the first copy after a removal was far slower or faster at random
        cp "$SRC" "$CP_DIR/copy.bin"; rm -f "$CP_DIR/copy.bin"; sync
        t0=$(now); cp "$SRC" "$CP_DIR/copy.bin"; t1=$(now)
        if same_as_source "$CP_DIR/copy.bin"; then
            ROUND[cp|$rep]=$(mbs "$SIZE" "$(elapsed "$t0" "$t1")"); add_res cp "${ROUND[cp|$rep]}"
        else RES_ERR[cp]=1; fi
        rm -f "$CP_DIR/copy.bin"; sync
        t0=$(now); cp "$SRC" "$CP_DIR/copy.bin" && sync "$CP_DIR/copy.bin"; t1=$(now)
        if same_as_source "$CP_DIR/copy.bin"; then
            ROUND[cp_sync|$rep]=$(mbs "$SIZE" "$(elapsed "$t0" "$t1")"); add_res cp_sync "${ROUND[cp_sync|$rep]}"
        else RES_ERR[cp_sync]=1; fi
        log "    cp: ${ROUND[cp|$rep]:-failed} MB/s, cp + sync: ${ROUND[cp_sync|$rep]:-failed} MB/s"
        return
        ;;
    tvn_put | tvn_tus | tvn_old_put)
        if [ "$row" = tvn_old_put ]; then
            TVN_BIN=$TVN_OLD start_tvn || { RES_ERR[$row]=1; return; }
        else
            start_tvn || { RES_ERR[$row]=1; return; }
        fi
        if [ "$row" = tvn_tus ] && ! tus_offers "http://127.0.0.1:$TVN_PORT/up/"; then
            log "    tus: skipped, the server does not answer OPTIONS /up/ with Tus-Version (no tus in this build)"
            TUS_SKIPPED=1
            stop_server tarvolin
            return
        fi
        hwm0=$(server_hwm tarvolin); cpu0=$(cpu_ms tarvolin)
        if [ "$row" != tvn_tus ]; then
            read -r code secs <<<"$(put_file "http://127.0.0.1:$TVN_PORT/up/upload.bin" "$SRC")"
            [ "$code" = 201 ] || log "    PUT answered ${code:-nothing}: $(head -c 300 "$WORK/answer.txt" 2>/dev/null) $(cat "$WORK/curl.err")"
        else
            read -r code secs _ <<<"$(tus_send "http://127.0.0.1:$TVN_PORT" /up/ "$SRC" upload.bin "$SIZE")"
            [ "$code" = 204 ] || log "    tus went wrong at $code: $(head -c 300 "$WORK/answer.txt" 2>/dev/null) $(cat "$WORK/curl.err")"
        fi
        hwm1=$(server_hwm tarvolin); cpu1=$(cpu_ms tarvolin)
        stored=$(stored_tvn_file)
        stop_server tarvolin
        ;;
    nginx)
        start_nginx_dav || { RES_ERR[nginx]=1; return; }
        hwm0=$(server_hwm nginx); cpu0=$(cpu_ms nginx)
        read -r code secs <<<"$(put_file "http://127.0.0.1:$NGINX_PORT/up/upload.bin" "$SRC")"
        [ "$code" = 201 ] || log "    nginx PUT answered ${code:-nothing}: $(head -c 300 "$WORK/answer.txt" 2>/dev/null) $(cat "$WORK/curl.err")"
        hwm1=$(server_hwm nginx); cpu1=$(cpu_ms nginx)
        stored=$NGINX_ROOT/up/upload.bin
        stop_server nginx
        ;;
    *) die "unknown row $row" ;;
    esac
    if [ "$code" != 201 ] && [ "$code" != 204 ]; then RES_ERR[$row]=1; return; fi
    if ! same_as_source "${stored:-/nonexistent}"; then
        log "    $row: the stored file ${stored:-(none)} is not the original; not counted"
        RES_ERR[$row]=1
        return
    fi
    local v; v=$(mbs "$SIZE" "$secs")
    add_res "$row" "$v"
    ROUND[$row|$rep]=$v
    [ -n "$hwm1" ] && add_res "mem|$row" "$hwm1"
    [ -n "$hwm0" ] && [ -n "$hwm1" ] && add_res "grow|$row" "$((hwm1 - hwm0))"
    add_res "cpu|$row" "$((cpu1 - cpu0))"
    log "    $row: $v MB/s ($secs s), server CPU $((cpu1 - cpu0)) ms, VmHWM ${hwm0:-?} -> ${hwm1:-?} KiB, SHA-256 equal"
}

TUS_SKIPPED=0
for ((rep = 1; rep <= REPS; rep++)); do
    log "[rep $rep/$REPS]"
    # each round begins with another row, so that no row always follows the same one
    order=("${ROWS[@]:$(((rep - 1) % ${#ROWS[@]}))}" "${ROWS[@]:0:$(((rep - 1) % ${#ROWS[@]}))}")
    for row in "${order[@]}"; do
        [ "$row" = tvn_tus ] && [ "$TUS_SKIPPED" = 1 ] && continue
        run_row "$row" "$rep"
    done
    # the ratios of this round, where both sides counted
    for row in tvn_put tvn_tus tvn_old_put cp cp_sync; do
        a=${ROUND[$row|$rep]:-}; b=${ROUND[nginx|$rep]:-}
        [ -n "$a" ] && [ -n "$b" ] && add_res "ratio|$row" "$(awk -v a="$a" -v b="$b" 'BEGIN{printf "%.3f", a/b}')"
    done
done

# --- the 2 GiB step: memory only ------------------------------------------------------------
BIG_LINE=""
if [ "${BIG:-0}" = 1 ]; then
    free=$(df --output=avail -B1 "$WORK" | tail -1)
    if [ "$free" -lt $((BIG_BYTES + (3 << 30))) ]; then
        BIG_LINE="$BIG_BYTES bytes: skipped, only $free bytes free on the work folder's disk"
    elif ! start_tvn; then
        BIG_LINE="$BIG_BYTES bytes: skipped, Tarvolin did not start"
    else
        settle
        hwm0=$(server_hwm tarvolin)
        sample_hwm tarvolin "$WORK/big-hwm" &
        BG_PIDS+=($!)
        log "big: $BIG_BYTES generated bytes by PUT, VmHWM at start $hwm0 KiB"
        t0=$(now)
        r=$(openssl enc -aes-128-ctr -nosalt -pass pass:tarvolin-big -pbkdf2 </dev/zero 2>/dev/null | head -c "$BIG_BYTES" |
            tee >(sha256sum | cut -d' ' -f1 >"$WORK/big.sha") |
            curl -sS -o "$WORK/answer.txt" --max-time 1200 -w '%{http_code}' -T - -H "Content-Length: $BIG_BYTES" \
                -H 'Transfer-Encoding:' "http://127.0.0.1:$TVN_PORT/up/big.bin" 2>"$WORK/curl.err")
        t1=$(now)
        hwm1=$(server_hwm tarvolin)
        stop_server tarvolin
        sleep 0.2
        stored=$TVN_ROOT/up/big.bin
        want=$(cat "$WORK/big.sha" 2>/dev/null)
        ok=no
        [ "$r" = 201 ] && [ -f "$stored" ] && [ "$(stat -c %s "$stored")" = "$BIG_BYTES" ] &&
            [ "$(sha256sum "$stored" | cut -d' ' -f1)" = "$want" ] && ok=yes
        grow=$((hwm1 - hwm0))
        verdict=FAIL
        [ "$ok" = yes ] && [ "$grow" -lt $((BIG_LIMIT_MIB * 1024)) ] && verdict=OK
        BIG_LINE="$BIG_BYTES generated bytes by PUT: answer $r, SHA-256 equal: $ok, $(mbs "$BIG_BYTES" "$(elapsed "$t0" "$t1")") MB/s; VmHWM $hwm0 -> $hwm1 KiB (+$grow KiB, bound $((BIG_LIMIT_MIB * 1024))): $verdict"
        [ "$ok" = yes ] || log "big: $(head -c 300 "$WORK/answer.txt" 2>/dev/null) $(cat "$WORK/curl.err")"
        settle
    fi
    log "big: $BIG_LINE"
fi

# --- report -----------------------------------------------------------------------------------
cell() { # KEY DECIMALS
    local out; out=$(fmt "$(res_median "$1")" "$2")
    [ -n "${RES_ERR[$1]:-}" ] && out="$out*"
    echo "$out"
}
spread() { # KEY -> "0.91x [0.85-0.97]" from the per-round ratios
    local s=${RES[ratio|$1]:-}
    [ -n "$s" ] || { echo "n/a"; return; }
    # shellcheck disable=SC2086
    printf '%s\n' $s | sort -g | awk -v m="$(median $s)" '{v[NR]=$1} END{printf "%.2fx [%.2f-%.2f]", m, v[1], v[NR]}'
}
report() {
    echo
    echo "Uploads of $SIZE_MIB MiB over loopback, medians of $REPS round(s) $BUSY_NOTE"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r), $(df --output=source,fstype "$WORK" | tail -1 | tr -s ' '))"
    echo "peers: $(peer_versions nginx curl coreutils); tus: $([[ " ${ROWS[*]} " != *" tvn_tus "* ]] && echo "not run" && return; [ "$TUS_SKIPPED" = 1 ] && echo "skipped (no Tus-Version in the answer to OPTIONS)" || echo "one PATCH per $([ "$TUS_CHUNK_MIB" -le 0 ] && echo file || echo "$TUS_CHUNK_MIB MiB")")"
    echo
    TABLE_W=20
    print_row "upload" "MB/s" "/ nginx [min-max]" "server CPU (ms)" "VmHWM after (KiB)" "VmHWM growth (KiB)"
    print_rule 5
    local key k label
    for key in "tvn_put|Tarvolin PUT (curl -T)" "tvn_tus|Tarvolin tus" "tvn_old_put|TVN_OLD PUT (curl -T)" "nginx|nginx DAV PUT (curl -T)" \
        "cp|cp, same disk" "cp_sync|cp + sync, same disk"; do
        IFS='|' read -r k label <<<"$key"
        [[ " ${ROWS[*]} " == *" ${k%_sync} "* ]] || continue
        print_row "$label" "$(cell "$k" 1)" "$(spread "$k")" "$(fmt "$(res_median "cpu|$k")" 0)" "$(fmt "$(res_median "mem|$k")" 0)" "$(fmt "$(res_median "grow|$k")" 0)"
    done
    echo
    echo "MB/s: 10^6 bytes per second, from the client's start until it has the answer; Tarvolin syncs the file before"
    echo "it answers, nginx and cp do not (cp + sync does). *: some round failed (see the log); only files equal to the"
    echo "original count. Server CPU: user + system time of its processes during the upload. nginx's memory is"
    echo "master + worker."
    [ -n "$BIG_LINE" ] && { echo; echo "big: $BIG_LINE"; }
    echo
    echo "raw samples:"
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/upload-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
[ -z "$BIG_LINE" ] || [[ "$BIG_LINE" != *FAIL ]]
