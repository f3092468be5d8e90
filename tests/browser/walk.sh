#!/usr/bin/env bash
# The demo site in a real browser: starts a desktop of its own (Xvfb, a private session bus,
# the fake media player of the tests with a window), Tarvolin with the demo site on it, and
# headless Chromium; walk.mjs then uses the blog, screenshot and remote-control pages as a
# visitor would. Pictures of the three pages go to OUT (default docs/). site.mjs then walks
# the whole demo site as a visitor on a phone and on a desktop; the pictures of its steps go
# to SHOTS (default build/browser-walk/).
#
# Runs itself inside a private network namespace with only loopback. Needs the packages
# chromium, xvfb, dbus and nodejs (scripts/install-deps.sh browser installs them) and the
# built program and test tools (build/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}
OUT=${OUT:-$REPO/docs}
SHOTS=${SHOTS:-$BUILD/browser-walk}

NAME=walk
. tests/browser/lib.sh
enter_namespace "$@"
need_tools chromium Xvfb dbus-daemon node curl
PLAYER=$BUILD/tests/fake_mpris_player
[ -x "$PLAYER" ] || { echo "walk: build first (make build)" >&2; exit 2; }
make_work
mkdir -p "$OUT" "$SHOTS"

# The desktop: a screen, a bus and a player whose window has the focus.
exec 5>"$WORK/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$WORK/display")"
# A desktop colour, so that the picture of the screen shows a desktop.
command -v xsetroot >/dev/null && xsetroot -solid '#3a6ea5' || true
dbus-daemon --session --nofork --nopidfile --print-address=1 >"$WORK/bus" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$WORK/bus" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$WORK/bus")
QT_QPA_PLATFORM=xcb "$PLAYER" walk --window >"$WORK/player.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$WORK/player.log" && break; sleep 0.1; done

# The server with its demo site, settled in the work folder.
start_tarvolin 18120
start_chromium 9333

status=0
node --experimental-websocket --no-warnings tests/browser/walk.mjs 9333 "$PORT" "$OUT" || status=1
rm -f "$SHOTS"/*.png
node --experimental-websocket --no-warnings tests/browser/site.mjs 9333 "$PORT" "$SHOTS" || status=1

# What the player was asked to do by the buttons.
check_player() {
    if grep -q "$1" "$WORK/player.log"; then echo "ok   $2"; else echo "FAIL $2"; status=1; fi
}
check_player '^Play' "the Play button reached the player"
check_player '^Volume' "the Vol+ button raised the player's volume"
check_player '^Key' "the 5 key reached the player's window"
[ $status -eq 0 ] || { echo "--- player"; cat "$WORK/player.log"; echo "--- server"; tail -20 "$WORK/srv/out.log"; } >&2
exit $status
