#!/usr/bin/env bash
# Shows both windows at work under Xvfb and saves what a person would see: the client after a run
# of twelve rounds (one request in six lost, so the plot shows its time-out marks, the server's
# account below), the client after a sweep of every protocol type, and the server that answered
# both; then the client's trace of every type and its sweep through two ways out, compared.
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUT_DIR]   (defaults: build/ and screenshots/; as root)
# The programs run from a temporary folder each (so their log files land there) in a network
# namespace of their own, so the server's ports and the lost requests never touch the machine's.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--scene" ]; then
  # Inside the namespace: $2 display, $3 work folder, $4 output folder.
  display=$2 work=$3 out=$4
  export DISPLAY=":$display"
  ip link set lo up
  window() {  # the id of the visible window whose title holds $1, once it is there
    timeout 20 xdotool search --sync --onlyvisible --name "$1" | head -n1
  }
  shoot() {  # window id, file
    sleep 1
    import -window "$1" "$out/$2"
    echo "screenshot: $out/$2"
  }
  keys() {  # window id, keys...
    local id=$1
    shift
    xdotool windowfocus --sync "$id"
    xdotool key --delay 80 "$@"
  }

  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
  (cd "$work/server" && exec ./server) >"$work/server.out" 2>&1 &
  pids+=($!)
  server=$(window "Сервер проверки соединения")
  xdotool windowmove --sync "$server" 860 0
  (cd "$work/client" && exec ./client) >"$work/client.out" 2>&1 &
  pids+=($!)
  client=$(window "Проверка возможности соединения")
  xdotool windowmove --sync "$client" 0 0

  # Every sixth UDP echo request is dropped on the way in.
  nft -f - <<'RULES'
table inet screenshot {
  chain incoming {
    type filter hook input priority 0;
    udp dport 87 numgen inc mod 6 5 drop
  }
}
RULES
  # The address field has the focus: two tabs on is the packet count; Enter starts the run.
  keys "$client" Tab Tab ctrl+a 1 2 Return
  sleep 25
  shoot "$client" client-run.png
  nft delete table inet screenshot

  # Then a sweep of every type: "Проверить все типы" sits at the right end of the tab bar, where the
  # window's font puts it (DejaVu Sans 9 as Xvfb has it); it runs 15 types of 3 rounds each.
  xdotool mousemove --window "$client" 105 168 click 1
  keys "$client" ctrl+a 3
  xdotool mousemove --window "$client" 520 374 click 1
  sleep 70
  shoot "$client" client-sweep.png
  shoot "$server" server.png

  # The tab "Маршрут" and its button: every type traced at once, each reaching the server at hop 1.
  xdotool mousemove --window "$client" 320 375 click 1
  xdotool mousemove --window "$client" 90 400 click 1
  sleep 8
  shoot "$client" client-trace.png

  # A sweep through two ways out, typed into "Через": protocol 53 from 127.0.0.2 is dropped on the
  # way in, so ВЕЛТ-IP passes through the one and fails through the other.
  ip addr add 127.0.0.2/8 dev lo
  nft -f - <<'RULES'
table inet screenshot {
  chain incoming {
    type filter hook input priority 0;
    ip saddr 127.0.0.2 ip protocol 53 drop
  }
}
RULES
  xdotool mousemove --window "$client" 240 375 click 1
  xdotool mousemove --window "$client" 300 402 click 1
  xdotool type --delay 50 "127.0.0.1, 127.0.0.2"
  xdotool mousemove --window "$client" 520 374 click 1
  sleep 100
  shoot "$client" client-ways.png
  exit 0
fi

build=${1:-build}
out=${2:-screenshots}
for tool in Xvfb import xdotool nft unshare; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (see scripts/setup.sh)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "screenshot: run as root (it makes a network namespace)" >&2; exit 1; }
for program in client server; do
  [ -x "$build/$program/$program" ] || { echo "screenshot: $build/$program/$program is not built" >&2; exit 1; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d)
xvfb=
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 2000x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

for program in client server; do
  mkdir -p "$work/$program"
  cp "$build/$program/$program" "$work/$program/"
done
unshare -n bash "$0" --scene "$display" "$work" "$out"
