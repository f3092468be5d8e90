#!/usr/bin/env bash
# A film in a real browser: Tarvolin shares a scratch folder with a page and clip.webm (made by
# make-clip.sh, checked in), and headless Chromium plays the film and jumps to its third second;
# video.mjs checks that it played, that the jump landed and that the film was fetched in byte
# ranges (206).
#
# Runs itself inside a private network namespace with only loopback. Needs chromium, nodejs
# and curl (scripts/install-deps.sh browser) and the built program (BUILD, default build/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}

if [ "${TVN_VIDEO_NETNS:-}" != 1 ]; then
    export TVN_VIDEO_NETNS=1
    exec unshare -n -- bash "$0" "$@"
fi
ip link set lo up

for tool in chromium node curl; do
    command -v "$tool" >/dev/null || { echo "video: $tool is missing (scripts/install-deps.sh browser)" >&2; exit 2; }
done
[ -x "$BUILD/tarvolin" ] || { echo "video: build first (make build)" >&2; exit 2; }

WORK=$(mktemp -d /tmp/tvn-video.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then
        echo "kept $WORK" >&2
        return 0
    fi
    # Chromium's helpers may still write into its profile for a moment (see walk.sh).
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        rm -rf "$WORK" 2>/dev/null && return 0
        sleep 0.5
    done
    echo "video: could not remove $WORK" >&2
    return 0
}
trap cleanup EXIT
mkdir -p "$WORK/runtime" "$WORK/srv/root"
chmod 700 "$WORK/runtime"
export XDG_RUNTIME_DIR=$WORK/runtime HOME=$WORK

cp tests/browser/clip.webm "$WORK/srv/root/clip.webm"
cat >"$WORK/srv/root/video.html" <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Film</title></head>
<body><video id="film" src="clip.webm" muted playsinline preload="auto" width="160" height="120"></video></body>
</html>
EOF

PORT=18121
cat >"$WORK/srv/TVN.cfg" <<EOF
[SOFTWARE\\Tarvolin\\1.0]
Port=$PORT
Enable=1
Root=$WORK/srv/root
uPnPDiscovery=0
uPnPRouter=0
ServiceHost=
CreateDemo=2000000000
LogFileName=$WORK/srv/tvn.log
HideLog=1
EOF
U3_APP_DATA_PATH=$WORK/srv U3_DEVICE_EXEC_PATH=$WORK/srv QT_QPA_PLATFORM=offscreen \
    TVN_FIREWALL_BUS=none "$BUILD/tarvolin" </dev/null >"$WORK/srv/out.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$PORT/video.html" && break; sleep 0.1; done

# Films start without a click, as a visitor's click would start them.
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --autoplay-policy=no-user-gesture-required \
    --user-data-dir="$WORK/chromium" --remote-debugging-port=9334 about:blank \
    >"$WORK/chromium.log" 2>&1 &
pids+=($!)

status=0
node --experimental-websocket --no-warnings tests/browser/video.mjs 9334 "$PORT" \
    tests/browser/clip.webm || status=1
# The access log has a line for each request: the film's must be there.
if grep -q 'GET /clip.webm ' "$WORK/srv/tvn.log"; then
    echo "ok   the access log holds the film's requests"
else
    echo "FAIL the access log holds the film's requests"
    status=1
fi
[ $status -eq 0 ] || { echo "--- server"; tail -20 "$WORK/srv/out.log"; echo "--- chromium"; tail -20 "$WORK/chromium.log"; } >&2
exit $status
