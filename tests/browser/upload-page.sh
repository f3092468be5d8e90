#!/usr/bin/env bash
# The upload area of the built-in listing in headless Chromium: Tarvolin shares a folder that
# takes uploads (Inbox/, with .upload) and one that does not (Plain/); upload-page.mjs picks
# two photographs and a file of a few MiB with a name in UTF-8 for Inbox/, watches the bars
# reach 100 % and the listing show them with thumbnails, then sends a larger file whose
# connection it cuts half way, and one whose page it leaves half way and picks again on the page
# loaded anew. Afterwards every stored file must equal the one sent, under
# its own name, with no part file left in sight.
#
# Runs itself inside a private network namespace with only loopback. Needs chromium, nodejs
# and curl (scripts/install-deps.sh browser) and the built program (BUILD, default build/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}

NAME=upload-page
. tests/browser/lib.sh
enter_namespace "$@"
need_tools chromium node curl sha256sum
make_work

mkdir -p "$WORK/srv/root/Inbox" "$WORK/srv/root/Plain" "$WORK/send"
: >"$WORK/srv/root/Inbox/.upload"
printf 'already here\n' >"$WORK/srv/root/Inbox/notes.txt"
printf 'nothing to send\n' >"$WORK/srv/root/Plain/readme.txt"
cp resources/BINDAT/demo/PhotoAlbum/sea.jpg "$WORK/send/IMG_0001.jpg"
cp resources/BINDAT/demo/PhotoAlbum/lighthouse.jpg "$WORK/send/IMG_0002.jpg"
head -c 6000000 /dev/urandom >"$WORK/send/Réunion ★ notes.bin"
head -c 40000000 /dev/urandom >"$WORK/big-film.mp4"
head -c 40000000 /dev/urandom >"$WORK/long-video.mp4"

start_tarvolin 18150 /Plain/readme.txt CreateDemo=2000000000
start_chromium 9336

status=0
node --experimental-websocket --no-warnings tests/browser/upload-page.mjs 9336 "$PORT" \
    "$WORK/send" "$WORK/big-film.mp4" "$WORK/long-video.mp4" || status=1

check() { # WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}
same() { [ "$(sha256sum <"$1")" = "$(sha256sum <"$2")" ]; }
for f in "$WORK/send"/* "$WORK/big-film.mp4" "$WORK/long-video.mp4"; do
    name=${f##*/}
    check "$name is stored whole under its own name" same "$f" "$WORK/srv/root/Inbox/$name"
done
stored=$(find "$WORK/srv/root/Inbox" -maxdepth 1 -type f ! -name '.*' | wc -l)
check "the folder holds the 5 files sent and its own, nothing twice" [ "$stored" -eq 6 ]
check "nothing was written into the folder that takes no uploads" \
    [ "$(find "$WORK/srv/root/Plain" -type f | wc -l)" -eq 1 ]

[ $status -eq 0 ] || { echo "--- server"; tail -30 "$WORK/srv/out.log"; tail -30 "$WORK/srv/tvn.log"; echo "--- chromium"; tail -20 "$WORK/chromium.log"; } >&2
exit $status
