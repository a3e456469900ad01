#!/usr/bin/env bash
# Thumbnails the 20000 x 28000 synthetic drawing (as PBM and as PGM) and a
# bitmap of random bits of the same size to a 1200-pixel-wide PGM with
# pvconvert, beside libvips' vips resize (and once netpbm's pamscale, for
# reference), alternated, five runs each: median wall time, CPU time, peak
# memory, and the ratios ours / vips.
# Usage: bash bench/pvconvert.sh   (needs libvips-tools and netpbm; RUNS=n to change 5)
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh bench
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
. bench/peers.sh
command -v vips >/dev/null || { echo "vips not installed (apt-get install libvips-tools)"; exit 1; }
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"
make_noise "$work/noise.pbm"

for kind in drawing.pbm drawing.pgm noise.pbm; do
  in="$work/$kind"
  compare "pvconvert -size 1200 $kind" ./build/tools/pvconvert -size 1200 "$in" "$work/out.pgm" -- \
    vips resize "$in" "$work/vips.pgm" 0.06
done
if command -v pamscale >/dev/null; then
  RUNS=1 PEER=pamscale compare "(once) pamscale drawing.pbm" ./build/tools/pvconvert -size 1200 \
    "$work/drawing.pbm" "$work/out.pgm" -- sh -c 'pamscale -xsize 1200 "$1" >"$2"' pamscale \
    "$work/drawing.pbm" "$work/pam.pgm"
fi
