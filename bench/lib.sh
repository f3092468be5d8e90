# shellcheck shell=bash disable=SC2034  # variables here are used by the scripts that source it
# Shared helpers for the bench/ scripts. Sourced, not run.
#
# Everything here runs inside a private network namespace that has only the
# loopback interface (see bench_enter_netns); servers bind to 127.0.0.1 and
# every client talks to 127.0.0.1.

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(dirname "$BENCH_DIR")
TVN_BIN=${TVN_BIN:-$REPO_DIR/build/tarvolin}
CACHE_DIR=$BENCH_DIR/.cache
PY=/usr/bin/python3
[ -x "$PY" ] || PY=$(command -v python3 || echo python3)

log() { printf '%s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# --- network namespace ---------------------------------------------------------
# Re-executes the calling script under `unshare -n` (a new network namespace
# with only a down loopback) unless already inside one, then brings lo up and
# checks that no other interface exists. Call as: bench_enter_netns "$0" "$@"
bench_enter_netns() {
    local script=$1; shift
    if [ "${TVN_BENCH_NETNS:-}" != 1 ]; then
        command -v unshare >/dev/null || die "unshare not found (package util-linux)"
        export TVN_BENCH_NETNS=1
        if [ "$(id -u)" -eq 0 ]; then
            exec unshare -n -- bash "$script" "$@"
        else
            # Unprivileged: a user namespace maps us to root so lo can be raised.
            exec unshare -r -n -- bash "$script" "$@"
        fi
    fi
    command -v ip >/dev/null || die "ip not found (package iproute2)"
    ip link set lo up || die "could not bring lo up"
    local others
    others=$(ip -o link show | awk -F': ' '{print $2}' | grep -vx lo || true)
    [ -z "$others" ] || die "not in a loopback-only network namespace (found: $others); refusing to run"
    # Per-namespace tuning so tens of thousands of short connections do not run
    # out of ephemeral ports; our server ports (18080-18099) stay below the range.
    sysctl -qw net.ipv4.ip_local_port_range="20000 65000" 2>/dev/null || true
    sysctl -qw net.ipv4.tcp_tw_reuse=1 2>/dev/null || true
    sysctl -qw net.core.somaxconn=4096 2>/dev/null || true
}

require_tools() {
    local t missing=()
    for t in "$@"; do command -v "$t" >/dev/null 2>&1 || missing+=("$t"); done
    [ ${#missing[@]} -eq 0 ] || die "missing tools: ${missing[*]} (run bench/install-peers.sh outside the benchmark first)"
}

# --- work dir and cleanup ----------------------------------------------------------
declare -A SRV_PID=()    # name -> pid of the running server
declare -A SRV_LOG=()    # name -> its stdout/stderr log
WORK=""
BG_PIDS=()               # clients and samplers started in the background

bench_setup_work() {
    WORK=$(mktemp -d /tmp/tvn-bench.XXXXXX)
    chmod 755 "$WORK"
    trap bench_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

bench_cleanup() {
    local n p
    for p in "${BG_PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for n in "${!SRV_PID[@]}"; do stop_server "$n"; done
    if [ -n "$WORK" ] && [ -d "$WORK" ]; then
        if [ "${KEEP:-0}" = 1 ]; then log "kept work dir $WORK"; else rm -rf "$WORK"; fi
    fi
}

# --- test pictures -------------------------------------------------------------
PICS=$CACHE_DIR/pics
NPICS=20
# Photo-like test pictures: a plasma fractal (smooth colour areas) with
# sensor-like noise, upscaled to 4000x3000, 4:2:0 JPEG at quality 90; about
# 5-6 MB each, like a 12-megapixel camera picture. No embedded EXIF preview.
make_pictures() {
    local stamp="v1 4000x3000 q90 n=$NPICS"
    if [ -f "$PICS/.complete" ] && [ "$(cat "$PICS/.complete")" = "$stamp" ]; then return 0; fi
    log "making $NPICS test pictures of 4000x3000 in $PICS (once; about 30 s)"
    rm -rf "$PICS"; mkdir -p "$PICS"
    local i f
    for ((i = 1; i <= NPICS; i++)); do
        f=$(printf '%s/photo-%02d.jpg' "$PICS" "$i")
        if command -v gm >/dev/null; then
            gm convert -size 1000x750 plasma:fractal +noise Gaussian -resize 4000x3000! \
                -sampling-factor 2x2 -quality 90 "$f" || die "gm could not make $f"
        elif command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick; then
            convert -size 1000x750 plasma:fractal +noise Gaussian -resize '4000x3000!' \
                -sampling-factor 2x2 -quality 90 "$f" || die "convert could not make $f"
        else
            die "need gm (graphicsmagick) or ImageMagick's convert to make test pictures"
        fi
    done
    echo "$stamp" >"$PICS/.complete"
}

# --- numbers -------------------------------------------------------------------------
now() { echo "$EPOCHREALTIME"; }
# elapsed START END -> seconds (float)
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.6f", b-a}'; }

# median of numbers given as arguments ("" when none)
median() {
    [ $# -gt 0 ] || { echo ""; return; }
    printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{ if (NR%2) printf "%.6f", v[(NR+1)/2]; else printf "%.6f", (v[NR/2]+v[NR/2+1])/2 }'
}

# Results: RES[key] holds space-separated samples; RES_ERR[key]=1 marks a key
# where some sample had errors.
declare -A RES=()
declare -A RES_ERR=()
add_res() { RES[$1]+="$2 "; }
res_median() { local k=$1; # shellcheck disable=SC2086
    median ${RES[$k]:-}; }

# fmt VALUE DECIMALS -> formatted number or "n/a"
fmt() { if [ -z "$1" ]; then echo "n/a"; else awk -v v="$1" -v d="$2" 'BEGIN{printf "%.*f", d, v}'; fi; }
ratio() { if [ -z "$1" ] || [ -z "$2" ]; then echo "n/a"; else awk -v a="$1" -v b="$2" 'BEGIN{ if (b==0) print "n/a"; else printf "%.2fx", a/b }'; fi; }

# --- servers ---------------------------------------------------------------------
# wait_port NAME PORT: waits (bounded) until the port answers with any HTTP
# status. Returns 1 if the server died or never answered.
wait_port() {
    local name=$1 port=$2 i code pid=${SRV_PID[$1]}
    for ((i = 0; i < ${WAIT_TRIES:-150}; i++)); do
        if ! kill -0 "$pid" 2>/dev/null; then
            log "  $name exited during start-up; last lines of ${SRV_LOG[$name]}:"
            tail -n 15 "${SRV_LOG[$name]}" >&2 2>/dev/null || true
            unset "SRV_PID[$name]"
            return 1
        fi
        code=$(curl -s -o /dev/null --max-time 2 -w '%{http_code}' "http://127.0.0.1:$port/" 2>/dev/null || true)
        if [ -n "$code" ] && [ "$code" != 000 ]; then return 0; fi
        sleep 0.1
    done
    log "  $name did not answer on 127.0.0.1:$port within $(( ${WAIT_TRIES:-150} / 10 ))s; last lines of ${SRV_LOG[$name]}:"
    tail -n 15 "${SRV_LOG[$name]}" >&2 2>/dev/null || true
    stop_server "$name"
    return 1
}

# all pids of a process tree (pid first)
proc_tree() {
    local p=$1 c
    echo "$p"
    for c in $(pgrep -P "$p" 2>/dev/null); do proc_tree "$c"; done
}

# peak resident memory (VmHWM, KiB) summed over the server's process tree
# (for nginx: master + worker; the others are one process)
server_hwm() {
    local pid=${SRV_PID[$1]:-} p sum=0 v
    [ -n "$pid" ] || { echo ""; return; }
    for p in $(proc_tree "$pid"); do
        v=$(awk '/^VmHWM:/{print $2}' "/proc/$p/status" 2>/dev/null || true)
        [ -n "$v" ] && sum=$((sum + v))
    done
    [ "$sum" -gt 0 ] && echo "$sum" || echo ""
}

# CPU time (ns) the server's process tree has used so far, summed over its threads'
# schedstat (nanoseconds, where /proc/PID/stat counts 10 ms ticks); empty when unknown.
# A thread that ends between two readings takes its share with it: the servers measured
# here do their request work on threads that live as long as the process.
server_cpu_ns() {
    local pid=${SRV_PID[$1]:-} p t v sum=0
    [ -n "$pid" ] || { echo ""; return; }
    for p in $(proc_tree "$pid"); do
        for t in /proc/"$p"/task/*/schedstat; do
            read -r v _ <"$t" 2>/dev/null && sum=$((sum + v))
        done
    done
    echo "$sum"
}

# cpu_per_request NS_BEFORE NS_AFTER REQUESTS -> microseconds per request (one decimal)
cpu_per_request() {
    [ -n "$1" ] && [ -n "$2" ] && [ "${3:-0}" -gt 0 ] || { echo ""; return; }
    awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN{printf "%.1f", (b-a)/n/1000}'
}

# Writes the highest VmHWM seen to FILE every half second until killed: the value
# survives a server that dies under the load.
sample_hwm() { # SERVER FILE
    local v max=0
    while kill -0 "${SRV_PID[$1]}" 2>/dev/null; do
        v=$(server_hwm "$1")
        if [ -n "$v" ] && [ "$v" -gt "$max" ]; then max=$v; echo "$max" >"$2"; fi
        sleep 0.5
    done
}

stop_server() {
    local name=$1 pid=${SRV_PID[$1]:-} i
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        local p
        for p in $(proc_tree "$pid"); do kill -KILL "$p" 2>/dev/null || true; done
    fi
    wait "$pid" 2>/dev/null || true
    unset "SRV_PID[$name]"
}

# start_server KIND NAME ROOT PORT [listing]
# KIND: tarvolin nginx lighttpd webfsd python. Starts it in the background
# (Tarvolin's TVN.cfg gets the lines of TVN_MORE_SETTINGS too),
# waits until it answers. Returns non-zero (after logging why) on failure.
start_server() {
    local kind=$1 name=$2 root=$3 port=$4 listing=${5:-}
    local d="$WORK/srv-$name"
    rm -rf "$d"; mkdir -p "$d"
    SRV_LOG[$name]="$d/out.log"
    case $kind in
    tarvolin)
        if [ ! -x "$TVN_BIN" ]; then
            log "  tarvolin: $TVN_BIN not found or not executable (build it with 'make build' in $REPO_DIR); skipped"
            return 1
        fi
        cat >"$d/TVN.cfg" <<EOF
[SOFTWARE\\Tarvolin\\1.0]
Port=$port
Enable=1
Root=$root
CreateDemo=999999999
uPnPDiscovery=0
uPnPRouter=0
ServiceHost=
LogFileName=$d/tvn.log
LogFileSize=100
HideLog=1
${TVN_MORE_SETTINGS:-}
EOF
        # A runtime folder of its own: a copy already running for the desktop holds the
        # one-instance lock in the usual one, and this one would hand over to it and leave.
        # Without a display unless the benchmark gives it one (TVN_BENCH_DISPLAY=1: the
        # screenshot's).
        local no_display=(-u DISPLAY -u WAYLAND_DISPLAY)
        [ "${TVN_BENCH_DISPLAY:-0}" = 1 ] && no_display=()
        # A thumbnail cache of its own too, empty unless TVN_CACHE_HOME names one: a new
        # process is cold, as the listing figures assume.
        XDG_CACHE_HOME="${TVN_CACHE_HOME:-$d/cache}" XDG_RUNTIME_DIR="$d" U3_APP_DATA_PATH="$d" U3_DEVICE_EXEC_PATH="$d" QT_QPA_PLATFORM=offscreen TVN_FIREWALL_BUS=none \
            env "${no_display[@]}" "$TVN_BIN" </dev/null >"${SRV_LOG[$name]}" 2>&1 &
        ;;
    nginx)
        local user_line=""
        [ "$(id -u)" -eq 0 ] && user_line="user root root;"
        mkdir -p "$d/tmp"
        cat >"$d/nginx.conf" <<EOF
$user_line
worker_processes 1;
daemon off;
master_process on;
pid $d/nginx.pid;
error_log $d/error.log warn;
events { worker_connections 1024; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    $([ "${NGINX_ACCESS_LOG:-on}" = off ] && echo 'access_log off;' || echo "access_log $d/access.log;")
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $d/tmp/body;
    proxy_temp_path $d/tmp/proxy;
    fastcgi_temp_path $d/tmp/fastcgi;
    uwsgi_temp_path $d/tmp/uwsgi;
    scgi_temp_path $d/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
        index index.html;
        autoindex $([ "$listing" = listing ] && echo on || echo off);
    }
}
EOF
        nginx -p "$d" -e "$d/error.log" -c "$d/nginx.conf" </dev/null >"${SRV_LOG[$name]}" 2>&1 &
        ;;
    lighttpd)
        cat >"$d/lighttpd.conf" <<EOF
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $port
server.pid-file = "$d/lighttpd.pid"
server.errorlog = "$d/error.log"
server.modules = ( "mod_dirlisting" )
index-file.names = ( "index.html" )
dir-listing.activate = "$([ "$listing" = listing ] && echo enable || echo disable)"
mimetype.assign = ( ".html" => "text/html", ".txt" => "text/plain", ".jpg" => "image/jpeg", "" => "application/octet-stream" )
EOF
        lighttpd -D -f "$d/lighttpd.conf" </dev/null >"${SRV_LOG[$name]}" 2>&1 &
        ;;
    webfsd)
        webfsd -F -4 -i 127.0.0.1 -p "$port" -r "$root" -c 128 </dev/null >"${SRV_LOG[$name]}" 2>&1 &
        ;;
    python)
        # its per-request log lines go to /dev/null (the others log nothing per request either)
        "$PY" -m http.server --bind 127.0.0.1 --directory "$root" "$port" </dev/null >/dev/null 2>"${SRV_LOG[$name]}.err" &
        SRV_LOG[$name]="${SRV_LOG[$name]}.err"
        ;;
    *) die "unknown server kind $kind" ;;
    esac
    SRV_PID[$name]=$!
    wait_port "$name" "$port"
}

# --- clients ---------------------------------------------------------------------------
# run_ab URL CONCURRENCY REQUESTS TIMELIMIT -> prints "RPS ERRORS COMPLETE"
# RPS counts only good answers (2xx, no connect/receive errors) per second;
# ERRORS is the number of bad ones. HTTP/1.0, no keep-alive (ab's default). -t comes before -n so -n still
# bounds the count (ab's -t alone implies 50000 requests).
run_ab() {
    local url=$1 c=$2 n=$3 t=$4 keep=${5:-} out
    # shellcheck disable=SC2086  # $keep is empty or -k (ab's HTTP/1.0 keep-alive)
    out=$(timeout $((t + 40)) ab -r -s 10 $keep -t "$t" -n "$n" -c "$c" "$url" 2>&1) || true
    ab_summary 0 <<<"$out"
}

# ab_summary COUNT_LENGTH < ab's output -> "RPS ERRORS COMPLETE", as run_ab prints it; with
# COUNT_LENGTH 1, answers of another length than the first also count as errors.
ab_summary() {
    awk -v countLength="$1" '
        /^Complete requests:/ { done=$3 }
        /^Non-2xx responses:/ { bad+=$3 }
        /\(Connect: [0-9]+, Receive: [0-9]+, Length: [0-9]+, Exceptions: [0-9]+\)/ {
            s=$0; gsub(/[(),:]/, " ", s); split(s, f, " ")
            for (i=1; i<=length(f); i++)
                if (f[i]=="Connect" || f[i]=="Receive" || f[i]=="Exceptions" || (countLength && f[i]=="Length"))
                    bad+=f[i+1]
        }
        /^Time taken for tests:/ { secs=$5 }
        END {
            good = done - bad
            if (done == 0 || secs <= 0 || good <= 0) print "", 1, done+0
            else printf "%.2f %d %d\n", good/secs, bad, done
        }'
}

# http_get URL OUTFILE -> prints "CODE SIZE TIME_TOTAL"
http_get() {
    curl --http1.0 -s -o "$2" --max-time "${3:-60}" -w '%{http_code} %{size_download} %{time_total}' "$1" 2>/dev/null || true
}

# warns when other work is using the CPU (the numbers would be noisy)
check_idle() {
    local load cores
    load=$(cut -d' ' -f1 /proc/loadavg); cores=$(nproc)
    if awk -v l="$load" -v c="$cores" 'BEGIN{exit !(l > c/2)}'; then
        log "WARNING: load average is $load on $cores cores: other work is running, the numbers will be noisy"
        BUSY_NOTE="(machine was busy at start: load $load on $cores cores; numbers are noisy)"
    fi
}
BUSY_NOTE=""

# one line naming the peers' package versions
peer_versions() {
    local p out=""
    for p in "$@"; do out+="$p $(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo '?'), "; done
    echo "${out%, }"
}

# --- table --------------------------------------------------------------------------------
# print_row LABEL CELL... with fixed column widths
TABLE_W0=30
TABLE_W=12
print_row() {
    local label=$1; shift
    printf "%-${TABLE_W0}s" "$label"
    local c
    for c in "$@"; do printf " %${TABLE_W}s" "$c"; done
    printf '\n'
}
print_rule() {
    local n=$1 w
    w=$((TABLE_W0 + n * (TABLE_W + 1)))
    printf '%*s\n' "$w" '' | tr ' ' '-'
}

# nginx_conf_head DIR: DIR made fresh, and in DIR/nginx.conf the start of a one-worker
# configuration that keeps everything below DIR, up to and inside the http block (the
# caller appends the rest and ends the block).
nginx_conf_head() {
    local d=$1 user_line=""
    rm -rf "$d"; mkdir -p "$d/tmp"
    [ "$(id -u)" -eq 0 ] && user_line="user root root;"
    cat >"$d/nginx.conf" <<CFG
$user_line
worker_processes 1;
daemon off;
pid $d/nginx.pid;
error_log $d/error.log warn;
events { worker_connections 1024; }
http {
    access_log $d/access.log;
    client_body_temp_path $d/tmp/body;
    proxy_temp_path $d/tmp/proxy;
    fastcgi_temp_path $d/tmp/fastcgi;
    uwsgi_temp_path $d/tmp/uwsgi;
    scgi_temp_path $d/tmp/scgi;
CFG
}

# launch_nginx DIR: nginx with DIR/nginx.conf in the background, as the server "nginx"
launch_nginx() {
    local d=$1
    SRV_LOG[nginx]="$d/out.log"
    nginx -p "$d" -e "$d/error.log" -c "$d/nginx.conf" </dev/null >"${SRV_LOG[nginx]}" 2>&1 &
    SRV_PID[nginx]=$!
}
