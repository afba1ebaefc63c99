#!/bin/bash
# Runs inside the fresh Debian 12 root (chroot) as root: installs the package with apt, then runs
# its programs as an operator would. Every step says what it checks; the first failure ends it.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin
step() { echo "== $*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs the command and expects exit status $1.
expect_status() {
  local want=$1 got=0
  shift
  "$@" || got=$?
  [ "$got" -eq "$want" ] || fail "$* exited $got, not $want"
}
# The server's log is Windows-1251 text.
# (grep reads the pipe whole: with pipefail, a `grep -q` that stops early fails the pipeline.)
log_has() { iconv -f CP1251 -t UTF-8 "$1" 2>/dev/null | grep -F -- "$2" >/dev/null; }

step "apt installs the package and what it depends on"
apt-get update -q
apt-get install -y -q --no-install-recommends /tmp/connchk.deb iproute2 logrotate

step "the installed programs run"
[ "$(connchk-server --version)" = "server Version 1.0" ] || fail "connchk-server --version"
[ "$(connchk-client --version)" = "client Version 1.0" ] || fail "connchk-client --version"
for f in /usr/share/man/man1/connchk-client.1.gz /usr/share/man/man1/connchk-server.1.gz \
         /usr/share/bash-completion/completions/connchk-client /usr/lib/systemd/system/connchk-server.service \
         /etc/logrotate.d/connchk-server; do
  [ -s "$f" ] || fail "$f is not installed"
done

step "the server runs in a network namespace as the unit runs it: unprivileged, two capabilities"
logs=/var/log/connchk-server
install -d -o nobody -g nogroup "$logs"
ip netns add connchk
ip -n connchk link set lo up
caps=-all,+net_bind_service,+net_raw
in_ns() { ip netns exec connchk "$@"; }
ip netns exec connchk setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=$caps \
  --ambient-caps=$caps --bounding-set=$caps connchk-server --console --log-dir "$logs" >/tmp/server.out 2>&1 &
server=$!
trap 'kill -KILL $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q "Старт сервера, протокол TCP" /tmp/server.out && break; sleep 0.1; done
grep -q "Старт сервера, протокол TCP" /tmp/server.out || fail "the server did not start: $(cat /tmp/server.out)"
grep -q "Ошибка" /tmp/server.out && fail "a service failed: $(cat /tmp/server.out)"

step "the client checks UDP, TCP, raw IP 53 and ICMP against it"
mkdir -p /tmp/client-log
for type in "IP-Клиент" "TCP (порт 87)" "ВЕЛТ-IP" "ICMP"; do
  expect_status 0 in_ns timeout 60 connchk-client --console --count 2 --protocol "$type" --log-dir /tmp/client-log 127.0.0.1
done

step "--log-dir puts each log where it says, not beside the executable"
log_has "$logs/server_log.txt" "Принят пакет от 127.0.0.1 (unresolved), протокол TCP" || fail "server_log.txt"
[ "$(grep -c $'\r$' /tmp/client-log/client_log.txt)" -ge 8 ] || fail "client_log.txt has not its lines"
[ ! -e /usr/bin/server_log.txt ] && [ ! -e /usr/bin/client_log.txt ] || fail "a log file beside the executable"

step "a folder the user cannot write is refused with a clear error"
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }
expect_status 2 as_nobody connchk-client --console --log-dir /root 127.0.0.1 2>/tmp/refused
grep -q "client: --log-dir /root: cannot write there (Permission denied)" /tmp/refused || fail "$(cat /tmp/refused)"
expect_status 2 as_nobody connchk-server --console --log-dir /var/lib 2>/tmp/refused
grep -q "server: --log-dir /var/lib: cannot write there" /tmp/refused || fail "$(cat /tmp/refused)"
expect_status 2 connchk-server --console --log-dir /nowhere 2>/tmp/refused
grep -q "no such folder" /tmp/refused || fail "$(cat /tmp/refused)"

step "logrotate rotates the log; the running server starts a new one"
logrotate -f -s /tmp/logrotate.state /etc/logrotate.d/connchk-server
[ -s "$logs/server_log.txt.1" ] && [ ! -e "$logs/server_log.txt" ] || fail "not rotated: $(ls -l $logs)"
# What the postrotate's systemctl does under systemd (there is none in this root): HUP the server.
kill -HUP "$server"
expect_status 0 in_ns timeout 60 connchk-client --console --log-dir /tmp/client-log 127.0.0.1
for _ in $(seq 50); do log_has "$logs/server_log.txt" "Принят пакет от 127.0.0.1" && break; sleep 0.1; done
log_has "$logs/server_log.txt" "Принят пакет от 127.0.0.1" || fail "no new server_log.txt after rotation"

step "the server ends on SIGTERM"
kill -TERM "$server"
expect_status 0 wait "$server"
ip netns delete connchk

step "purge removes the programs and the service's logs"
apt-get purge -y -q connchk
[ ! -e /usr/bin/connchk-server ] && [ ! -e "$logs" ] || fail "left after purge"
echo "all checks passed"
