# What the browser scripts share: a private network namespace, a work folder that goes
# away at the end, Tarvolin on a scratch folder and headless Chromium. Sourced by walk.sh,
# video.sh and listing-shots.sh from the repository's root, with NAME set to the script's
# name and BUILD to the build folder.

# Runs the calling script again inside a private network namespace with only loopback, once.
# Call it with the script's own arguments.
enter_namespace() {
    if [ "${TVN_BROWSER_NETNS:-}" != 1 ]; then
        export TVN_BROWSER_NETNS=1
        exec unshare -n -- bash "$0" "$@"
    fi
    ip link set lo up
}

# Exits with 2 unless each named command is installed and the program is built.
need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null ||
            { echo "$NAME: $tool is missing (scripts/install-deps.sh browser)" >&2; exit 2; }
    done
    [ -x "$BUILD/tarvolin" ] || { echo "$NAME: build first (make build)" >&2; exit 2; }
}

# Makes WORK (with a private runtime folder and HOME in it) and removes it, and every process
# whose pid is in `pids`, at exit; KEEP=1 keeps the folder.
make_work() {
    WORK=$(mktemp -d "/tmp/tvn-$NAME.XXXXXX")
    pids=()
    trap cleanup_work EXIT
    mkdir -p "$WORK/runtime" "$WORK/srv/root"
    chmod 700 "$WORK/runtime"
    export XDG_RUNTIME_DIR=$WORK/runtime HOME=$WORK
}

cleanup_work() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then
        echo "kept $WORK" >&2
        return 0
    fi
    # Chromium's helper processes outlive the browser by a moment and may still write into its
    # profile: try again for a few seconds, and never let the clean-up fail the script.
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        rm -rf "$WORK" 2>/dev/null && return 0
        sleep 0.5
    done
    echo "$NAME: could not remove $WORK" >&2
    return 0
}

# Starts Tarvolin on port $1 sharing $WORK/srv/root, with no network presence and its access
# log in $WORK/srv/tvn.log, and waits until it answers $2 (default /). Further arguments are
# settings lines (Key=Value) added to its settings file.
start_tarvolin() {
    PORT=$1
    local probe=${2:-/}
    shift 2 || shift $#
    {
        printf '[SOFTWARE\\Tarvolin\\1.0]\nPort=%s\nEnable=1\nRoot=%s\n' "$PORT" "$WORK/srv/root"
        printf 'uPnPDiscovery=0\nuPnPRouter=0\nServiceHost=\nLogFileName=%s\nHideLog=1\n' \
            "$WORK/srv/tvn.log"
        [ $# -eq 0 ] || printf '%s\n' "$@"
    } >"$WORK/srv/TVN.cfg"
    TVN_FIREWALL_BUS=none U3_APP_DATA_PATH=$WORK/srv U3_DEVICE_EXEC_PATH=$WORK/srv \
        QT_QPA_PLATFORM=offscreen "$BUILD/tarvolin" </dev/null >"$WORK/srv/out.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$PORT$probe" && break; sleep 0.1; done
}

# Starts headless Chromium with its DevTools on port $1; further arguments are its flags.
start_chromium() {
    local devtools=$1
    shift
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync "$@" \
        --user-data-dir="$WORK/chromium" --remote-debugging-port="$devtools" about:blank \
        >"$WORK/chromium.log" 2>&1 &
    pids+=($!)
}
