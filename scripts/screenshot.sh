#!/usr/bin/env bash
# Starts each program's window under Xvfb and saves a screenshot of it, for a person to look at.
# Usage: scripts/screenshot.sh [BUILD_DIR] [OUT_DIR]   (defaults: build/ and screenshots/)
# Each program runs from a temporary folder of its own (so its log file lands there); run as root,
# it also runs in a network namespace of its own, so the server's ports never meet the machine's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-screenshots}
for tool in Xvfb import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (see scripts/setup.sh)" >&2; exit 1; }
done
for program in client server; do
  [ -x "$build/$program/$program" ] || { echo "screenshot: $build/$program/$program is not built" >&2; exit 1; }
done
mkdir -p "$out"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

isolate=()
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then isolate=(unshare -n); fi

shoot() {
  local program=$1
  mkdir -p "$work/$program"
  cp "$build/$program/$program" "$work/$program/"
  (cd "$work/$program" && DISPLAY=":$display" exec "${isolate[@]}" "./$program") >"$work/$program.log" 2>&1 &
  local pid=$!
  pids+=("$pid")
  sleep 3
  DISPLAY=":$display" import -window root "$work/$program-full.png"
  convert "$work/$program-full.png" -trim +repage "$out/$program.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "screenshot: $out/$program.png"
}

shoot client
shoot server
