#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (into build-fuzz/) and runs each of them for the
# given number of executions, keeping what each finds in build-fuzz/corpus/<target>/.
# Usage: scripts/fuzz.sh [RUNS_PER_TARGET] [TARGET...]   (default 2000000 runs, every target)
# A failing input is left as build-fuzz/crash-* and the script exits 1. Not part of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-2000000}
shift || true
build=build-fuzz
if ! command -v clang++ >/dev/null; then
  echo "fuzz: needs clang (apt-get install clang), whose libFuzzer the targets use" >&2
  exit 2
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCHECKER_FUZZ=ON -DCHECKER_TESTS=OFF -DCHECKER_WITH_GUI=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$t")"); done
fi
status=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  echo "fuzz: $t, $runs runs"
  if ! (cd "$build" && "fuzz/$t" -runs="$runs" -dict=../fuzz/markers.dict -print_final_stats=1 \
          "corpus/$t" 2>"$t.log"); then
    echo "fuzz: $t FAILED (see $build/$t.log and $build/crash-*)" >&2
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$build/$t.log" || true
done
exit $status
