#!/usr/bin/env bash
# Builds the Debian package (Debian 12, as root): installs what is missing and builds into build/
# as scripts/setup.sh does, then makes build/package/connchk_<version>_<arch>.deb with cpack.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cpack -G DEB --config build/CPackConfig.cmake -B build/package >/dev/null
echo "package: $(ls build/package/connchk_*.deb)"
