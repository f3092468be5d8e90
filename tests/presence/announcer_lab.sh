#!/bin/bash
# A two-host LAN for the device announcement tests, with names of the caller's choosing so that
# two runs (or another lab) never meet:
#   NAME-dv (veth tvnd0 10.79.0.1) <-> NAME-cl (veth tvnc0 10.79.0.2)
#   NAME-dv (veth tvnd1 10.79.1.1) <-> NAME-cl (veth tvnc1 10.79.1.2)
# The announcer runs in NAME-dv, the searching control point in NAME-cl. No traffic leaves the
# two namespaces. The second link is one that just came up, as after a late login: its IPv6
# link-local address stays tentative (duplicate-address detection) for minutes after each
# `announcer_lab.sh renew NAME`, which takes the link down and up again.
# Usage: announcer_lab.sh up NAME | renew NAME | down NAME
set -euo pipefail
cmd=$1 name=$2
dv=$name-dv cl=$name-cl
up() {
  for ns in $dv $cl; do
    ip netns add "$ns"; ip -n "$ns" link set lo up
    # name lookups inside stay on loopback and fail fast
    mkdir -p "/etc/netns/$ns"; echo 'nameserver 127.0.0.1' > "/etc/netns/$ns/resolv.conf"
  done
  ip link add tvnd0 netns "$dv" type veth peer name tvnc0 netns "$cl"
  # No IPv6 duplicate-address detection: while the link-local address is tentative, libupnp
  # cannot bind its sockets (UpnpInit2 fails with UPNP_E_SOCKET_BIND).
  ip netns exec "$dv" sysctl -qw net.ipv6.conf.tvnd0.accept_dad=0
  ip netns exec "$cl" sysctl -qw net.ipv6.conf.tvnc0.accept_dad=0
  ip -n "$dv" addr add 10.79.0.1/24 dev tvnd0
  ip -n "$cl" addr add 10.79.0.2/24 dev tvnc0
  ip -n "$dv" link set tvnd0 up; ip -n "$cl" link set tvnc0 up
  # the local address is the first link's (the default route leaves through it)
  ip -n "$dv" route add default via 10.79.0.2
  ip link add tvnd1 netns "$dv" type veth peer name tvnc1 netns "$cl"
  ip netns exec "$dv" sysctl -qw net.ipv6.conf.tvnd1.accept_dad=1
  ip netns exec "$dv" sysctl -qw net.ipv6.conf.tvnd1.dad_transmits=300
  ip netns exec "$cl" sysctl -qw net.ipv6.conf.tvnc1.accept_dad=0
  ip -n "$dv" addr add 10.79.1.1/24 dev tvnd1
  ip -n "$cl" addr add 10.79.1.2/24 dev tvnc1
  ip -n "$cl" link set tvnc1 up
  renew
}
renew() {
  ip -n "$dv" link set tvnd1 down; ip -n "$dv" link set tvnd1 up
  # running once both ends are up; its link-local address then stays tentative
  for _ in $(seq 50); do
    [ "$(ip netns exec "$dv" cat /sys/class/net/tvnd1/operstate)" = up ] &&
      ip -n "$dv" addr show dev tvnd1 | grep -q tentative && return 0
    sleep 0.1
  done
  echo "tvnd1 did not come up with a tentative address"; return 1
}
down() {
  for ns in $cl $dv; do ip netns del "$ns" 2>/dev/null || true; rm -rf "/etc/netns/$ns"; done
}
"$cmd"
