#!/usr/bin/env bash
# Decodes the 20000 x 28000 Group 4 drawing with our fax decoder and with
# libtiff in the same run (bench_fax, linked with libtiff for this only):
# Mpixel/s of each, the speed-up, and whether the rows are identical; then
# time and peak memory of the whole run.
# Usage: bash bench/fax.sh [width height [rounds]]   (needs libtiff-dev)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build bench_fax >/dev/null
/usr/bin/time -f "whole run: %e s %M KB" ./build/bench/bench_fax "$@"
