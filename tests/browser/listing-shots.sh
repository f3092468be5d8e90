#!/usr/bin/env bash
# Pictures of a folder listing for the README: an ordinary folder holding folders, pictures,
# audio, video, documents, an archive and text, listed by the built-in template in headless
# Chromium at phone size (390x844) and desktop size (1280x900). Writes listing-phone.png and
# listing-desktop.png to OUT (default docs/).
#
# Runs itself inside a private network namespace with only loopback. Needs chromium and
# nodejs (scripts/install-deps.sh browser installs them) and the built program (build/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}
OUT=${OUT:-$REPO/docs}

if [ "${TVN_SHOTS_NETNS:-}" != 1 ]; then
    export TVN_SHOTS_NETNS=1
    exec unshare -n -- bash "$0" "$@"
fi
ip link set lo up

for tool in chromium node; do
    command -v "$tool" >/dev/null || { echo "listing-shots: $tool is missing (scripts/install-deps.sh browser)" >&2; exit 2; }
done
[ -x "$BUILD/tarvolin" ] || { echo "listing-shots: build first (make build)" >&2; exit 2; }

WORK=$(mktemp -d /tmp/tvn-shots.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # Chromium's helpers may still write into its profile for a moment.
    for _ in 1 2 3 4 5 6 7 8 9 10; do rm -rf "$WORK" 2>/dev/null && return 0; sleep 0.5; done
    return 0
}
trap cleanup EXIT
mkdir -p "$OUT" "$WORK/runtime"
chmod 700 "$WORK/runtime"
export XDG_RUNTIME_DIR=$WORK/runtime HOME=$WORK

# The folder: sizes are sparse files, dates fixed, so that the pictures come out the same.
F=$WORK/srv/root/Family
mkdir -p "$F/Holiday 2024" "$F/Recipes"
echo "Pasta, tomatoes, basil" >"$F/Recipes/pasta.txt"
cp resources/BINDAT/demo/PhotoAlbum/sea.jpg "$F/beach.jpg"
cp resources/BINDAT/demo/PhotoAlbum/lighthouse.jpg "$F/lighthouse.jpg"
cp resources/BINDAT/demo/PhotoAlbum/redleaves.jpg "$F/autumn leaves.jpg"
cp resources/BINDAT/demo/PhotoAlbum/mountains.jpg "$F/mountains.jpg"
printf 'milk\nbread\napples\ncoffee\n' >"$F/shopping-list.txt"
truncate -s 3612000 "$F/Morning walk.mp3"
truncate -s 48234000 "$F/Garden party.mp4"
truncate -s 251000 "$F/Tax return 2024.pdf"
truncate -s 1288000000 "$F/Photos backup.zip"
truncate -s 18400 "$F/budget.ods"
day=0
for f in "$F"/* "$F"/*/*; do
    touch -d "2025-03-$((10 + day % 18)) $((8 + day % 11)):$((10 + day * 7 % 50))" "$f"
    day=$((day + 1))
done

PORT=18130
cat >"$WORK/srv/TVN.cfg" <<CFG
[SOFTWARE\\Tarvolin\\1.0]
Port=$PORT
Enable=1
Root=$WORK/srv/root
uPnPDiscovery=0
uPnPRouter=0
ServiceHost=
LogFileName=$WORK/srv/tvn.log
HideLog=1
CFG
TVN_SAFE=1 TVN_FIREWALL_BUS=none U3_APP_DATA_PATH=$WORK/srv U3_DEVICE_EXEC_PATH=$WORK/srv \
    QT_QPA_PLATFORM=offscreen "$BUILD/tarvolin" </dev/null >"$WORK/srv/out.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break; sleep 0.1; done

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$WORK/chromium" --remote-debugging-port=9334 about:blank \
    >"$WORK/chromium.log" 2>&1 &
pids+=($!)

node --experimental-websocket --no-warnings tests/browser/listing-shots.mjs 9334 "$PORT" "$OUT"
