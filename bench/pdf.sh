#!/usr/bin/env bash
# Writes the synthetic drawing (20000 x 28000 by default) as a Group 4 PDF
# and a colour ramp picture as a Flate PDF with pvconvert, beside netpbm's
# pnmtops writing the same pictures as Flate PostScript pages and
# pnmtotiff writing the Group 4 TIFF, in the same run: wall time, peak
# memory and file sizes; Ghostscript then renders our drawing at a tenth.
# (ImageMagick's PDF coder is barred by the Debian security policy.)
# pvconvert reads its input into its tiled raster first, so its memory
# includes that; the PDF writer itself streams rows.
# Usage: bash bench/pdf.sh [width height]   (needs netpbm, imagemagick, ghostscript)
set -euo pipefail
cd "$(dirname "$0")/.."
width=${1:-20000}
height=${2:-28000}
. bench/common.sh
measure_width=30
bench_build pvconvert make_drawing
bench_workdir
./build/bench/make_drawing pbm "$width" "$height" >"$work/drawing.pbm"
cw=$((width / 5)) ch=$((height / 5))
pgmramp -lr "$cw" "$ch" >"$work/lr.pgm"
pgmramp -tb "$cw" "$ch" >"$work/tb.pgm"
pgmramp -ellipse "$cw" "$ch" >"$work/el.pgm"
rgb3toppm "$work/lr.pgm" "$work/tb.pgm" "$work/el.pgm" >"$work/rgb.ppm"

size() { printf '%-30s %12s bytes\n' "$1" "$(stat -c %s "$2")"; }

echo "== Group 4: drawing ${width} x ${height}"
measure "pvconvert -compression g4" ./build/tools/pvconvert -compression g4 "$work/drawing.pbm" "$work/ours.pdf"
# The same rows through the same Group 4 encoder into CALS: what the PDF
# wrapping itself costs.
measure "pvconvert to CALS" ./build/tools/pvconvert "$work/drawing.pbm" "$work/ours.cal"
measure "pnmtops -flate" sh -c 'pnmtops -psfilter -flate -noturn -nocenter "$1" >"$2"' sh "$work/drawing.pbm" "$work/im.ps"
measure "pnmtotiff -g4" sh -c 'pnmtotiff -g4 "$1" >"$2"' sh "$work/drawing.pbm" "$work/g4.tif"
size "ours (PDF)" "$work/ours.pdf"
size "pnmtops (PostScript)" "$work/im.ps"
size "pnmtotiff (TIFF)" "$work/g4.tif"
measure "gs renders ours at 1/10" gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pgmraw -r7.2 \
  -sOutputFile="$work/r.pgm" "$work/ours.pdf"

echo "== Flate: colour ramps ${cw} x ${ch}"
measure "pvconvert -compression flate" ./build/tools/pvconvert -compression flate "$work/rgb.ppm" "$work/ours-rgb.pdf"
measure "pnmtops -flate" sh -c 'pnmtops -psfilter -flate -noturn -nocenter "$1" >"$2"' sh "$work/rgb.ppm" "$work/im-rgb.ps"
size "ours (PDF)" "$work/ours-rgb.pdf"
size "pnmtops (PostScript)" "$work/im-rgb.ps"
