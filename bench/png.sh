#!/usr/bin/env bash
# Reads and writes a large PNG (the synthetic drawing, 8000 x 11200 by
# default, as grey, and laid over colour ramps as RGB and interlaced RGB)
# with pvconvert, and with netpbm's pngtopam and pnmtopng in the same run:
# wall time and peak memory.
# pvconvert holds the picture in its tiled raster, so its memory includes
# that; the PNG driver itself streams rows (interlaced files: the whole
# image, as libpng needs every pass).
# Usage: bash bench/png.sh [width height]   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
width=${1:-8000}
height=${2:-11200}
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
./build/bench/make_drawing pgm "$width" "$height" >"$work/grey.pgm"
# Colour with many values: the drawing in red over two ramps.
pgmramp -lr "$width" "$height" >"$work/lr.pgm"
pgmramp -tb "$width" "$height" >"$work/tb.pgm"
rgb3toppm "$work/grey.pgm" "$work/lr.pgm" "$work/tb.pgm" >"$work/rgb.ppm"
rm "$work/lr.pgm" "$work/tb.pgm"
pnmtopng "$work/grey.pgm" >"$work/grey.png"
pnmtopng "$work/rgb.ppm" >"$work/rgb.png"
pnmtopng -interlace "$work/rgb.ppm" >"$work/rgbi.png"

for kind in grey rgb rgbi; do
  out=$([ "$kind" = grey ] && echo pgm || echo ppm)
  echo "== read $kind.png ($(du -h "$work/$kind.png" | cut -f1)) to $out"
  measure "pvconvert" ./build/tools/pvconvert "$work/$kind.png" "$work/out.$out"
  measure "pngtopam" sh -c 'pngtopam "$1" >"$2"' sh "$work/$kind.png" "$work/pam.$out"
  # netpbm keeps the file's bit depth; both are brought to 8-bit PAM.
  if cmp -s <(pamdepth 255 "$work/pam.$out" 2>/dev/null | pamtopam) <(pamtopam <"$work/out.$out"); then
    echo "same pixels"
  else
    echo "PIXELS DIFFER"
  fi
done
for kind in grey rgb; do
  in=$work/$([ "$kind" = grey ] && echo grey.pgm || echo rgb.ppm)
  echo "== write $kind PNG from $(basename "$in") ($(du -h "$in" | cut -f1))"
  measure "pvconvert" ./build/tools/pvconvert "$in" "$work/out.png"
  measure "pnmtopng" sh -c 'pnmtopng "$1" >"$2"' sh "$in" "$work/pnm.png"
  printf '%-34s %s / %s bytes\n' "sizes (ours / pnmtopng)" "$(stat -c %s "$work/out.png")" "$(stat -c %s "$work/pnm.png")"
done
