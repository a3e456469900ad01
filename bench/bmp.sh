#!/usr/bin/env bash
# BMP reading and writing by pvconvert beside netpbm's bmptopnm and
# ppmtobmp in the same run: wall time and peak memory, on a 6000 x 4000
# colour picture (24 and 8 bits) and the 20000 x 28000 drawing (1 bit).
# Usage: bash bench/bmp.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir

ppmpat -madras 6000 4000 >"$work/colour.ppm"
pnmquant 256 "$work/colour.ppm" 2>/dev/null >"$work/colour256.ppm"
ppmtobmp -bpp 24 "$work/colour.ppm" 2>/dev/null >"$work/c24.bmp"
ppmtobmp -bpp 8 "$work/colour256.ppm" 2>/dev/null >"$work/c8.bmp"
./build/bench/make_drawing pbm >"$work/drawing.pbm"
ppmtobmp -bpp 1 "$work/drawing.pbm" 2>/dev/null >"$work/d1.bmp"

# bmptopnm writes a two-colour picture as PBM: so does pvconvert here.
for f in c24 c8 d1; do
  in="$work/$f.bmp"
  out=out.ppm
  [ "$f" = d1 ] && out=out.pbm
  echo "== read $f.bmp ($(du -h "$in" | cut -f1)) to ${out#out.}"
  measure_kb "pvconvert $f.bmp $out" ./build/tools/pvconvert "$in" "$work/$out"
  measure_kb "bmptopnm $f.bmp" sh -c 'bmptopnm "$1" 2>/dev/null >"$2"' sh "$in" "$work/nb.ppm"
done
echo "== write colour.ppm as a 24-bit BMP"
measure_kb "pvconvert colour.ppm out.bmp" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.bmp"
measure_kb "ppmtobmp -bpp 24 colour.ppm" sh -c 'ppmtobmp -bpp 24 "$1" 2>/dev/null >"$2"' sh \
  "$work/colour.ppm" "$work/nb.bmp"
