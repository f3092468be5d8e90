#!/usr/bin/env bash
# Makes docs/settings-window.png: the program on a private X display, inside a network
# namespace of its own with only loopback, its window opened by a second start, the screen
# grabbed and cut to the window. Needs Xvfb, xwd and ImageMagick's convert; run as root
# (unshare) from the repository after a build.
set -euo pipefail
if [ "${1:-}" != inside ]; then
    exec unshare -n -- "$0" inside
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ip link set lo up
mkdir -p "$work/cfg" "$work/www" "$work/run"
chmod 700 "$work/run"
cat >"$work/cfg/TVN.cfg" <<CFG
[SOFTWARE\\Tarvolin\\1.0]
Port=18555
HttpsPort=18556
Root=$work/www
NoAskFirewall=1
AcmeDirectory=https://acme.test/directory
DNS_UpdateURL=http://127.0.0.1:1/update
CFG
export U3_APP_DATA_PATH=$work/cfg TVN_FIREWALL_BUS=none XDG_RUNTIME_DIR=$work/run HOME=$work
Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp -noreset &
xvfb=$!
sleep 1
export DISPLAY=:77
"$repo/build/tarvolin" >"$work/first.log" 2>&1 &
sleep 4
"$repo/build/tarvolin" >"$work/second.log" 2>&1 # opens the first one's window
sleep 3
xwd -root -silent | convert xwd:- -crop 500x760+780+264 +repage -bordercolor black -trim +repage \
    "$repo/docs/settings-window.png"
"$repo/build/tarvolin" stop || true
sleep 1
kill "$xvfb" 2>/dev/null || true
