#!/usr/bin/env bash
# Makes tests/browser/clip.webm, the short film of the video walk (video.sh): four seconds of
# ffmpeg's test picture at 160 x 120, ten frames a second, in VP8 at low quality (about 7 KiB),
# with a key frame every second so that a seek lands near the time asked for. The film is
# checked in: the walk and CI need no ffmpeg. Run this again only to change the film; it
# installs ffmpeg when it is missing.
set -euo pipefail
cd "$(dirname "$0")"

if ! command -v ffmpeg >/dev/null; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends ffmpeg >/dev/null
fi

# -bitexact and no metadata: the same ffmpeg makes the same bytes twice.
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 4 \
    -c:v libvpx -b:v 10k -crf 50 -qmax 63 -g 10 -auto-alt-ref 0 -pix_fmt yuv420p -an \
    -map_metadata -1 -fflags +bitexact -flags:v +bitexact clip.webm
echo "clip.webm: $(stat -c %s clip.webm) bytes"
