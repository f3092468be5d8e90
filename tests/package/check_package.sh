#!/usr/bin/env bash
# Builds the Debian package (make package), reads its control fields, unpacks it into a scratch
# root with dpkg -x, and starts the installed program headless from there as a person would
# after installing it: /usr read-only, so nothing may be written beside the program, and the
# settings, the shared folder with the demo site and the access log go to the user's folders.
# Two starts: settings named by U3_APP_DATA_PATH, then found in $XDG_CONFIG_HOME/tarvolin.
# A third start names a display: the program must load its desktop module from the installed
# folder (on Qt's offscreen platform it then shows no window) and serve all the same.
# Each start runs in a private network namespace with only loopback, with the network
# presence off in its settings and no firewall bus; it must answer GET / with 200 and end
# on `tarvolin stop`. The package is built outside the namespace: it needs no network either.
set -euo pipefail
cd "$(dirname "$0")/../.."

PKG_BUILD_DIR=${PKG_BUILD_DIR:-build-pkg}
make --no-print-directory package PKG_BUILD_DIR="$PKG_BUILD_DIR" >/dev/null
deb=$(ls -t "$PKG_BUILD_DIR"/tarvolin_*.deb | head -n 1)
echo "package: $deb"

fail() {
    echo "package: $*" >&2
    exit 1
}

# The control fields: name, the project's version, and Depends on the libraries we link.
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Architecture|Maintainer|Depends):'
version=$(sed -n 's/^project(Tarvolin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6core6 libqt6dbus6 libqt6gui6 libqt6widgets6 libpng16 libcurl \
    libheif1 libupnp libminiupnpc libcanberra0 libqrencode4 libx11 libxcb-shm0; do
    case "$depends" in *"$library"*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg -x "$deb" "$root"
module=usr/lib/tarvolin/tarvolin-ui.so
for file in usr/bin/tarvolin usr/bin/tarvolin-relay $module usr/lib/tarvolin/tarvolin-pictures.so usr/share/applications/tarvolin.desktop \
    usr/share/icons/hicolor/scalable/apps/tarvolin.svg usr/share/doc/tarvolin/README.md; do
    [ -e "$root/$file" ] || fail "the package lacks /$file"
done
grep -qx 'Exec=tarvolin' "$root/usr/share/applications/tarvolin.desktop" || fail "no Exec line"
grep -qx 'Icon=tarvolin' "$root/usr/share/applications/tarvolin.desktop" || fail "no Icon line"

port=18790
settings_text="[SOFTWARE\\Tarvolin\\1.0]
Port=$port
Enable=1
uPnPDiscovery=0
uPnPRouter=0
ServiceHost=
HideLog=1
"

# One start of the installed program in a fresh home; $1 names the run, $2 is "u3" when
# U3_APP_DATA_PATH names the settings folder, else the settings are in $XDG_CONFIG_HOME; with
# $3 "display", the program gets a display and must map its desktop module.
start_installed() {
    local name=$1 how=$2
    local home=$scratch/$name
    mkdir -p "$home/run" "$home/.config"
    chmod 700 "$home/run"
    local settings=$home/.config/tarvolin
    [ "$how" = u3 ] && settings=$home/settings
    mkdir -p "$settings"
    printf '%s' "$settings_text" >"$settings/TVN.cfg"
    local u3=""
    [ "$how" = u3 ] && u3="U3_APP_DATA_PATH=$settings"
    local display="" module_check=true
    if [ "${3:-}" = display ]; then
        display="DISPLAY=:65000"
        # $pid is the shell that runs run(); the program is that shell or its child.
        module_check="grep -qs ' $root/$module\$' /proc/\$pid/maps \
            \$(sed 's|[0-9][0-9]*|/proc/&/maps|g' /proc/\$pid/task/*/children)"
    fi
    unshare -m -n -- bash -c "
set -euo pipefail
ip link set lo up
mount --bind '$root/usr' '$root/usr'
mount -o remount,bind,ro '$root/usr'
run() {
    env -i PATH=/usr/bin:/bin HOME='$home' XDG_CONFIG_HOME='$home/.config' \
        XDG_DATA_HOME='$home/.local/share' XDG_STATE_HOME='$home/.local/state' \
        XDG_RUNTIME_DIR='$home/run' TVN_FIREWALL_BUS=none QT_QPA_PLATFORM=offscreen $u3 $display \
        '$root/usr/bin/tarvolin' \"\$@\"
}
run >'$home/out.txt' 2>&1 &
pid=\$!
status=000
for i in \$(seq 100); do
    status=\$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 http://127.0.0.1:$port/ || true)
    [ \"\$status\" = 000 ] || break
    sleep 0.1
done
$module_check || { echo 'package: the installed program did not map /$module'; kill \$pid; exit 1; }
# A thumbnail of the demo album: the installed program finds its picture module.
thumbnail=\$(curl -s --max-time 30 http://127.0.0.1:$port/demo/PhotoAlbum/ | grep -o '/Thumbnail__[0-9A-Fa-f]*' | head -n 1 || true)
jpeg=\$(curl -s --max-time 30 \"http://127.0.0.1:$port\$thumbnail\" | head -c 2 | od -An -tx1 | tr -d ' ' || true)
[ -n \"\$thumbnail\" ] && [ \"\$jpeg\" = ffd8 ] ||
    { echo \"package: no JPEG thumbnail in the demo album (\$thumbnail: \$jpeg)\"; kill \$pid; exit 1; }
run stop >>'$home/out.txt' 2>&1 || true
for i in \$(seq 100); do
    kill -0 \$pid 2>/dev/null || break
    sleep 0.1
done
if kill -0 \$pid 2>/dev/null; then
    kill \$pid; echo 'package: the installed program did not end on tarvolin stop'; exit 1
fi
wait \$pid || { echo \"package: the installed program ended with \$?\"; exit 1; }
[ \"\$status\" = 200 ] || { echo \"package: GET / answered \$status\"; exit 1; }
" || { cat "$home/out.txt" >&2; fail "$name: the installed program failed"; }

    [ -s "$settings/TVN.cfg" ] || fail "$name: no settings in $settings"
    grep -q '^CreateDemo=' "$settings/TVN.cfg" || fail "$name: settings not written to $settings"
    [ -d "$home/Documents/Tarvolin/htdocs" ] ||
        fail "$name: the shared folder is not in the documents folder"
    [ -n "$(ls -A "$home/Documents/Tarvolin/htdocs")" ] || fail "$name: no demo site"
    [ -d "$home/.local/state/tarvolin" ] || fail "$name: no log folder in XDG_STATE_HOME"
    if [ -n "$(find "$root" -newer "$deb" ! -type d -print -quit)" ]; then
        fail "$name: the program wrote into its installed folders"
    fi
    echo "package: $name: the installed program answered GET / with 200, showed a thumbnail and ended on stop"
}

start_installed settings-named u3
start_installed settings-found xdg
start_installed with-display xdg display
