#!/bin/bash
# Runs bench_dgcomm_faults (link_faults.cpp) from one or more builds and
# prints their figures one after the other, so that a change can be compared
# with a baseline build of an earlier tree:
#   bench/dgcomm/link_faults.sh BUILD_DIR [BASELINE_BUILD_DIR]
# The "vanish" measurement needs root: it puts a collector into a network
# namespace behind a veth pair and then takes the collector's end of the
# link down, so that its packets stop without a close or a reset.
set -u
rounds=${ROUNDS:-5}
limit=${VANISH_LIMIT_SEC:-90}
ns=dgfaults$$
run_one() {
  local bin=$1/bench/dgcomm/bench_dgcomm_faults
  echo "== $1"
  "$bin" rss 100 2>/dev/null | grep '^rss'
  "$bin" stop-reading "$rounds" 2>/dev/null | grep '^stop-reading'
  if [ "$(id -u)" != 0 ] || ! ip netns add "$ns" 2>/dev/null; then
    echo "vanish: skipped (needs root and network namespaces)"
    return
  fi
  ip link add "${ns}a" type veth peer name "${ns}b" netns "$ns"
  ip addr add 10.213.0.1/24 dev "${ns}a"
  ip link set "${ns}a" up
  ip netns exec "$ns" ip addr add 10.213.0.2/24 dev "${ns}b"
  ip netns exec "$ns" ip link set "${ns}b" up
  ip netns exec "$ns" python3 -c '
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.213.0.2", 9977))
s.listen()
s.settimeout(300)
c, _ = s.accept()
c.settimeout(300)
while c.recv(65536):
    pass
' &
  local col=$!
  sleep 0.5
  "$bin" vanish 10.213.0.2 9977 "ip netns exec $ns ip link set ${ns}b down" "$limit" 2>/dev/null |
    grep '^vanish'
  kill "$col" 2>/dev/null
  wait "$col" 2>/dev/null
  ip link del "${ns}a" 2>/dev/null
  ip netns del "$ns"
}
for dir in "$@"; do run_one "$dir"; done
