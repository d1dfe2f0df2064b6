#!/usr/bin/env bash
# Builds Kel and runs every test: the release build, then the same suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, then under collection torture.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/tools/deps.sh" g++ clang cmake ninja-build python3 libgtest-dev libbenchmark-dev unicode-data \
  lua5.4 libclang-rt-14-dev tmux
jobs=$(nproc)
status=0
run_suite() {
  local dir="$1"; shift
  echo "=== build: $dir"
  cmake -S "$here" -B "$here/build/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$here/build/$dir"
  echo "=== tests: $dir"
  (cd "$here/build/$dir" && ctest --output-on-failure -j "$jobs") || status=1
}
run_suite release -DCMAKE_BUILD_TYPE=Release
run_suite sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE=ON
# Collection torture: every allocation collects, moves every buffer and poisons what it left, so a
# value or address held across an allocation without a guard fails here.
run_suite torture -DCMAKE_BUILD_TYPE=Release -DKEL_GC_TORTURE=ON
# The decoders' fuzz targets need clang's libFuzzer: a clang build of only those, each run for a
# bounded time (KEL_FUZZ_SECONDS, 20 by default).
echo "=== build: fuzz"
CC=clang CXX=clang++ cmake -S "$here" -B "$here/build/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_FUZZ=ON -DKEL_FUZZ_SECONDS="${KEL_FUZZ_SECONDS:-20}" >/dev/null
cmake --build "$here/build/fuzz" --target fuzz_targets
echo "=== tests: fuzz"
(cd "$here/build/fuzz" && ctest --output-on-failure -L fuzz -j "$jobs") || status=1
exit $status
