#!/bin/bash
# A router lab for the port mapper tests, after shared/recipes/netns-lab.sh but with names of
# the caller's choosing, so that two runs (or another lab) never meet:
#   NAME-wan (10.78.0.1) <-> NAME-rt (wan0 10.78.0.2 | veth-r 10.77.0.1)
#                         <-> NAME-cl (veth-c 10.77.0.2 and 10.77.0.4, default route via 10.77.0.1)
# miniupnpd (nftables) runs in NAME-rt as a real UPnP router. No traffic leaves the namespaces.
# Usage: port_mapper_lab.sh up NAME DIR [extra miniupnpd.conf lines...] | down NAME DIR
# The caller chooses secure_mode (yes: a host may only map ports to itself).
# With LATE=1 `up` leaves the client's link down without addresses and the router stopped, as a
# network that comes after the program; then `link NAME DIR` gives the link its addresses and
# brings it up (its IPv6 link-local address stays tentative for a minute, as duplicate-address
# detection runs) with the default route, and `router NAME DIR` starts miniupnpd.
set -euo pipefail
cmd=$1 name=$2 dir=$3
shift 3
wan=$name-wan rt=$name-rt cl=$name-cl
up() {
  mkdir -p "$dir"
  for ns in $wan $rt $cl; do
    ip netns add "$ns"; ip -n "$ns" link set lo up
    # links come up usable at once (libupnp cannot bind while an IPv6 address is tentative)
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0
    # name lookups inside stay on loopback and fail fast
    mkdir -p "/etc/netns/$ns"; echo 'nameserver 127.0.0.1' > "/etc/netns/$ns/resolv.conf"
  done
  ip link add veth-r netns "$rt" type veth peer name veth-c netns "$cl"
  ip link add wan0 netns "$rt" type veth peer name isp0 netns "$wan"
  ip -n "$rt" addr add 10.77.0.1/24 dev veth-r
  [ "${LATE:-0}" = 1 ] || addresses
  ip -n "$rt" addr add 10.78.0.2/24 dev wan0
  ip -n "$wan" addr add 10.78.0.1/24 dev isp0
  ip -n "$rt" link set veth-r up
  ip -n "$rt" link set wan0 up; ip -n "$wan" link set isp0 up
  ip -n "$rt" route add default via 10.78.0.1
  ip netns exec "$rt" sysctl -qw net.ipv4.ip_forward=1
  # miniupnpd (nft) does not create its table and chains itself
  ip netns exec "$rt" nft -f - <<'NFT'
table inet filter {
  chain forward     { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd   { }
  chain prerouting  { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd  { }
  chain postrouting_miniupnpd { }
}
NFT
  rm -f "$dir/miniupnpd.leases"
  cat > "$dir/miniupnpd.conf" <<CONF
ext_ifname=wan0
listening_ip=veth-r
http_port=5000
enable_upnp=yes
enable_natpmp=no
system_uptime=yes
notify_interval=60
uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b
lease_file=$dir/miniupnpd.leases
allow 1024-65535 10.77.0.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  for line in "$@"; do echo "$line" >> "$dir/miniupnpd.conf"; done
  [ "${LATE:-0}" = 1 ] && return 0
  ip -n "$cl" link set veth-c up
  ip -n "$cl" route add default via 10.77.0.1
  # a link is "running" a moment after both ends are up, and its link-local address stays
  # tentative until then: wait for both to settle
  for _ in $(seq 50); do
    [ "$(ip netns exec "$cl" cat /sys/class/net/veth-c/operstate)" = up ] &&
      ! ip -n "$cl" addr show | grep -q tentative && break
    sleep 0.1
  done
  router
}
addresses() {
  ip -n "$cl" addr add 10.77.0.2/24 dev veth-c
  ip -n "$cl" addr add 10.77.0.4/24 dev veth-c
}
link() {
  addresses
  ip netns exec "$cl" sysctl -qw net.ipv6.conf.veth-c.accept_dad=1
  ip netns exec "$cl" sysctl -qw net.ipv6.conf.veth-c.dad_transmits=60
  ip -n "$cl" link set veth-c up
  ip -n "$cl" route add default via 10.77.0.1
}
router() {
  ip netns exec "$rt" /usr/sbin/miniupnpd -f "$dir/miniupnpd.conf" -d -P "$dir/miniupnpd.pid" \
      > "$dir/miniupnpd.log" 2>&1 < /dev/null &
  echo $! > "$dir/miniupnpd.bgpid"
  for _ in $(seq 50); do grep -q 'HTTP listening' "$dir/miniupnpd.log" && return 0
    kill -0 "$(cat "$dir/miniupnpd.bgpid")" 2>/dev/null || { cat "$dir/miniupnpd.log"; return 1; }
    sleep 0.1; done
  echo "miniupnpd did not start"; cat "$dir/miniupnpd.log"; return 1
}
down() {
  if [ -f "$dir/miniupnpd.bgpid" ]; then
    pid=$(cat "$dir/miniupnpd.bgpid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    rm -f "$dir/miniupnpd.bgpid"
  fi
  for ns in $cl $rt $wan; do ip netns del "$ns" 2>/dev/null || true; rm -rf "/etc/netns/$ns"; done
}
"$cmd" "$@"
