#!/usr/bin/env bash
# TIFF reading beside libtiff, in the same run: CPU time, wall time and
# peak memory of each.
#  1. A large file (the 6000 x 8000 drawing in grey and in colour; LZW and
#     Deflate, with and without differencing, and Deflate in separate
#     planes): our decode alone (bench_tiff) and pvconvert to PGM/PPM
#     beside `tiffcp -c none` and tifftopnm.
#  2. The 20000 x 28000 drawing as one Group 4 TIFF: `pvview -timer 1` on a
#     private Xvfb beside `xloadimage -delay 1 -zoom 6`, and
#     `pvconvert -size 1200` beside `vips resize`, each when installed.
# Usage: bash bench/tiff.sh   (needs libtiff-tools, netpbm, Xvfb)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvview pvconvert make_drawing bench_tiff >/dev/null
bench_workdir_x

measure_width=46

echo "== LZW and Deflate: 6000 x 8000"
./build/bench/make_drawing pgm 6000 8000 >"$work/grey.pgm"
pgmramp -lr 6000 8000 >"$work/ramp.pgm"
rgb3toppm "$work/grey.pgm" "$work/ramp.pgm" "$work/grey.pgm" >"$work/colour.ppm"
for image in grey.pgm colour.ppm; do
  pnmtotiff -truecolor "$work/$image" >"$work/plain.tif" 2>/dev/null
  for c in "-c lzw" "-c lzw:2" "-c zip" "-c zip:2" "-p separate -c zip:2"; do
    [ "$image" = grey.pgm ] && [ "${c#-p}" != "$c" ] && continue # one plane: nothing to separate
    # shellcheck disable=SC2086 # the options are words
    tiffcp $c "$work/plain.tif" "$work/in.tif"
    out=out.${image##*.}
    echo "-- $image as $c ($(du -h "$work/in.tif" | cut -f1))"
    measure_cpu "bench_tiff in.tif (decode only)" ./build/bench/bench_tiff "$work/in.tif"
    measure_cpu "pvconvert in.tif $out" ./build/tools/pvconvert "$work/in.tif" "$work/$out"
    measure_cpu "tiffcp -c none in.tif out.tif" tiffcp -c none "$work/in.tif" "$work/out.tif"
    measure_cpu "tifftopnm in.tif > $out" sh -c 'tifftopnm "$1" >"$2"' sh "$work/in.tif" "$work/nb.$out"
  done
done

echo "== Group 4: the 20000 x 28000 drawing"
./build/bench/make_drawing pbm >"$work/drawing.pbm"
pnmtotiff -g4 "$work/drawing.pbm" >"$work/drawing.tif" 2>/dev/null
rm -f "$work/drawing.pbm" "$work/grey.pgm" "$work/colour.ppm" "$work/ramp.pgm"
echo "-- drawing.tif: $(du -h "$work/drawing.tif" | cut -f1)"
measure_cpu "bench_tiff drawing.tif (decode only)" ./build/bench/bench_tiff "$work/drawing.tif"
measure_cpu "tiffcp -c none drawing.tif" tiffcp -c none "$work/drawing.tif" "$work/out.tif"
rm -f "$work/out.tif"
measure_cpu "pvconvert -size 1200 drawing.tif out.pgm" ./build/tools/pvconvert -size 1200 \
  "$work/drawing.tif" "$work/out.pgm"
if command -v vips >/dev/null; then
  measure_cpu "vips resize drawing.tif out.pgm 0.06" vips resize "$work/drawing.tif" "$work/v.pgm" 0.06
else
  echo "vips resize: not installed here"
fi

bench_xvfb 1280x1024x24
measure_cpu "pvview -timer 1 drawing.tif" ./build/viewer/pvview -sysdir system -timer 1 "$work/drawing.tif"
if command -v xloadimage >/dev/null; then
  measure_cpu "xloadimage -delay 1 -zoom 6 drawing.tif" xloadimage -delay 1 -zoom 6 "$work/drawing.tif"
else
  echo "xloadimage: not installed here"
fi
