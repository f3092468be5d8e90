#!/usr/bin/env bash
# A protected folder over HTTPS in a real browser, and the same folder asked for in plain
# from another network. A test CA of our own signs a certificate for photos.test; Tarvolin
# serves it (TlsCertificate, TlsKey); headless Chromium trusts the CA through an NSS database
# in its HOME (certutil), the way a user adds a CA, so the browser checks the chain and the
# name as it does for any site. tls-folder.mjs loads https://photos.test:PORT/Protected/ with
# the folder's credentials and checks the listing. Then curl in a second network namespace,
# joined to this one by a veth pair on addresses of no common subnet (a visitor from outside),
# asks for the folder in plain and must be sent to HTTPS (301), not asked for a password.
#
# Runs itself inside a private network namespace with only loopback and that veth pair.
# Needs chromium, nodejs, curl, openssl and certutil (scripts/install-deps.sh browser) and the
# built program (BUILD, default build/).
set -euo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
BUILD=${BUILD:-$REPO/build}

NAME="tls-folder"
. tests/browser/lib.sh
enter_namespace "$@"
need_tools chromium node curl openssl certutil nsenter
make_work

HOST=photos.test
PLAIN=18141
SECURE=18142
SERVER_ADDR=198.51.100.1
VISITOR_ADDR=203.0.113.2

# The test CA and the server's certificate for $HOST (and 127.0.0.1), signed by it.
tls=$WORK/tls
mkdir -p "$tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=Tarvolin Test CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$HOST" \
    -keyout "$tls/key.pem" -out "$tls/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:%s,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' \
    "$HOST" >"$tls/ext.cnf"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" \
    -CAcreateserial -days 2 -extfile "$tls/ext.cnf" -out "$tls/cert.pem" 2>/dev/null

# The CA trusted for web sites in the NSS database Chromium reads ($HOME is $WORK).
mkdir -p "$HOME/.pki/nssdb"
certutil -d "sql:$HOME/.pki/nssdb" -N --empty-password
certutil -d "sql:$HOME/.pki/nssdb" -A -t "C,," -n "Tarvolin Test CA" -i "$tls/ca.pem"

mkdir -p "$WORK/srv/root/Protected"
printf 'anna,pw\n' >"$WORK/srv/root/Protected/.pass"
printf 'sunny beach\n' >"$WORK/srv/root/Protected/holiday-1.txt"
printf 'open\n' >"$WORK/srv/root/open.txt"

start_tarvolin "$PLAIN" /open.txt CreateDemo=2000000000 "HttpsPort=$SECURE" \
    "TlsCertificate=$tls/cert.pem" "TlsKey=$tls/key.pem"
start_chromium 9335 "--host-resolver-rules=MAP $HOST 127.0.0.1"

status=0
node --experimental-websocket --no-warnings tests/browser/tls-folder.mjs 9335 \
    "https://$HOST:$SECURE/Protected/" anna:pw holiday-1.txt || status=1

# The visitor's network: a namespace of its own (a process that waits in it), joined by a veth
# pair. Each end has a host address with a route to the other one only.
unshare -n -- sleep 300 &
visitor=$!
pids+=("$visitor")
for _ in $(seq 50); do
    [ "$(readlink /proc/$visitor/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.1
done
ip link add tvn-srv type veth peer name tvn-visitor netns "$visitor"
ip addr add "$SERVER_ADDR" peer "$VISITOR_ADDR" dev tvn-srv
ip link set tvn-srv up
nsenter -t "$visitor" -n ip link set lo up
nsenter -t "$visitor" -n ip addr add "$VISITOR_ADDR" peer "$SERVER_ADDR" dev tvn-visitor
nsenter -t "$visitor" -n ip link set tvn-visitor up

answer=$(nsenter -t "$visitor" -n curl -s -i --max-time 10 "http://$SERVER_ADDR:$PLAIN/Protected/" | tr -d '\r')
head=${answer%%$'\n\n'*}
check() { # WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; status=1; fi
}
# shellcheck disable=SC2317  # called through check
absent() { # TEXT GREP-ARGUMENTS...: true when grep finds none of them in TEXT
    local text=$1
    shift
    ! grep -qi "$@" <<<"$text"
}
check "a plain request from another network is sent to HTTPS (301)" \
    grep -q '^HTTP/1\.[01] 301 ' <<<"$head"
check "its Location is the folder's https:// address" \
    grep -qx "Location: https://$SERVER_ADDR:$SECURE/Protected/" <<<"$head"
check "no password is asked for in plain" \
    absent "$head" -e "^WWW-Authenticate:" -e " 401 "
check "the folder's file is not shown in plain" absent "$answer" holiday-1

[ $status -eq 0 ] || { echo "--- plain answer"; echo "$answer"; echo "--- server"; tail -20 "$WORK/srv/out.log"; echo "--- chromium"; tail -20 "$WORK/chromium.log"; } >&2
exit $status
