#!/usr/bin/env bash
# Encodes a 4000 x 3000 colour picture to JPEG with pvconvert (from PPM)
# and with libjpeg-turbo's cjpeg in the same run: baseline at our default
# (quality 10, 2x1) beside cjpeg -quality 75 -sample 2x1 (files of about
# the same size), and progressive beside cjpeg -progressive. Two pictures:
# the synthetic drawing laid over colour ramps, and a textured photograph
# stand-in (ppmforge clouds with netpbm noise). Prints seconds, peak
# memory and Mpixel/s; pvconvert's figures include reading the PPM, so
# the PPM-to-PPM copy is shown as well.
# Progressive coding keeps the picture's quantised coefficients (2 bytes
# a sample); baseline streams bands of 8 or 16 rows.
# Usage: bash bench/jpegenc.sh [width height]   (needs netpbm, libjpeg-turbo-progs)
set -euo pipefail
cd "$(dirname "$0")/.."
width=${1:-4000}
height=${2:-3000}
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
bench_drawing_pictures "$width" "$height"
mv "$work/colour.ppm" "$work/drawing.ppm"
ppmforge -clouds -width "$width" -height "$height" 2>/dev/null >"$work/clouds.ppm"
pgmnoise "$width" "$height" | pgmtoppm '#0c0c0c' >"$work/noise.ppm"
pamarith -add "$work/clouds.ppm" "$work/noise.ppm" >"$work/photo.ppm"
rm "$work/clouds.ppm" "$work/noise.ppm" "$work/grey.pgm" "$work/ramp.pgm"

mpix=$(awk -v w="$width" -v h="$height" 'BEGIN { print w * h / 1e6 }')
measure_width=44
measure_mpix=$mpix
for pic in drawing photo; do
  in=$work/$pic.ppm
  echo "== $pic.ppm, ${width} x ${height} ($mpix Mpixel)"
  measure "pvconvert $pic.ppm copy.ppm (reading only)" ./build/tools/pvconvert "$in" "$work/copy.ppm"
  copy=$measured
  measure "pvconvert $pic.ppm out.jpg" ./build/tools/pvconvert "$in" "$work/out.jpg"
  awk -v a="$measured" -v b="$copy" -v m="$mpix" 'BEGIN { d = a - b
    printf "%-44s %6.2f s             %8.1f Mpixel/s\n", "  of which encoding (jpg minus copy)", d, (d > 0 ? m / d : 0) }'
  measure "cjpeg -quality 75 -sample 2x1" sh -c 'cjpeg -quality 75 -sample 2x1 "$1" >"$2"' sh "$in" "$work/cj.jpg"
  measure "pvconvert -compression progressive" ./build/tools/pvconvert -compression progressive "$in" "$work/outp.jpg"
  measure "cjpeg -progressive -sample 2x1" sh -c 'cjpeg -progressive -sample 2x1 "$1" >"$2"' sh "$in" "$work/cjp.jpg"
  for f in out.jpg cj.jpg outp.jpg cjp.jpg; do
    djpeg -pnm "$work/$f" >"$work/back.ppm"
    printf '%-44s %9s bytes  PSNR Y/Cb/Cr %s\n' "$f" "$(stat -c %s "$work/$f")" \
      "$(pnmpsnr -machine "$in" "$work/back.ppm" 2>/dev/null | tr '\n' ' ')"
  done
done
