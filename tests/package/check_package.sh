#!/bin/bash
# Builds the Debian package from a build tree and checks it without installing it.
# Usage: check_package.sh build|contents|unit PACKAGE_DIR BUILD_DIR WITH_GUI(ON|OFF)
#   build:    cpack makes the package in PACKAGE_DIR (the other modes check the one found there)
#   contents: the files, the control fields, the programs, the man pages and the bash completion
#   unit:     `systemd-analyze verify` of the unit (with the metrics drop-in) and its security rating
set -euo pipefail
# With pipefail a `grep -q` that stops reading early fails the pipeline (its writer gets SIGPIPE):
# a grep at the end of a pipe reads it whole (>/dev/null) instead.
mode=$1 package_dir=$2 build=$3 with_gui=$4
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = build ]; then
  rm -rf "$package_dir"
  "${CPACK:-cpack}" -G DEB --config "$build/CPackConfig.cmake" -B "$package_dir"
  ls "$package_dir"/connchk_*.deb
  exit 0
fi
deb=$(echo "$package_dir"/connchk_*.deb)
[ -f "$deb" ] || fail "no single package in $package_dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
dpkg-deb -x "$deb" "$root"

# The long options a program's --help names.
long_options() { "$1" --help | grep -o -- '--[a-z][a-z-]*' | sort -u; }
# The OPTIONS section of a rendered man page: each option's tag line is indented by 7.
options_section() { awk '/^[A-Z]/ { inside = $1 == "OPTIONS" } inside' "$1"; }

check_contents() {
  local expected=(
    etc/logrotate.d/connchk-server
    usr/bin/connchk-client
    usr/bin/connchk-server
    usr/lib/systemd/system/connchk-server.service
    usr/share/bash-completion/completions/connchk-client
    usr/share/bash-completion/completions/connchk-server
    usr/share/doc/connchk/examples/metrics.conf.example
    usr/share/man/man1/connchk-client.1.gz
    usr/share/man/man1/connchk-server.1.gz
  )
  diff <(printf '%s\n' "${expected[@]}") <(cd "$root" && find . -type f | sed 's|^\./||' | sort) ||
    fail "the package's files differ from the list above (< expected, > packaged)"
  dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $2 != "root/root" { bad = 1 } END { exit bad }' ||
    fail "files not owned by root"
  [ "$(dpkg-deb -I "$deb" conffiles)" = /etc/logrotate.d/connchk-server ] ||
    fail "the logrotate file is not a conffile"

  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in libc6 libstdc++6 $([ "$with_gui" = ON ] && echo libqt6widgets6); do
    [[ ", $depends" == *", $lib "* ]] || fail "Depends lacks $lib: $depends"
  done

  local program
  for program in client server; do
    local installed=$root/usr/bin/connchk-$program
    readelf -S "$installed" | grep '\.debug_info' >/dev/null && fail "connchk-$program is not stripped"
    [ "$("$installed" --version)" = "$program Version 1.0" ] || fail "connchk-$program --version"

    local page=$root/usr/share/man/man1/connchk-$program.1.gz warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$tmp/$program.txt")
    [ -z "$warnings" ] || fail "man page connchk-$program: $warnings"
    grep -q "connchk-$program" "$tmp/$program.txt" || fail "man page connchk-$program does not render"

    # Every long option the program knows is documented and completed.
    local option completion=$root/usr/share/bash-completion/completions/connchk-$program
    for option in $(long_options "$build/$program/$program"); do
      options_section "$tmp/$program.txt" | grep -E -- "^ {7}(.*, )?$option( |\$)" >/dev/null ||
        fail "man page connchk-$program does not describe $option under OPTIONS"
      bash -c 'source "$1"; COMP_WORDS=("connchk-$2" "$3"); COMP_CWORD=1; "_connchk_$2"
               [[ " ${COMPREPLY[*]} " == *" $3 "* ]]' check "$completion" "$program" "$option" ||
        fail "completion of connchk-$program does not offer $option"
    done
  done
  check_completion "$root/usr/share/bash-completion/completions/connchk-client"
}

# The completion as bash runs it: the word before the cursor picks what is offered.
check_completion() {
  bash -c '
    source "$1"
    complete -p connchk-client connchk-server >/dev/null || exit 1
    mkdir -p "$2/logs"
    offered() {  # function, words of the line (the last one under the cursor)
      local f=$1; shift
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
      $f; echo "${COMPREPLY[*]}"
    }
    expect() { [ "$1" = "$2" ] || { echo "completion: [$3] offered \"$1\", not \"$2\"" >&2; exit 1; }; }
    expect "$(offered _connchk_client connchk-client -p raw11)" "raw110 raw111 raw112 raw113 raw114 raw115 raw116 raw117" "-p raw11"
    expect "$(offered _connchk_client connchk-client --protocol = te)" "telm-udp terminal" "--protocol=te"
    expect "$(offered _connchk_client connchk-client --li)" "--list-protocols" "--li"
    expect "$(offered _connchk_client connchk-client -c "")" "" "-c"
    expect "$(offered _connchk_client connchk-client --log-dir "$2/lo")" "$2/logs" "--log-dir DIR"
    expect "$(offered _connchk_server connchk-server --log-dir = "$2/lo")" "$2/logs" "--log-dir=DIR"
    expect "$(offered _connchk_server connchk-server --me)" "--metrics" "server --me"
    expect "$(offered _connchk_server connchk-server -p "")" "" "server -p"
  ' check "$1" "$tmp" || fail "bash completion"
}

check_unit() {
  # The unit and the drop-in as installed, but naming the packaged server, so that verify finds
  # the program and (through MANPATH) the man page the unit's Documentation= names.
  local units=$tmp/units server=$root/usr/bin/connchk-server out
  mkdir -p "$units/connchk-server.service.d"
  sed "s|/usr/bin/connchk-server|$server|" "$root/usr/lib/systemd/system/connchk-server.service" \
    >"$units/connchk-server.service"
  sed "s|/usr/bin/connchk-server|$server|" "$root/usr/share/doc/connchk/examples/metrics.conf.example" \
    >"$units/connchk-server.service.d/metrics.conf"
  grep -q "^ExecStart=$server --console --log-dir \${LOGS_DIRECTORY}\$" "$units/connchk-server.service" ||
    fail "ExecStart does not name the installed server"
  out=$(SYSTEMD_UNIT_PATH="$units:" MANPATH="$root/usr/share/man" systemd-analyze verify connchk-server.service 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify warns: $out"
  mv "$units/connchk-server.service.d" "$tmp/dropin"
  # Exposure 2.0 or less ("OK"); the hardening options keep it there.
  out=$(SYSTEMD_UNIT_PATH="$units:" systemd-analyze security --offline=yes --threshold=20 connchk-server.service 2>&1) ||
    fail "systemd-analyze security rates the unit worse than 2.0: $(echo "$out" | grep -E '✗|Overall')"
  echo "$out" | grep "Overall exposure"
}

case $mode in
  contents) check_contents ;;
  unit) check_unit ;;
  *) fail "unknown mode $mode" ;;
esac
echo "$mode: passed"
