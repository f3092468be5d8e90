#!/usr/bin/env bash
# Relayed requests against the direct path, on loopback and with 20 ms of round trip.
#
# One Tarvolin server registers its name with tarvolin-relay over UDP; ab asks for a 1 KiB,
# a 20 KiB (one message more than a head: two messages through the relay) and a 1 MiB file once directly (TCP to the server) and once through the relay (TCP to the
# relay with "Host: home.example"), one request at a time, HTTP/1.0 without keep-alive.
#
# Twice: on plain loopback, then with RTT_MS of round trip between the server and everyone
# else: the relay's datagrams to and from the server, and the direct visitor's TCP
# connection, each pass a delay proxy of this script that holds every datagram or chunk for
# RTT_MS/2 each way, and delays each new TCP connection by RTT_MS (its handshake). The relay
# and the relayed visitor sit side by side, as the visitor and the delay proxy do: both paths
# are RTT_MS away from the server. The kernel here has no netem (CONFIG_NET_SCH_NETEM), hence
# the proxy. The relay protocol moves one message of at most 16384 bytes per round trip
# (stop and wait), so 16384 B / RTT is its ceiling; the table compares relayed MB/s with it.
#
# "bench/relay.sh floods" instead measures the server's memory under two floods of the relay
# link, the server started afresh for each, on loopback:
#   open16   16-byte datagrams from the relay's address and port, each with the open bit, a
#            new connection id, message length 16384 and no payload, as fast as they go for
#            FLOOD_SECS; a stand-in of the relay on the server's ServicePort sends them, after
#            the server's first registration told it where the server is
#   browsers BROWSERS (16) browsers ask tarvolin-relay for the 1 KiB file one request after
#            the other for BROWSER_SECS, each request with a header of FILL_BYTES (15000)
# The table gives the server's resident memory before, its peak (VmHWM), at the end and
# SETTLE_SECS after the end, and what the flood sent or got answered.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): REPS=3  QUICK=1  RTT_MS=20  N1K=2000  N1M=200 (loopback counts)
#   N1K_RTT=100  N1M_RTT=10 (with RTT)  TLIMIT=10  TLIMIT_RTT=20 (ab -t, seconds)
#   TVN_BIN=path  RELAY_BIN=path  KEEP=1
#   floods: FLOODS="open16 browsers"  FLOOD_SECS=8  BROWSER_SECS=12  BROWSERS=16
#   FILL_BYTES=15000  SETTLE_SECS=5
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/relay.sh" "$@"
require_tools curl ab awk sort cmp

if [ "${QUICK:-0}" = 1 ]; then
    REPS=${REPS:-1}; N1K=${N1K:-500}; N1M=${N1M:-50}; N1K_RTT=${N1K_RTT:-30}; N1M_RTT=${N1M_RTT:-4}
else
    REPS=${REPS:-3}; N1K=${N1K:-2000}; N1M=${N1M:-200}; N1K_RTT=${N1K_RTT:-100}; N1M_RTT=${N1M_RTT:-10}
fi
RTT_MS=${RTT_MS:-20}
TLIMIT=${TLIMIT:-10}
TLIMIT_RTT=${TLIMIT_RTT:-20}
RELAY_BIN=${RELAY_BIN:-$REPO_DIR/build/tarvolin-relay}
NAME=home.example
MAX_MESSAGE=16384
P_TVN=18110 P_RELAY=18111 P_RELAY_UDP=18112 P_DELAY_UDP=18113 P_DELAY_TCP=18114
SIZE_1k=1024
SIZE_20k=20480
SIZE_1m=1048576

bench_setup_work
check_idle

# --- fixture ---------------------------------------------------------------------------
ROOT=$WORK/root
mkdir -p "$ROOT"
head -c "$SIZE_1k" /dev/urandom >"$ROOT/1k.bin"
head -c "$SIZE_20k" /dev/urandom >"$ROOT/20k.bin"
head -c "$SIZE_1m" /dev/urandom >"$ROOT/1m.bin"
chmod -R a+rX "$ROOT"

# The delay proxy: "udp LISTEN TARGET ONE_WAY_MS STATS" passes datagrams between whoever sends
# to LISTEN and the UDP port TARGET; "tcp LISTEN TARGET ONE_WAY_MS STATS CONNECT_MS" passes
# TCP connections to TARGET, each opened CONNECT_MS late. Everything in order, each item
# ONE_WAY_MS after it came. On SIGTERM it writes how late items went out into STATS.
DELAY_PY=$WORK/delay.py
cat >"$DELAY_PY" <<'PY'
import asyncio, collections, signal, socket, sys, time

LATE = []          # seconds each item went out after its due time
TASKS = set()      # keeps the running tasks referenced

def spawn(coroutine):
    task = asyncio.get_running_loop().create_task(coroutine)
    TASKS.add(task)
    task.add_done_callback(TASKS.discard)

class Pipe:
    """Hands each item to `deliver` `delay` seconds after put(), in order; None ends it."""
    def __init__(self, delay, deliver):
        self.delay, self.deliver = delay, deliver
        self.queue, self.ready = collections.deque(), asyncio.Event()
        spawn(self.run())
    def put(self, item):
        self.queue.append((time.monotonic() + self.delay, item))
        self.ready.set()
    async def run(self):
        while True:
            if not self.queue:
                self.ready.clear()
                await self.ready.wait()
                continue
            due, item = self.queue[0]
            now = time.monotonic()
            if now < due:
                await asyncio.sleep(due - now)
                continue
            self.queue.popleft()
            LATE.append(now - due)
            try:
                self.deliver(item)
            except OSError:
                pass   # a datagram the socket refuses is lost, as on a network
            if item is None:
                return

async def udp(listen, target, delay):
    loop = asyncio.get_running_loop()
    front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    front.bind(("127.0.0.1", listen))
    back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    back.bind(("127.0.0.1", 0))
    front.setblocking(False); back.setblocking(False)
    peer = [None]
    up = Pipe(delay, lambda d: back.sendto(d, ("127.0.0.1", target)))
    down = Pipe(delay, lambda d: peer[0] and front.sendto(d, peer[0]))
    def drain(sock, pipe, learn):
        while True:
            try:
                data, sender = sock.recvfrom(65536)
            except (BlockingIOError, ConnectionRefusedError):
                return
            if learn:
                peer[0] = sender
            pipe.put(data)
    loop.add_reader(front, drain, front, up, True)
    loop.add_reader(back, drain, back, down, False)
    await asyncio.Event().wait()

async def tcp(listen, target, delay, connect_delay):
    def sender(writer, half_close):
        def deliver(item):
            if item is not None:
                writer.write(item)
            elif half_close and writer.can_write_eof():
                writer.write_eof()
            else:
                writer.close()
        return deliver
    async def pump(reader, pipe):
        while True:
            try:
                data = await reader.read(65536)
            except OSError:
                data = b""
            pipe.put(data or None)
            if not data:
                return
    async def handle(client_reader, client_writer):
        await asyncio.sleep(connect_delay)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        spawn(pump(client_reader, Pipe(delay, sender(server_writer, True))))
        spawn(pump(server_reader, Pipe(delay, sender(client_writer, False))))
    server = await asyncio.start_server(handle, "127.0.0.1", listen, backlog=1024)
    async with server:
        await server.serve_forever()

def main():
    mode, listen, target, one_way_ms, stats = sys.argv[1:6]
    delay = float(one_way_ms) / 1000
    def finish(*_):
        late = sorted(LATE) or [0.0]
        with open(stats, "w") as out:
            out.write("items=%d mean_ms=%.3f p99_ms=%.3f\n" % (
                len(LATE), 1000 * sum(late) / len(late), 1000 * late[int(0.99 * (len(late) - 1))]))
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, finish)
    if mode == "udp":
        asyncio.run(udp(int(listen), int(target), delay))
    else:
        asyncio.run(tcp(int(listen), int(target), delay, float(sys.argv[6]) / 1000))

main()
PY

# The floods: "open16 LISTEN SECONDS" stands in for the relay on LISTEN, waits for the
# server's registration and then sends it 16-byte opening datagrams; "browsers PORT HOST PATH
# COUNT SECONDS FILL" runs COUNT browsers against the relay's TCP port. Each prints one line.
FLOOD_PY=$WORK/flood.py
cat >"$FLOOD_PY" <<'PY'
import asyncio, socket, struct, sys, time

def open16(listen, seconds):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", listen))
    s.settimeout(20)
    while True:
        data, server = s.recvfrom(2048)
        if data[:1] == b"\x08":
            break
    s.sendto(b"\x0c" + bytes(15), server)
    s.setblocking(False)
    sent, refused, cid = 0, 0, 1000
    end = time.monotonic() + seconds
    while time.monotonic() < end and sent < 50_000_000:
        for _ in range(256):
            try:
                s.sendto(struct.pack("<B3xiIHH", 1, cid, 0, 0, 16384), server)
                sent += 1
                cid += 1
            except (BlockingIOError, OSError):
                refused += 1
                time.sleep(0.0002)
                break
        try:
            while True:
                s.recvfrom(2048)   # registrations, acknowledgements: not kept
        except (BlockingIOError, OSError):
            pass
    print(f"sent={sent} refused={refused}")

async def browsers(port, host, path, count, seconds, fill):
    request = (f"GET {path} HTTP/1.0\r\nHost: {host}\r\nX-Fill: " + "a" * fill +
               "\r\n\r\n").encode()
    end = time.monotonic() + seconds
    counts = {"ok": 0, "failed": 0}
    async def one():
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            writer.write(request)
            await writer.drain()
            answer = await reader.read()
            return answer.startswith(b"HTTP/1.0 200")
        finally:
            writer.close()
    async def browser():
        while time.monotonic() < end:
            try:
                good = await asyncio.wait_for(one(), 30)
            except (OSError, asyncio.TimeoutError):
                good = False
            counts["ok" if good else "failed"] += 1
    await asyncio.gather(*(browser() for _ in range(count)))
    print(f"ok={counts['ok']} failed={counts['failed']}")

if sys.argv[1] == "open16":
    open16(int(sys.argv[2]), float(sys.argv[3]))
else:
    asyncio.run(browsers(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5]),
                         float(sys.argv[6]), int(sys.argv[7])))
PY

# --- servers ---------------------------------------------------------------------------
start_relay() {
    if [ ! -x "$RELAY_BIN" ]; then
        log "  relay: $RELAY_BIN not found or not executable (build it with 'make build')"
        return 1
    fi
    SRV_LOG[relay]="$WORK/relay.err"
    "$RELAY_BIN" --bind 127.0.0.1 --http-port "$P_RELAY" --udp-port "$P_RELAY_UDP" \
        --name relay.test </dev/null >"$WORK/relay.out" 2>"${SRV_LOG[relay]}" &
    SRV_PID[relay]=$!
    wait_port relay "$P_RELAY"
}

# start_delay NAME udp|tcp LISTEN TARGET: a delay proxy of RTT_MS/2 each way
start_delay() {
    local name=$1 mode=$2 listen=$3 target=$4 half
    half=$(awk -v r="$RTT_MS" 'BEGIN{print r/2}')
    SRV_LOG[$name]="$WORK/$name.log"
    "$PY" "$DELAY_PY" "$mode" "$listen" "$target" "$half" "$WORK/$name-$RUN_TAG.stats" "$RTT_MS" \
        </dev/null >"${SRV_LOG[$name]}" 2>&1 &
    SRV_PID[$name]=$!
    if [ "$mode" = tcp ]; then wait_port "$name" "$listen"; else sleep 0.3; kill -0 "${SRV_PID[$name]}"; fi
}

# start_tarvolin SERVICE_PORT [nowait]: the server, registering NAME at 127.0.0.1:SERVICE_PORT
# (and waiting until tarvolin-relay says so, unless nowait)
start_tarvolin() {
    local d="$WORK/srv-tarvolin-$RUN_TAG"
    if [ ! -x "$TVN_BIN" ]; then
        log "  tarvolin: $TVN_BIN not found or not executable (build it with 'make build')"
        return 1
    fi
    mkdir -p "$d/run"; chmod 700 "$d/run"
    SRV_LOG[tarvolin]="$d/out.log"
    cat >"$d/TVN.cfg" <<EOF
[SOFTWARE\\Tarvolin\\1.0]
Port=$P_TVN
Enable=1
Root=$ROOT
CreateDemo=999999999
uPnPDiscovery=0
uPnPRouter=0
ServiceHost=127.0.0.1
ServicePort=$1
ServicePeriod=5000
LogFileName=$d/tvn.log
LogFileSize=100
HideLog=1
EOF
    XDG_CACHE_HOME="$d/cache" TVN_RELAY_NAME=$NAME TVN_FIREWALL_BUS=none U3_APP_DATA_PATH="$d" U3_DEVICE_EXEC_PATH="$d" XDG_RUNTIME_DIR="$d/run" \
        QT_QPA_PLATFORM=offscreen env -u DISPLAY -u WAYLAND_DISPLAY "$TVN_BIN" \
        </dev/null >"${SRV_LOG[tarvolin]}" 2>&1 &
    SRV_PID[tarvolin]=$!
    wait_port tarvolin "$P_TVN" || return 1
    [ "${2:-}" = nowait ] && return 0
    local i
    for ((i = 0; i < 100; i++)); do
        grep -q "^registered $NAME at " "$WORK/relay.err" 2>/dev/null && return 0
        sleep 0.1
    done
    log "  the relay did not register $NAME within 10 s; relay said:"
    cat "$WORK/relay.err" >&2
    return 1
}

stop_all() { local n; for n in tarvolin delay-udp delay-tcp relay; do stop_server "$n"; done; }

# --- measuring -------------------------------------------------------------------------
# ab_rate URL CONCURRENCY REQUESTS TIMELIMIT [HOST] -> "RPS ERRORS COMPLETE"; RPS counts only
# good (2xx) answers, as run_ab in lib.sh does, here with a Host header of our choice.
ab_rate() {
    local url=$1 c=$2 n=$3 t=$4 host=${5:-} out hdr=()
    [ -n "$host" ] && hdr=(-H "Host: $host")
    out=$(timeout $((t + 60)) ab -r -s 30 "${hdr[@]}" -t "$t" -n "$n" -c "$c" "$url" 2>&1) || true
    ab_summary 1 <<<"$out"
}

# check_path LABEL PORT [HOST]: both files come back whole (status 200, the same bytes)
check_path() {
    local label=$1 port=$2 host=${3:-} f r hdr=()
    [ -n "$host" ] && hdr=(-H "Host: $host")
    for f in 1k 20k 1m; do
        r=$(curl --http1.0 -s "${hdr[@]}" -o "$WORK/got.bin" --max-time 30 -w '%{http_code}' \
            "http://127.0.0.1:$port/$f.bin" 2>/dev/null || true)
        if [ "$r" != 200 ] || ! cmp -s "$WORK/got.bin" "$ROOT/$f.bin"; then
            log "  $label: GET /$f.bin gave status ${r:-none} and $(stat -c %s "$WORK/got.bin" 2>/dev/null || echo 0) bytes, not the file"
            return 1
        fi
    done
}

# measure RTT PATH PORT [HOST]: ab on both files, results under "rps|FILE|PATH|RTT"
measure() {
    local rtt=$1 path=$2 port=$3 host=${4:-} f n t r rps errors
    for f in 1k 20k 1m; do
        if [ "$rtt" = 0 ]; then t=$TLIMIT; [ $f = 1m ] && n=$N1M || n=$N1K
        else t=$TLIMIT_RTT; [ $f = 1m ] && n=$N1M_RTT || n=$N1K_RTT; fi
        r=$(ab_rate "http://127.0.0.1:$port/$f.bin" 1 "$n" "$t" "$host")
        log "    $path $f: ${r:-nothing} (req/s errors complete)"
        read -r rps errors _ <<<"$r"
        [ -n "$rps" ] && add_res "rps|$f|$path|$rtt" "$rps"
        [ "${errors:-1}" != 0 ] && RES_ERR["rps|$f|$path|$rtt"]=1
    done
}

one_run() { # REP RTT
    local rep=$1 rtt=$2 service=$P_RELAY_UDP direct=$P_TVN
    RUN_TAG="$rep-$rtt"
    log "[rep $rep/$REPS] round trip $rtt ms"
    start_relay || { stop_all; return 0; }
    if [ "$rtt" != 0 ]; then
        service=$P_DELAY_UDP direct=$P_DELAY_TCP
        start_delay delay-udp udp "$P_DELAY_UDP" "$P_RELAY_UDP" || { stop_all; return 0; }
    fi
    start_tarvolin "$service" || { stop_all; return 0; }
    [ "$rtt" != 0 ] && { start_delay delay-tcp tcp "$P_DELAY_TCP" "$P_TVN" || { stop_all; return 0; }; }
    if [ "$rtt" != 0 ]; then
        local c
        c=$(curl -s -o /dev/null -w '%{time_connect} %{time_starttransfer}' "http://127.0.0.1:$direct/1k.bin")
        log "    direct through the delay: connected after ${c% *} s, first byte after ${c#* } s"
    fi
    if check_path direct "$direct" && check_path relayed "$P_RELAY" "$NAME"; then
        measure "$rtt" direct "$direct"
        measure "$rtt" relayed "$P_RELAY" "$NAME"
    fi
    stop_all
    local s
    for s in "$WORK"/delay-*-"$RUN_TAG".stats; do
        [ -f "$s" ] && log "    $(basename "$s" "-$RUN_TAG.stats"): items went out late by $(cat "$s")"
    done
}

# --- floods ------------------------------------------------------------------------------
rss_of() { awk '/^VmRSS:/{print $2}' "/proc/${SRV_PID[$1]}/status" 2>/dev/null || echo ""; }

run_floods() {
    local flood secs=${FLOOD_SECS:-8} bsecs=${BROWSER_SECS:-12} count=${BROWSERS:-16}
    local fill=${FILL_BYTES:-15000} settle=${SETTLE_SECS:-5} before peak after settled said
    local -a rows=()
    read -r -a floods <<<"${FLOODS:-open16 browsers}"
    for flood in "${floods[@]}"; do
        RUN_TAG=$flood
        log "[flood $flood]"
        if [ "$flood" = open16 ]; then
            start_tarvolin "$P_DELAY_UDP" nowait || { stop_all; continue; }
            sleep 1
            before=$(rss_of tarvolin)
            sample_hwm tarvolin "$WORK/peak" & BG_PIDS+=($!)
            said=$(timeout $((secs + 40)) "$PY" "$FLOOD_PY" open16 "$P_DELAY_UDP" "$secs")
        else
            start_relay || { stop_all; continue; }
            start_tarvolin "$P_RELAY_UDP" || { stop_all; continue; }
            sleep 1
            before=$(rss_of tarvolin)
            sample_hwm tarvolin "$WORK/peak" & BG_PIDS+=($!)
            said=$(timeout $((bsecs + 60)) "$PY" "$FLOOD_PY" browsers "$P_RELAY" "$NAME" /1k.bin \
                "$count" "$bsecs" "$fill")
        fi
        after=$(rss_of tarvolin)
        sleep "$settle"
        settled=$(rss_of tarvolin)
        peak=$(server_hwm tarvolin)
        kill -0 "${SRV_PID[tarvolin]}" 2>/dev/null || said="$said (the server died)"
        log "    rss before ${before:-?} KiB, peak ${peak:-?} KiB, end ${after:-?} KiB, ${settle} s later ${settled:-?} KiB; $said"
        rows+=("$flood|$before|$peak|$after|$settled|$said")
        stop_all
    done
    echo
    echo "Server memory under relay floods ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, Tarvolin binary $TVN_BIN) $BUSY_NOTE"
    echo "open16: ${secs} s of 16-byte opening datagrams; browsers: $count browsers x ${fill}-byte header for ${bsecs} s"
    echo
    printf '%-9s %12s %12s %12s %14s  %s\n' flood "before MB" "peak MB" "end MB" "${settle} s later" "flood"
    local row f b p a z t
    for row in "${rows[@]}"; do
        IFS='|' read -r f b p a z t <<<"$row"
        printf '%-9s %12s %12s %12s %14s  %s\n' "$f" "$(fmt "$(awk -v v="$b" 'BEGIN{print v/1024}')" 1)" \
            "$(fmt "$(awk -v v="$p" 'BEGIN{print v/1024}')" 1)" "$(fmt "$(awk -v v="$a" 'BEGIN{print v/1024}')" 1)" \
            "$(fmt "$(awk -v v="$z" 'BEGIN{print v/1024}')" 1)" "$t"
    done
}

if [ "${1:-}" = floods ]; then
    mkdir -p "$CACHE_DIR/results"
    out="$CACHE_DIR/results/relay-floods-$(date -u +%Y%m%d-%H%M%S).txt"
    run_floods | tee "$out"
    log "saved to $out"
    exit 0
fi

log "relay: reps=$REPS, loopback and ${RTT_MS} ms round trip, ab -c 1"
for ((rep = 1; rep <= REPS; rep++)); do
    for rtt in 0 "$RTT_MS"; do one_run "$rep" "$rtt"; done
done

# --- report ------------------------------------------------------------------------------
cell() { # KEY DECIMALS [SCALE]: the median times SCALE, with * when a sample had errors
    local v out; v=$(res_median "$1")
    [ -n "$v" ] && v=$(awk -v v="$v" -v s="${3:-1}" 'BEGIN{printf "%.6f", v*s}')
    out=$(fmt "$v" "$2")
    [ -n "${RES_ERR[$1]:-}" ] && out="$out*"
    echo "$out"
}
report() {
    echo
    echo "Relayed against direct: medians of $REPS run(s), ab -c 1, HTTP/1.0 without keep-alive"
    echo "($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, kernel $(uname -r), Tarvolin $(git -C "$REPO_DIR" describe --always --dirty 2>/dev/null || echo "?")) $BUSY_NOTE"
    echo "round trip $RTT_MS ms: delay proxy between the server and both the relay and the direct visitor"
    echo
    TABLE_W0=22 TABLE_W=13
    print_row "relay.sh" "direct req/s" "relayed req/s" "direct MB/s" "relayed MB/s" "relay/direct" "ceiling MB/s" "relay/ceiling"
    print_rule 7
    local rtt f mb d r rmb ceiling
    for rtt in 0 "$RTT_MS"; do
        for f in 1k 20k 1m; do
            mb=$(awk -v s="$(case $f in 1k) echo $SIZE_1k ;; 20k) echo $SIZE_20k ;; *) echo $SIZE_1m ;; esac)" 'BEGIN{printf "%.9f", s/1e6}')
            d=$(res_median "rps|$f|direct|$rtt"); r=$(res_median "rps|$f|relayed|$rtt")
            # the ceiling speaks of files of many messages
            ceiling=""; [ "$rtt" != 0 ] && [ $f = 1m ] && ceiling=$(awk -v m=$MAX_MESSAGE -v t="$rtt" 'BEGIN{printf "%.6f", m/(t/1000)/1e6}')
            rmb=""; [ -n "$r" ] && rmb=$(awk -v v="$r" -v s="$mb" 'BEGIN{printf "%.6f", v*s}')
            print_row "$(case $f in 1k) echo "1 KiB" ;; 20k) echo "20 KiB" ;; *) echo "1 MiB" ;; esac), $rtt ms" \
                "$(cell "rps|$f|direct|$rtt" 1)" "$(cell "rps|$f|relayed|$rtt" 1)" \
                "$(cell "rps|$f|direct|$rtt" 2 "$mb")" "$(cell "rps|$f|relayed|$rtt" 2 "$mb")" \
                "$(ratio "$r" "$d")" "$([ -n "$ceiling" ] && fmt "$ceiling" 3 || echo "-")" \
                "$([ -n "$ceiling" ] && ratio "$rmb" "$ceiling" || echo "-")"
        done
    done
    echo
    echo "MB/s = 10^6 bytes per second of body. ceiling: one 16384-byte message per round trip."
    local path ms
    for rtt in 0 "$RTT_MS"; do
        for f in 1k 20k; do
            for path in direct relayed; do
                r=$(res_median "rps|$f|$path|$rtt")
                ms=""; [ -n "$r" ] && ms=$(awk -v v="$r" 'BEGIN{ if (v > 0) printf "%.6f", 1000/v }')
                echo "$f, $rtt ms round trip, $path: $(fmt "$ms" 2) ms a request (one at a time)"
            done
        done
    done
    echo "n/a: the path gave wrong answers or did not start (see the log). *: some requests failed."
    echo
    echo "raw samples (req/s):"
    local k
    for k in $(printf '%s\n' "${!RES[@]}" | sort); do echo "  $k: ${RES[$k]}"; done
}
mkdir -p "$CACHE_DIR/results"
out="$CACHE_DIR/results/relay-$(date -u +%Y%m%d-%H%M%S).txt"
report | tee "$out"
log "saved to $out"
