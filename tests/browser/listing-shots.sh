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

NAME=shots
. tests/browser/lib.sh
enter_namespace "$@"
need_tools chromium node curl
make_work
mkdir -p "$OUT"

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

start_tarvolin 18130
start_chromium 9334

node --experimental-websocket --no-warnings tests/browser/listing-shots.mjs 9334 "$PORT" "$OUT"
