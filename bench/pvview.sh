#!/usr/bin/env bash
# Shows the 20000 x 28000 synthetic drawing (as PBM and as PGM) and a
# bitmap of random bits of the same size with pvview on a private
# 1280x1024x24 Xvfb, beside xloadimage showing the same file reduced to
# about the same size, alternated, five runs each: median wall time (to
# exit, with the 1-second timer), CPU time, peak memory, and the ratios
# ours / xloadimage. The viewer's timer second counts in the wall time of
# both (xloadimage -delay 1).
# Usage: bash bench/pvview.sh   (needs Xvfb and xloadimage; RUNS=n to change 5)
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh bench
. bench/common.sh
bench_build pvview make_drawing
bench_workdir_x
. bench/peers.sh
command -v xloadimage >/dev/null || { echo "xloadimage not installed (apt-get install xloadimage)"; exit 1; }
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"
make_noise "$work/noise.pbm"

bench_xvfb 1280x1024x24

for kind in drawing.pbm drawing.pgm noise.pbm; do
  in="$work/$kind"
  # pvview fits the page to the screen (about 6 per cent); xloadimage is
  # asked for the same with -zoom 6.
  compare "pvview $kind" ./build/viewer/pvview -sysdir system -timer 1 "$in" -- \
    xloadimage -delay 1 -zoom 6 "$in"
done
