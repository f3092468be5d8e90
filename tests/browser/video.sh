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

NAME=video
. tests/browser/lib.sh
enter_namespace "$@"
need_tools chromium node curl
make_work

cp tests/browser/clip.webm "$WORK/srv/root/clip.webm"
cat >"$WORK/srv/root/video.html" <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Film</title></head>
<body><video id="film" src="clip.webm" muted playsinline preload="auto" width="160" height="120"></video></body>
</html>
EOF

start_tarvolin 18121 /video.html CreateDemo=2000000000
# Films start without a click, as a visitor's click would start them.
start_chromium 9334 --autoplay-policy=no-user-gesture-required

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
