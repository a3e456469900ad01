#!/usr/bin/env bash
# TGA reading and writing by pvconvert beside netpbm's tgatoppm and
# ppmtotga in the same run: wall time and peak memory, on a 6000 x 4000
# colour picture, uncompressed and run-length (true colour and mapped).
# Usage: bash bench/tga.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert
bench_workdir

ppmpat -madras 6000 4000 >"$work/colour.ppm"
pnmquant 256 "$work/colour.ppm" 2>/dev/null >"$work/colour256.ppm"
ppmtotga -norle -rgb "$work/colour.ppm" 2>/dev/null >"$work/rgb.tga"
ppmtotga -rgb "$work/colour.ppm" 2>/dev/null >"$work/rgbrle.tga"
ppmtotga -cmap "$work/colour256.ppm" 2>/dev/null >"$work/cmaprle.tga"

for f in rgb rgbrle cmaprle; do
  in="$work/$f.tga"
  echo "== read $f.tga ($(du -h "$in" | cut -f1)) to PPM"
  measure_kb "pvconvert $f.tga out.ppm" ./build/tools/pvconvert "$in" "$work/out.ppm"
  measure_kb "tgatoppm $f.tga" sh -c 'tgatoppm "$1" 2>/dev/null >"$2"' sh "$in" "$work/nt.ppm"
done
echo "== write colour.ppm as an uncompressed true-colour TGA"
measure_kb "pvconvert colour.ppm out.tga" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.tga"
measure_kb "ppmtotga -norle -rgb colour.ppm" sh -c 'ppmtotga -norle -rgb "$1" 2>/dev/null >"$2"' sh \
  "$work/colour.ppm" "$work/nt.tga"
