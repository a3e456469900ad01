#!/usr/bin/env bash
# JPEG decoding beside libjpeg-turbo's djpeg, in the same run: a 4000 x 3000
# colour picture (fractal clouds with grain, so that it codes like a photo)
# made by cjpeg as baseline and as progressive. For each: our decoder alone
# (bench_jpeg: Mpixel/s from memory, no output), pvconvert to PPM, and
# `djpeg -pnm` (default and -dct int -nosmooth, our method), with wall time
# and peak memory.
# Usage: bash bench/jpeg.sh   (needs netpbm, libjpeg-turbo-progs)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert bench_jpeg
bench_workdir
measure_width=44

ppmforge -clouds -width 4000 -height 3000 -seed 7 >"$work/clouds.ppm" 2>/dev/null
pgmnoise 4000 3000 -randomseed 7 >"$work/noise.pgm" 2>/dev/null || pgmnoise 4000 3000 >"$work/noise.pgm"
# A little grain: a tenth of the noise added to each channel.
pnmdepth 2559 "$work/clouds.ppm" >"$work/c10.ppm"
rgb3toppm "$work/noise.pgm" "$work/noise.pgm" "$work/noise.pgm" | pnmdepth 255 >"$work/n.ppm"
pnmarith -add "$work/c10.ppm" "$work/n.ppm" 2>/dev/null | pnmdepth 255 >"$work/colour.ppm"
rm -f "$work/c10.ppm" "$work/n.ppm" "$work/noise.pgm" "$work/clouds.ppm"

for kind in baseline progressive; do
  option=""
  [ "$kind" = progressive ] && option="-progressive"
  cjpeg -quality 85 $option "$work/colour.ppm" >"$work/$kind.jpg"
  echo "== $kind 4000 x 3000 ($(du -h "$work/$kind.jpg" | cut -f1))"
  for run in 1 2; do
    echo "bench_jpeg $kind.jpg (decode only, run $run): $(./build/bench/bench_jpeg "$work/$kind.jpg")"
  done
  measure "bench_jpeg $kind.jpg" ./build/bench/bench_jpeg "$work/$kind.jpg"
  measure "pvconvert $kind.jpg out.ppm" ./build/tools/pvconvert "$work/$kind.jpg" "$work/out.ppm"
  measure "djpeg -pnm $kind.jpg" djpeg -pnm -outfile "$work/dj.ppm" "$work/$kind.jpg"
  measure "djpeg -pnm -dct int -nosmooth $kind.jpg" djpeg -pnm -dct int -nosmooth \
    -outfile "$work/dj.ppm" "$work/$kind.jpg"
  pixels=$((4000 * 3000 * 3))
  cmp -s <(tail -c "$pixels" "$work/out.ppm") <(tail -c "$pixels" "$work/dj.ppm") && echo "pvconvert and djpeg -dct int -nosmooth: identical pixels" ||
    echo "pvconvert and djpeg -dct int -nosmooth: pixels differ"
done
