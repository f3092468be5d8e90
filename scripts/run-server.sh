#!/usr/bin/env bash
# Starts the built server with its own settings (port 8080, the default document folder,
# the demo site on first start). Arguments are passed on ("stop", "install", ...).
#
# What the server keeps lives outside build/, which `make clean` deletes:
#   settings (TVN.cfg)   U3_APP_DATA_PATH, by default $XDG_CONFIG_HOME/tarvolin
#   shared folder        Tarvolin/htdocs in U3_DEVICE_DOCUMENT_PATH, by default
#                        $XDG_DATA_HOME/tarvolin
#   access log           LogFileName in TVN.cfg; when not set, $XDG_STATE_HOME/tarvolin/tvn.log
# Left to itself the program would put all three beside its executable, as build/ is
# writable. Values already set (in the environment or in TVN.cfg) are kept.
#
# TVN_SAFE=1 (what shared machines use): network presence is switched off in the settings
# (uPnPDiscovery=0, uPnPRouter=0, no firewall rule) and the program runs in a private network namespace that
# has only loopback, so nothing leaves the machine; it is then reachable only from inside
# that namespace.
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(realpath "${TVN_PROGRAM:-build/tarvolin}")
[ -x "$program" ] || { echo "run-server: $program is not built (make build)" >&2; exit 1; }

export U3_APP_DATA_PATH="${U3_APP_DATA_PATH:-${XDG_CONFIG_HOME:-$HOME/.config}/tarvolin}"
export U3_DEVICE_DOCUMENT_PATH="${U3_DEVICE_DOCUMENT_PATH:-${XDG_DATA_HOME:-$HOME/.local/share}/tarvolin}"
log_file="${XDG_STATE_HOME:-$HOME/.local/state}/tarvolin/tvn.log"

# Reads (and writes) the key through awk's ENVIRON: -v would expand backslashes in a path.
# Keys compare without regard to case and spaces around them, as the program reads them.
# The value of KEY in the one section of TVN.cfg; empty when missing.
get_key() {
    KEY=$2 awk '
        {
            split($0, kv, "="); k = kv[1]; gsub(/^[ \t]+|[ \t\r]+$/, "", k)
            if (index($0, "=") && tolower(k) == tolower(ENVIRON["KEY"])) {
                v = substr($0, index($0, "=") + 1); gsub(/^[ \t]+|[ \t\r]+$/, "", v)
                print v; exit
            }
        }' "$1"
}

# Sets KEY=VALUE in the one section of TVN.cfg, replacing the key if present. Replaced
# atomically, keeping the file's mode; a link to the settings stays a link.
set_key() {
    local file tmp
    file=$(readlink -f -- "$1")
    tmp=$(mktemp "$file.XXXXXX")
    chmod --reference="$file" "$tmp"
    KEY=$2 VALUE=$3 awk '
        BEGIN { key = ENVIRON["KEY"]; value = ENVIRON["VALUE"]; done = 0; header = 0 }
        /^\[/ { if (header && !done) { print key "=" value; done = 1 } header = 1; print; next }
        {
            split($0, kv, "="); k = kv[1]; gsub(/^[ \t]+|[ \t\r]+$/, "", k)
            if (index($0, "=") && tolower(k) == tolower(key)) {
                if (!done) { print key "=" value; done = 1 }
                next
            }
            print
        }
        END {
            if (!header) print "[SOFTWARE\\Tarvolin\\1.0]"
            if (!done) print key "=" value
        }' "$file" >"$tmp"
    mv "$tmp" "$file"
}

# The settings, the shared folder and the log may hold passwords and private files.
(umask 077 && mkdir -p "$U3_APP_DATA_PATH" "$U3_DEVICE_DOCUMENT_PATH" "$(dirname "$log_file")")
cfg="$U3_APP_DATA_PATH/TVN.cfg"
if [ -e "$cfg" ] && [ ! -r "$cfg" ]; then
    echo "run-server: $cfg cannot be read; left as it is" >&2
    exit 1
fi
[ -e "$cfg" ] || (umask 077 && : >"$cfg")
[ -n "$(get_key "$cfg" LogFileName)" ] || set_key "$cfg" LogFileName "$log_file"

# An earlier `make run` kept these beside the program, where `make clean` deletes them.
left=()
for old in TVN.cfg Tarvolin tvn.log; do
    [ ! -e "$(dirname "$program")/$old" ] || left+=("$(dirname "$program")/$old")
done
if [ ${#left[@]} -gt 0 ]; then
    echo "run-server: note: left from an earlier run, and deleted by make clean: ${left[*]}." \
        "Now the settings live in $U3_APP_DATA_PATH, the shared folder in" \
        "$U3_DEVICE_DOCUMENT_PATH/Tarvolin and the log in $(dirname "$log_file")." >&2
fi

if [ "${TVN_SAFE:-0}" != 1 ]; then
    exec "$program" "$@"
fi

set_key "$cfg" uPnPDiscovery 0
set_key "$cfg" uPnPRouter 0
# The system bus is reachable from any network namespace: keep away from the firewall too.
export TVN_FIREWALL_BUS=none

namespace=(unshare -n)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -r -n)
echo "run-server: TVN_SAFE=1: running in a private network namespace (loopback only)" >&2
exec "${namespace[@]}" -- bash -c 'ip link set lo up && exec "$0" "$@"' "$program" "$@"
