#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# Usage: scripts/test.sh [--sanitize]   (--sanitize runs them built with ASan and UBSan)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh "$@"
build=build
[ "${1:-}" = "--sanitize" ] && build=build-sanitize
# Every end-to-end test makes its own network namespace; where that is possible (root), a test
# that cannot make one must fail rather than skip.
if [ "$(id -u)" -eq 0 ]; then export CHECKER_REQUIRE_NETNS=1; fi
ctest --test-dir "$build" -j4 --output-on-failure --timeout 180
