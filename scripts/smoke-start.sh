#!/usr/bin/env bash
# Starts a built program once on a loopback port in a private network namespace, checks
# that it answers, and stops it: every build variant must at least come up.
set -euo pipefail
program=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/root"
echo "smoke" > "$dir/root/smoke.txt"
cat > "$dir/TVN.cfg" <<CFG
[SOFTWARE\\Tarvolin\\1.0]
Port=18765
Enable=1
Root=$dir/root
CreateDemo=999999999
uPnPDiscovery=0
uPnPRouter=0
HideLog=1
CFG
unshare -n -- bash -c "
ip link set lo up
export U3_APP_DATA_PATH='$dir' U3_DEVICE_EXEC_PATH='$dir' QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
'$program' >'$dir/out.txt' 2>&1 &
pid=\$!
for i in \$(seq 50); do
    if exec 3<>/dev/tcp/127.0.0.1/18765 2>/dev/null; then
        printf 'GET /smoke.txt HTTP/1.0\r\n\r\n' >&3
        answer=\$(cat <&3)
        kill \$pid; wait \$pid || true
        case \"\$answer\" in *smoke*) echo 'smoke start: $1 answers'; exit 0;; esac
        echo \"smoke start: unexpected answer: \$answer\"; exit 1
    fi
    sleep 0.1
done
kill \$pid 2>/dev/null || true
echo 'smoke start: $1 did not answer'; cat '$dir/out.txt'; exit 1
"
