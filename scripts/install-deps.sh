#!/usr/bin/env bash
# Installs the Debian packages that the build and the test suite need.
# Idempotent: packages already present are not downloaded again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libqt6svg6
    libgtest-dev libgmock-dev
    libpng-dev zlib1g-dev libx11-dev libxext-dev libxtst-dev libxcb1-dev libxcb-shm0-dev libcanberra-dev
    libcurl4-openssl-dev libupnp-dev libminiupnpc-dev
    xvfb xauth dbus x11-xserver-utils x11-utils socat
    iproute2 util-linux procps
)
# "browser": what the walk of the demo site in a real browser needs besides (Node.js 20 or
# later brings the WebSocket the walk speaks to the browser with).
if [ "${1:-}" = browser ]; then
    packages+=(chromium curl)
    command -v node >/dev/null || packages+=(nodejs)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
