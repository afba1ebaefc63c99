#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a server and runs the client's UDP, TCP,
# raw IP and ICMP checks (over IPv4 and IPv6 loopback) and a sweep of every type against it, in a
# network namespace of its own (so nothing else on the machine is touched), then stops the server.
# Needs root for the namespace, the low ports and raw sockets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec unshare --net bash -c '
  set -u
  ip link set lo up
  build/server/server --console > build/demo-server.txt 2>&1 &
  server=$!
  trap "kill $server 2>/dev/null; wait $server 2>/dev/null" EXIT
  sleep 1
  status=0
  check() {
    echo "== client --console $*"
    build/client/client --console "$@" || status=1
  }
  check --protocol "IP-Клиент" --count 2 127.0.0.1
  check --protocol "TCP (порт 87)" --count 2 127.0.0.1
  check --protocol "ВЕЛТ-IP" --count 2 127.0.0.1
  check --protocol ICMP --count 2 127.0.0.1
  # The same kinds of traffic over IPv6: the server answers both families.
  for type in udp tcp raw53 icmp; do check -q --protocol $type --count 2 -i 0.2 ::1; done
  # Every type at once; TELM-UDP cannot run beside the server and is shown as not run.
  echo "== client -q --sweep -c 1 127.0.0.1"
  build/client/client -q --sweep -c 1 -i 0.2 127.0.0.1 || status=1
  echo "== server said:"
  cat build/demo-server.txt
  exit $status
'
