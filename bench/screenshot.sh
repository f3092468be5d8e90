#!/usr/bin/env bash
# Screenshot answers: how many PNG pictures of a 1920x1080 screen Tarvolin sends per
# second, and how long one takes, full size and fitted into 200x200, side by side with
# ImageMagick's `import -window root png:-` (the same capture and encoding done by a
# program started for each picture) on the same Xvfb screen.
#
# The screen shows a photo-like picture (a plasma fractal, like a wallpaper), so that the PNG
# encoder has real work to do; a one-colour screen compresses to nearly nothing.
#
# Latency: SEQ pictures asked one after the other (curl), median. Throughput: ab with
# CONC clients for SECS seconds. For import: SEQ runs one after the other, median and
# pictures per second (1 / median), and CONC runs at a time for the rate under load.
#
# Runs itself inside a private network namespace with only loopback.
# Knobs (environment): SEQ=20 CONC=4 SECS=10 TVN_BIN=path KEEP=1
set -uo pipefail

# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_enter_netns "$BENCH_DIR/screenshot.sh" "$@"
require_tools curl ab import Xvfb gm awk display

SEQ=${SEQ:-20}
CONC=${CONC:-4}
SECS=${SECS:-10}
PORT=18110

bench_setup_work
check_idle

# --- the screen ------------------------------------------------------------------------
exec 5>"$WORK/display"
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
BG_PIDS+=($!)
for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
DISPLAY=":$(head -n1 "$WORK/display")"
export DISPLAY
log "Xvfb on $DISPLAY"
gm convert -size 1920x1080 plasma:fractal -seed 7 "$WORK/desk.png" 2>/dev/null ||
    gm convert -size 1920x1080 plasma:fractal "$WORK/desk.png"
display -window root "$WORK/desk.png" &
BG_PIDS+=($!)
sleep 2

# --- Tarvolin ----------------------------------------------------------------------------
# The screenshot's folder, with a placeholder that is no PNG: a placeholder answer would
# show in the check below.
mkdir -p "$WORK/root/ScreenShot"
echo "placeholder" >"$WORK/root/ScreenShot/screenshot.png"
TVN_BENCH_DISPLAY=1 start_server tarvolin tarvolin "$WORK/root" $PORT || die "Tarvolin did not start"
URL_FULL="http://127.0.0.1:$PORT/ScreenShot/screenshot.png"
URL_FIT="$URL_FULL?width=200&height=200"

# Checks that a real picture of the screen comes back, not the placeholder.
check_picture() {
    local url=$1 want=$2 got
    http_get "$url" "$WORK/check.png" >/dev/null
    got=$(gm identify -format '%wx%h' "$WORK/check.png" 2>/dev/null)
    [ "$got" = "$want" ] || die "$url gave a picture of ${got:-nothing}, not $want"
}
check_picture "$URL_FULL" 1920x1080
check_picture "$URL_FIT" 200x112

# --- measuring ---------------------------------------------------------------------------
seq_latency() { # URL -> median seconds of SEQ answers
    local i t samples=()
    for ((i = 0; i < SEQ; i++)); do
        t=$(curl --http1.0 -s -o /dev/null -w '%{time_total}' "$1")
        samples+=("$t")
    done
    median "${samples[@]}"
}
import_latency() { # extra import options -> median seconds of SEQ runs
    local i a b samples=()
    for ((i = 0; i < SEQ; i++)); do
        a=$(now)
        import -window root "$@" png:- >/dev/null 2>&1
        b=$(now)
        samples+=("$(elapsed "$a" "$b")")
    done
    median "${samples[@]}"
}
import_rate() { # extra import options -> pictures per second with CONC at a time for SECS
    local end count=0 a b j
    a=$(now)
    end=$(awk -v s="$a" -v d="$SECS" 'BEGIN{printf "%.6f", s+d}')
    while awk -v n="$(now)" -v e="$end" 'BEGIN{exit !(n < e)}'; do
        for ((j = 0; j < CONC; j++)); do import -window root "$@" png:- >/dev/null 2>&1 & done
        wait
        count=$((count + CONC))
    done
    b=$(now)
    awk -v c="$count" -v t="$(elapsed "$a" "$b")" 'BEGIN{printf "%.2f", c/t}'
}

log "Tarvolin: latency, full size and fitted"
tl_full=$(seq_latency "$URL_FULL")
tl_fit=$(seq_latency "$URL_FIT")
log "Tarvolin: throughput with $CONC clients"
read -r tr_full _ <<<"$(run_ab "$URL_FULL" "$CONC" 1000000 "$SECS")"
read -r tr_fit _ <<<"$(run_ab "$URL_FIT" "$CONC" 1000000 "$SECS")"
log "import: latency and rate"
il_full=$(import_latency)
il_fit=$(import_latency -resize 200x200)
ir_full=$(import_rate)
ir_fit=$(import_rate -resize 200x200)

ms() { awk -v v="$1" 'BEGIN{ if (v=="") print "n/a"; else printf "%.1f", v*1000 }'; }
echo
echo "Screenshot of a 1920x1080 Xvfb screen, PNG $BUSY_NOTE"
echo "import: $(peer_versions imagemagick)"
print_row "" "Tarvolin" "import" "ratio"
print_rule 3
print_row "full size: ms per picture" "$(ms "$tl_full")" "$(ms "$il_full")" "$(ratio "$il_full" "$tl_full")"
print_row "200x200: ms per picture" "$(ms "$tl_fit")" "$(ms "$il_fit")" "$(ratio "$il_fit" "$tl_fit")"
print_row "full size: pictures/s ($CONC)" "$(fmt "$tr_full" 1)" "$(fmt "$ir_full" 1)" "$(ratio "$tr_full" "$ir_full")"
print_row "200x200: pictures/s ($CONC)" "$(fmt "$tr_fit" 1)" "$(fmt "$ir_fit" 1)" "$(ratio "$tr_fit" "$ir_fit")"
echo "(ratio: how many times Tarvolin is faster)"
