#!/usr/bin/env bash
# SGI reading and writing: pvconvert beside netpbm's sgitopnm and
# pnmtosgi on the 6000 x 8000 synthetic drawing, as a grey image and as a
# colour image, verbatim and run-length encoded. Wall time and peak memory
# of each, in the same run.
# Usage: bash bench/sgi.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
measure_width=40
bench_drawing_pictures 6000 8000

for image in grey.pgm colour.ppm; do
  for form in verbatim rle; do
    pnmtosgi "-$form" "$work/$image" >"$work/in.sgi" 2>/dev/null
    out=out.${image##*.}  # the same kind of output for both
    echo "== read: $image as $form SGI ($(du -h "$work/in.sgi" | cut -f1)) to $out"
    bench_read in.sgi "$out" sgitopnm
  done
done
echo "== write: colour.ppm to a verbatim SGI"
bench_write sgi pnmtosgi
