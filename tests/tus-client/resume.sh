#!/usr/bin/env bash
# tus-js-client (npm registry, installed into tests/tus-client/node_modules by
# scripts/install-deps.sh browser) uploads a file to the built program and resumes it after
# the connection was cut; resume.mjs tells what it checks.
#
# Runs itself inside a private network namespace with only loopback. Skips (exit 0, with a
# line saying why) when Node.js or the client is not installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}

NAME=tus-resume
if [ ! -d tests/tus-client/node_modules/tus-js-client ] || ! command -v node >/dev/null; then
    echo "$NAME: skipped: tus-js-client is not installed (scripts/install-deps.sh browser)" >&2
    exit 0
fi
. tests/browser/lib.sh
enter_namespace "$@"
need_tools node curl
make_work

mkdir -p "$WORK/srv/root/Drop"
: >"$WORK/srv/root/Drop/.upload"
head -c $((16 * 1024 * 1024 + 12345)) /dev/urandom >"$WORK/photo.bin"
start_tarvolin 18130 /Drop/

node --no-warnings tests/tus-client/resume.mjs "$PORT" "$WORK/photo.bin" \
    "$WORK/srv/root/Drop/photo.bin" || { echo "--- server"; tail -20 "$WORK/srv/out.log"; exit 1; } >&2
