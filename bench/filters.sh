#!/usr/bin/env bash
# Time to the first picture of vector input: a one-page PDF of many
# strokes rasterised by pvconvert through the shipped filter description
# file (Ghostscript behind a shell pipe, the raster read back from the
# pipe) beside Ghostscript alone writing the same raster, in the same run:
# wall time and peak memory. What is left between the two is the cost of
# the filter stage and of reading the raster.
# pvconvert rasterises at its default 144 dots per inch.
# Usage: bash bench/filters.sh [strokes]   (needs ghostscript)
set -euo pipefail
cd "$(dirname "$0")/.."
resolution=144
strokes=${1:-20000}
. bench/common.sh
measure_width=34
bench_build pvconvert
bench_workdir

# A letter page of coloured strokes, as a plotter file converted to PDF.
awk -v n="$strokes" 'BEGIN {
  srand(1); print "%!PS"; print "0.3 setlinewidth"
  for (i = 0; i < n; i++)
    printf "%.2f %.2f %.2f setrgbcolor %.1f %.1f moveto %.1f %.1f lineto stroke\n",
      rand(), rand(), rand(), rand() * 612, rand() * 792, rand() * 612, rand() * 792
  print "showpage" }' >"$work/page.ps"
gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile="$work/page.pdf" "$work/page.ps"

echo "PDF of $strokes strokes at $resolution dpi ($(stat -c %s "$work/page.pdf") bytes)"
measure "gs alone -> ppm" gs -q -dBATCH -dNOPAUSE -dSAFER -dEPSCrop -sDEVICE=ppmraw \
  -r"$resolution" -sOutputFile="$work/gs.ppm" "$work/page.pdf"
measure "pvconvert via filters -> ppm" env SYSDIR="$PWD/system" \
  ./build/tools/pvconvert "$work/page.pdf" "$work/pv.ppm"
pixels=$((612 * resolution / 72 * 792 * resolution / 72 * 3))
if cmp -s <(tail -c "$pixels" "$work/gs.ppm") <(tail -c "$pixels" "$work/pv.ppm"); then
  echo "same pixels"
else
  echo "pixels differ"
fi
