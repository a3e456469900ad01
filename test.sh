#!/usr/bin/env bash
# Builds pvview and runs every test twice: a normal build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
# Extra arguments go to ctest, e.g. `bash test.sh -L common` runs one layer.
set -euo pipefail
cd "$(dirname "$0")"
bash .ci/deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$jobs" "$@"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPV_SANITIZE=ON -DPV_BENCH=OFF >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" "$@"
