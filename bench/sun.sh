#!/usr/bin/env bash
# Sun raster reading and writing: pvconvert beside netpbm's rasttopnm and
# pnmtorast on the 6000 x 8000 synthetic drawing, as a grey image with a
# colour map and as a 24-bit colour image, standard and byte-encoded. Wall
# time and peak memory of each, in the same run.
# Usage: bash bench/sun.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
measure_width=40
bench_drawing_pictures 6000 8000

for image in grey.pgm colour.ppm; do
  for form in standard rle; do
    pnmtorast "-$form" "$work/$image" >"$work/in.ras" 2>/dev/null
    out=out.${image##*.}  # the same kind of output for both
    echo "== read: $image as $form Sun raster ($(du -h "$work/in.ras" | cut -f1)) to $out"
    bench_read in.ras "$out" rasttopnm
  done
done
echo "== write: colour.ppm to a 24-bit Sun raster"
bench_write ras pnmtorast
