#!/usr/bin/env bash
# Thumbnails the 20000 x 28000 synthetic drawing (as PBM, then as PGM) to a
# 1200-pixel-wide PGM with pvconvert, and with netpbm's pamscale and
# libvips' vips resize in the same run: wall time and peak memory.
# Usage: bash bench/pvconvert.sh   (needs netpbm and libvips-tools)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"

for kind in pbm pgm; do
  in="$work/drawing.$kind"
  echo "== $kind input ($(du -h "$in" | cut -f1)) to a 1200-wide PGM"
  measure "pvconvert -size 1200" ./build/tools/pvconvert -size 1200 "$in" "$work/out.pgm"
  measure "pamscale -xsize 1200" sh -c 'pamscale -xsize 1200 "$1" >"$2"' sh "$in" "$work/pam.pgm"
  if command -v vips >/dev/null; then
    measure "vips resize" vips resize "$in" "$work/vips.pgm" 0.06
  else
    echo "vips resize: libvips-tools not installed"
  fi
done
