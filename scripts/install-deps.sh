#!/usr/bin/env bash
# Installs the Debian packages that the build and the test suite need.
# Idempotent: packages already present are not downloaded again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libqt6svg6
    libgtest-dev libgmock-dev
    libpng-dev libheif-dev zlib1g-dev libx11-dev libxext-dev libxtst-dev libxcb1-dev libxcb-shm0-dev libcanberra-dev
    libcurl4-openssl-dev libupnp-dev libminiupnpc-dev libssl-dev
    xvfb xauth dbus x11-xserver-utils x11-utils socat
    libqrencode-dev qt6-qpa-plugins trayer xdotool
    iproute2 util-linux procps
    dpkg-dev file curl
    libssl-dev openssl pebble
)
# The router lab of the port mapping tests (miniupnpd as a real UPnP router in namespaces the
# tests make). Installed with services kept from starting: no miniupnpd may run on the host.
router_lab=(miniupnpd-nftables nftables miniupnpc)
# "browser": what the walk of the demo site in a real browser needs besides (Node.js 20 or
# later brings the WebSocket the walk speaks to the browser with; certutil trusts the test CA
# of the HTTPS walk).
if [ "${1:-}" = browser ]; then
    packages+=(chromium curl libnss3-tools openssl)
    command -v node >/dev/null || packages+=(nodejs)
fi
# "fuzz": clang and its libFuzzer and sanitizer runtimes for the harnesses of fuzz/.
if [ "${1:-}" = fuzz ]; then
    packages+=(clang libclang-rt-14-dev)
fi

# tus-js-client, the tus client no one here wrote, for tests/tus-client/resume.sh (with
# "browser", as npm comes with Node.js): installed as package-lock.json pins it.
install_tus_client() {
    [ "${1:-}" = browser ] && command -v npm >/dev/null || return 0
    local folder
    folder="$(dirname "$0")/../tests/tus-client"
    [ -d "$folder/node_modules/tus-js-client" ] ||
        npm ci --prefix "$folder" --no-audit --no-fund --loglevel=error ||
        echo "tus-js-client could not be installed: tests/tus-client/resume.sh will skip" >&2
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
missing_lab=()
for p in "${router_lab[@]}"; do
    installed "$p" || missing_lab+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_lab[@]} -eq 0 ]; then
    install_tus_client "${1:-}"
    exit 0
fi

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_lab[@]} -gt 0 ]; then
    # Keep the package scripts from starting miniupnpd as a service (policy-rc.d), as
    # bench/install-peers.sh does.
    made_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
        "${sudo_cmd[@]}" chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
    fi
    trap 'if [ "$made_policy" = 1 ]; then "${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d; fi' EXIT
    echo "Installing: ${missing_lab[*]}"
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_lab[@]}"
    # Belt and braces: if a service manager started it anyway, stop it.
    if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet miniupnpd 2>/dev/null; then
        "${sudo_cmd[@]}" systemctl stop miniupnpd || true
        "${sudo_cmd[@]}" systemctl disable miniupnpd >/dev/null 2>&1 || true
    fi
fi
install_tus_client "${1:-}"
