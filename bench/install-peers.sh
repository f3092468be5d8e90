#!/usr/bin/env bash
# Installs the peer servers and tools that bench/static.sh and bench/listing.sh
# compare Tarvolin with. Run it outside any network namespace (it needs the
# package registry). Idempotent: packages already present are skipped.
#
# Services are kept from starting during the install (policy-rc.d), so no
# nginx or lighttpd ends up listening on port 80 of the host; the benchmarks
# start their own instances with private configs inside a loopback-only
# network namespace.
set -euo pipefail

packages=(
    nginx            # nginx core (nginx-light is only a transitional package on Debian 12)
    lighttpd
    webfs            # webfsd
    apache2-utils    # ab
    python3          # python3 -m http.server
    libvips-tools    # vipsthumbnail, vips
    graphicsmagick   # gm (thumbnails, and test pictures)
    imagemagick      # import (the screenshot peer)
    xvfb             # the screen of the screenshot benchmark
    x11-apps         # xwd
    x11-xserver-utils # xsetroot
    time             # /usr/bin/time
    curl
    iproute2         # ip
    util-linux       # unshare
    procps
    openssl
    libnss3-tools    # certutil: Chromium of the album bench trusts a test CA
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-peers: all packages present"
    exit 0
fi

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

# Keep package scripts from starting nginx/lighttpd as system services.
made_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
    "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
    made_policy=1
fi
cleanup() {
    if [ "$made_policy" = 1 ]; then "${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d; fi
}
trap cleanup EXIT

echo "install-peers: installing ${missing[*]}"
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Belt and braces: if a service manager started them anyway, stop them.
for svc in nginx lighttpd webfs; do
    if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
        "${sudo_cmd[@]}" systemctl stop "$svc" || true
        "${sudo_cmd[@]}" systemctl disable "$svc" >/dev/null 2>&1 || true
    fi
done
echo "install-peers: done"
