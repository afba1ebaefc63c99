#!/usr/bin/env bash
# Two hosts on one machine for the terminal exchange, which cannot run on a single host (client
# and server both bind UDP port 855): two network namespaces joined by a veth pair, the server
# host at 192.0.2.1 and 2001:db8::1, the client host at 192.0.2.2 and 2001:db8::2. The bed is
# removed on exit, whatever ends the script. Needs root.
#
#   scripts/two-hosts.sh check [CLIENT OPTIONS...]
#       starts build/server/server --console in the server host and runs
#       build/client/client --console --protocol TELM-UDP [CLIENT OPTIONS...] 192.0.2.1
#       in the client host, then prints what the server logged.
#   scripts/two-hosts.sh run 'SERVER COMMAND' 'CLIENT COMMAND'
#       runs the first command in the background in the server host and the second in the
#       client host; when the second ends, the first is stopped.
#   scripts/two-hosts.sh hold
#       makes the bed, prints its names and waits for Ctrl-C; meanwhile use
#       ip netns exec NAME COMMAND to run anything in either host.
#
# BUILD=dir picks another build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly SERVER_ADDRESS=192.0.2.1
readonly CLIENT_ADDRESS=192.0.2.2
readonly SERVER_ADDRESS6=2001:db8::1
readonly CLIENT_ADDRESS6=2001:db8::2
readonly SERVER_HOST="chk-srv-$$"
readonly CLIENT_HOST="chk-cli-$$"
BUILD=${BUILD:-build}
background=""

usage() {
  sed -n '7,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

teardown() {
  if [[ -n "$background" ]]; then
    kill "$background" 2>/dev/null || true
    wait "$background" 2>/dev/null || true
  fi
  ip netns del "$SERVER_HOST" 2>/dev/null || true
  ip netns del "$CLIENT_HOST" 2>/dev/null || true
}

make_bed() {
  trap teardown EXIT
  trap 'exit 130' INT TERM
  ip netns add "$SERVER_HOST"
  ip netns add "$CLIENT_HOST"
  ip -n "$SERVER_HOST" link add veth0 type veth peer name veth0 netns "$CLIENT_HOST"
  ip -n "$SERVER_HOST" addr add "$SERVER_ADDRESS/24" dev veth0
  ip -n "$CLIENT_HOST" addr add "$CLIENT_ADDRESS/24" dev veth0
  # nodad: usable at once, without waiting for duplicate address detection.
  ip -n "$SERVER_HOST" addr add "$SERVER_ADDRESS6/64" dev veth0 nodad
  ip -n "$CLIENT_HOST" addr add "$CLIENT_ADDRESS6/64" dev veth0 nodad
  for host in "$SERVER_HOST" "$CLIENT_HOST"; do
    ip -n "$host" link set lo up
    ip -n "$host" link set veth0 up
  done
}

# Waits until something in the server host listens on UDP port 855 (0357 in /proc/net/udp or udp6).
wait_for_terminal_port() {
  for _ in $(seq 50); do
    if ip netns exec "$SERVER_HOST" grep -qs ':0357 ' /proc/net/udp /proc/net/udp6; then return 0; fi
    sleep 0.1
  done
  echo "two-hosts: nothing listens on UDP port 855 in the server host" >&2
  return 1
}

[[ $# -ge 1 ]] || usage
command=$1
shift
case "$command" in
  check)
    make_bed
    log=$(mktemp)
    ip netns exec "$SERVER_HOST" "$BUILD/server/server" --console > "$log" 2>&1 &
    background=$!
    wait_for_terminal_port
    status=0
    ip netns exec "$CLIENT_HOST" "$BUILD/client/client" --console --protocol TELM-UDP "$@" "$SERVER_ADDRESS" ||
      status=$?
    echo "== the server logged:"
    cat "$log"
    rm -f "$log"
    exit "$status"
    ;;
  run)
    [[ $# -eq 2 ]] || usage
    make_bed
    ip netns exec "$SERVER_HOST" bash -c "$1" &
    background=$!
    sleep 0.5
    ip netns exec "$CLIENT_HOST" bash -c "$2"
    ;;
  hold)
    make_bed
    echo "server host: $SERVER_HOST ($SERVER_ADDRESS)"
    echo "client host: $CLIENT_HOST ($CLIENT_ADDRESS)"
    echo "for example: ip netns exec $CLIENT_HOST $BUILD/client/client --console --protocol TELM-UDP $SERVER_ADDRESS"
    echo "Ctrl-C removes both hosts."
    # A wait, unlike a sleep in the foreground, returns at once when a signal arrives.
    sleep infinity &
    background=$!
    wait "$background"
    ;;
  *)
    usage
    ;;
esac
