#!/usr/bin/env bash
# The package on a clean Debian 12, run by hand (it downloads a base system, about 150 MB
# with the program's libraries; CI does not run it): makes a minimal bookworm system with
# debootstrap in a scratch folder, installs the package there with apt as a person would,
# so that apt must find every library it depends on, and starts the installed program
# headless inside it: in a private network namespace with only loopback, its network
# presence off in its settings and no firewall bus. It must answer GET / with 200 and end on
# `tarvolin stop`.
#
# Needs root. DEB names the package (default: the newest in build-pkg/, made by make package);
# MIRROR the Debian mirror (default http://deb.debian.org/debian). KEEP=1 keeps the system.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "clean-install: needs root (debootstrap, chroot)" >&2; exit 2; }
MIRROR=${MIRROR:-http://deb.debian.org/debian}
if [ -z "${DEB:-}" ]; then
    make --no-print-directory package >/dev/null
    DEB=$(ls -t build-pkg/tarvolin_*.deb | head -n 1)
fi
command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

root=$(mktemp -d /var/tmp/tvn-clean.XXXXXX)
chmod 755 "$root" # the root of a system: its users must get in
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    [ "${KEEP:-0}" = 1 ] && { echo "kept $root" >&2; return 0; }
    rm -rf "$root"
}
trap cleanup EXIT
fail() {
    echo "clean-install: $*" >&2
    exit 1
}

echo "clean-install: a minimal bookworm in $root"
debootstrap --variant=minbase bookworm "$root" "$MIRROR" >"$root.log" 2>&1 ||
    { tail -20 "$root.log" >&2; fail "debootstrap failed"; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
cp "$DEB" "$root/tmp/tarvolin.deb"
echo "clean-install: apt-get install $(basename "$DEB")"
chroot "$root" apt-get install -y -qq /tmp/tarvolin.deb >"$root/tmp/apt.log" 2>&1 ||
    { tail -20 "$root/tmp/apt.log" >&2; fail "apt could not install the package"; }
[ -x "$root/usr/bin/tarvolin" ] || fail "no /usr/bin/tarvolin after the install"
[ -e "$root/usr/share/applications/tarvolin.desktop" ] || fail "no menu entry after the install"

# A user of the new system, who cannot write beside the program: the settings, the shared
# folder and the log go to the user's own folders. The network presence off.
mkdir -p "$root/home/visitor/.config/tarvolin" "$root/home/visitor/run"
printf '[SOFTWARE\\Tarvolin\\1.0]\nPort=18140\nuPnPDiscovery=0\nuPnPRouter=0\nServiceHost=\n' \
    >"$root/home/visitor/.config/tarvolin/TVN.cfg"
chown -R 1000:1000 "$root/home/visitor"
chmod 700 "$root/home/visitor/run"
in_root() {
    chroot --userspec=1000:1000 "$root" env -i PATH=/usr/bin:/bin HOME=/home/visitor \
        XDG_RUNTIME_DIR=/home/visitor/run TVN_FIREWALL_BUS=none "$@"
}
export -f in_root
export root
unshare -n -- bash -c '
    set -euo pipefail
    ip link set lo up
    in_root tarvolin </dev/null >/tmp/tvn-clean-out.log 2>&1 &
    pid=$!
    code=000
    for _ in $(seq 100); do
        code=$(curl -s -o /dev/null -w "%{http_code}" http://127.0.0.1:18140/ || true)
        [ "$code" = 200 ] && break
        sleep 0.1
    done
    in_root tarvolin stop
    for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then kill $pid; echo "clean-install: did not end on stop" >&2; exit 1; fi
    [ "$code" = 200 ] || { cat /tmp/tvn-clean-out.log >&2; echo "clean-install: GET / gave $code" >&2; exit 1; }
    echo "clean-install: the installed program answered GET / with 200 and ended on stop"
'
[ -e "$root/home/visitor/Documents/Tarvolin/htdocs/index.html" ] ||
    [ -n "$(ls -A "$root/home/visitor/Documents/Tarvolin/htdocs" 2>/dev/null)" ] ||
    fail "no demo site in the user's folder"
[ ! -e "$root/usr/bin/TVN.cfg" ] || fail "settings written beside the program"
echo "clean-install: the demo site went to the user's folder, nothing beside the program"
