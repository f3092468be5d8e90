#!/usr/bin/env bash
# Starts the built server with its own settings (port 8080, the default document folder,
# the demo site on first start). Arguments are passed on ("stop", "install", ...).
#
# TVN_SAFE=1 (what shared machines use): network presence is switched off in the settings
# (uPnPDiscovery=0, uPnPRouter=0) and the program runs in a private network namespace that
# has only loopback, so nothing leaves the machine; it is then reachable only from inside
# that namespace.
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(realpath "${TVN_PROGRAM:-build/tarvolin}")
[ -x "$program" ] || { echo "run-server: $program is not built (make build)" >&2; exit 1; }

if [ "${TVN_SAFE:-0}" != 1 ]; then
    exec "$program" "$@"
fi

# The settings file the program will use: U3_APP_DATA_PATH, else the executable folder when
# writable, else $XDG_CONFIG_HOME/tarvolin.
settings_folder() {
    if [ -n "${U3_APP_DATA_PATH:-}" ]; then
        echo "${U3_APP_DATA_PATH%/}"
        return
    fi
    local exe_folder=${U3_DEVICE_EXEC_PATH:-$(dirname "$program")}
    exe_folder=${exe_folder%/}
    if [ -w "$exe_folder" ] && [ -x "$exe_folder" ]; then
        echo "$exe_folder"
    else
        echo "${XDG_CONFIG_HOME:-$HOME/.config}/tarvolin"
    fi
}

# Sets KEY=VALUE in the one section of TVN.cfg, replacing the key if present (keys compare
# without regard to case, as the program reads them). Replaced atomically.
set_key() {
    local file=$1 key=$2 value=$3 tmp
    tmp=$(mktemp "$file.XXXXXX")
    awk -v key="$key" -v value="$value" '
        BEGIN { done = 0; header = 0 }
        /^\[/ { if (header && !done) { print key "=" value; done = 1 } header = 1; print; next }
        {
            split($0, kv, "=")
            if (tolower(kv[1]) == tolower(key)) { if (!done) { print key "=" value; done = 1 } next }
            print
        }
        END {
            if (!header) print "[SOFTWARE\\Tarvolin\\1.0]"
            if (!done) print key "=" value
        }' "$file" >"$tmp"
    mv "$tmp" "$file"
}

folder=$(settings_folder)
mkdir -p "$folder"
cfg="$folder/TVN.cfg"
[ -f "$cfg" ] || : >"$cfg"
set_key "$cfg" uPnPDiscovery 0
set_key "$cfg" uPnPRouter 0

namespace=(unshare -n)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -r -n)
echo "run-server: TVN_SAFE=1: running in a private network namespace (loopback only)" >&2
exec "${namespace[@]}" -- bash -c 'ip link set lo up && exec "$0" "$@"' "$program" "$@"
