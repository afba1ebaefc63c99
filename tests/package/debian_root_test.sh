#!/bin/bash
# Installs the package into a fresh Debian 12 root and runs its programs there (in_debian_root.sh).
# Usage: debian_root_test.sh PACKAGE_DIR WORK_DIR   (as root; WORK_DIR lies in the build tree)
# The minimal root is made once by debootstrap from deb.debian.org and kept in WORK_DIR; every run
# installs into a fresh copy of it. All mounts and processes live in mount and PID namespaces of
# this test's own, so they vanish with it however it ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mirror=http://deb.debian.org/debian

if [ "${1:-}" = --inside ]; then
  # In the test's own mount namespace: the root must be a mount point for `ip netns`.
  root=$2 archives=$3
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/run"
  mount --bind "$archives" "$root/var/cache/apt/archives"
  exec chroot "$root" /bin/bash /tmp/in_debian_root.sh
fi

deb=$(realpath "$1"/connchk_*.deb)
work=$(realpath -m "$2")
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing into a Debian root needs root"
  [ "${CHECKER_REQUIRE_NETNS:-0}" = 1 ] && exit 1
  exit 77
fi
for tool in debootstrap unshare chroot; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

base=$work/bookworm-minbase
mkdir -p "$work/apt-archives/partial"
if [ ! -e "$base/.complete" ]; then
  echo "== debootstrap --variant=minbase bookworm (once; kept in $work)"
  rm -rf "$base"
  timeout 1200 unshare --mount --propagation private \
    debootstrap --variant=minbase bookworm "$base" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log" >&2; echo "FAIL: debootstrap" >&2; exit 1; }
  rm -f "$base"/var/cache/apt/archives/*.deb
  touch "$base/.complete"
fi

# A copy left by a run that was killed is plain files: its mounts lived in that run's namespace.
rm -rf "$work"/root.*
root=$work/root.$$
trap 'rm -rf "$root"' EXIT
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/connchk.deb"
cp "$here/in_debian_root.sh" "$root/tmp/"
# A PID namespace too: whatever the checks leave running ends with them.
timeout 900 unshare --mount --propagation private --pid --fork --kill-child "$0" --inside "$root" "$work/apt-archives"
