#!/usr/bin/env bash
# PCX reading by pvconvert beside netpbm's pcxtoppm in the same run: wall
# time and peak memory, on a 6000 x 4000 colour picture (24-bit planes, 8
# and 4 bits) and the 20000 x 28000 drawing (1 bit).
# Usage: bash bench/pcx.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir

ppmpat -madras 6000 4000 >"$work/colour.ppm"
ppmtopcx -24bit "$work/colour.ppm" 2>/dev/null >"$work/c24.pcx"
ppmtopcx -8bit "$work/colour.ppm" 2>/dev/null >"$work/c8.pcx"
ppmtopcx "$work/colour.ppm" 2>/dev/null >"$work/c4.pcx"
./build/bench/make_drawing pbm >"$work/drawing.pbm"
ppmtopcx "$work/drawing.pbm" 2>/dev/null >"$work/d1.pcx"

for f in c24 c8 c4 d1; do
  in="$work/$f.pcx"
  echo "== read $f.pcx ($(du -h "$in" | cut -f1)) to PPM"
  measure_kb "pvconvert $f.pcx out.ppm" ./build/tools/pvconvert "$in" "$work/out.ppm"
  measure_kb "pcxtoppm $f.pcx" sh -c 'pcxtoppm "$1" 2>/dev/null >"$2"' sh "$in" "$work/np.ppm"
done
