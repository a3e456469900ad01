#!/usr/bin/env bash
# Prints one checksum per output of a fixed matrix of conversions: a
# picture in many encodings, read through pvconvert with the reading
# layer's options, and written through every writer word and compression.
# Two builds that print the same lines wrote the same bytes; a change that
# must not change behaviour (a tidy-up, a faster path) is checked with
#   bash bench/outputs.sh > before.txt   # on the old tree
#   bash bench/outputs.sh > after.txt    # on the new tree
#   diff before.txt after.txt
# Each line: input, options, output word, exit status, checksum of the
# output (or "-") and of the messages (without an internal error's
# source line). PVCONVERT names another binary.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
[ -n "${PVCONVERT:-}" ] || { bench_build pvconvert make_drawing; PVCONVERT=./build/tools/pvconvert; }
MAKE_DRAWING=${MAKE_DRAWING:-./build/bench/make_drawing}
bench_workdir
export SOURCE_DATE_EPOCH=0 TZ=UTC

w=1100 h=1500
"$MAKE_DRAWING" pgm "$w" "$h" >"$work/grey.pgm"
pgmramp -lr "$w" "$h" >"$work/ramp.pgm"
rgb3toppm "$work/grey.pgm" "$work/ramp.pgm" "$work/grey.pgm" >"$work/colour.ppm"
pamthreshold -simple "$work/grey.pgm" 2>/dev/null | pamtopnm >"$work/bits.pbm"

# The inputs, each made by a Debian tool.
(
  cd "$work"
  pamtotiff -g4 -rowsperstrip 3 bits.pbm >g4.tif 2>/dev/null
  tiffcp -c g4 -t -w 256 -l 256 g4.tif g4tiles.tif
  tiffcp -c lzw g4.tif lzw1.tif
  tiffcp -c packbits g4.tif packbits1.tif
  tiffcp -c none g4.tif none1.tif
  pnmtopng bits.pbm >bits.png 2>/dev/null
  pnmtopng -interlace bits.pbm >bitsi.png 2>/dev/null
  ppmtogif bits.pbm >bits.gif 2>/dev/null
  ppmtobmp bits.pbm >bits.bmp 2>/dev/null
  ppmtopcx bits.pbm >bits.pcx 2>/dev/null
  pnmtorast bits.pbm >bits.ras 2>/dev/null
  pnmtotiff -lzw colour.ppm >lzw.tif 2>/dev/null
  pnmtopng colour.ppm >colour.png 2>/dev/null
  pnmtojpeg colour.ppm >colour.jpg 2>/dev/null
  pnmtojpeg grey.pgm >grey.jpg 2>/dev/null
  pnmtopng grey.pgm >grey.png 2>/dev/null
  convert colour.ppm colour.tga
  convert colour.ppm colour.sgi
  convert colour.ppm colour.bmp
  convert colour.ppm -colors 200 colour.gif
  pnmtopam colour.ppm >colour.pam 2>/dev/null || cp colour.ppm colour.pam
  opj_compress -i colour.ppm -o colour.jp2 >/dev/null 2>&1
  opj_compress -i grey.pgm -o grey.j2k -r 20 >/dev/null 2>&1
)

run() {  # run INPUT OUTWORD OPTIONS...
  local in=$1 word=$2
  shift 2
  local status=0
  # The CATIA V4 header holds the time of writing: the clock stands still.
  faketime '2020-01-01 00:00:00' "$PVCONVERT" "$@" -type "$word" "$work/$in" "$work/out" \
    >"$work/msg" 2>&1 || status=$?
  local sum=-
  [ -f "$work/out" ] && sum=$(sha256sum <"$work/out" | cut -c1-16)
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$in" "$*" "$word" "$status" "$sum" \
    "$(sed -e "s|$work|W|g" -e 's/([a-z0-9]* *[0-9]*)$/(source line)/' "$work/msg" |
      sha256sum | cut -c1-8)"
  rm -f "$work/out"
}

inputs=(bits.pbm g4.tif g4tiles.tif lzw1.tif packbits1.tif none1.tif bits.png bitsi.png bits.gif
        bits.bmp bits.pcx bits.ras grey.pgm colour.ppm lzw.tif colour.png colour.jpg grey.jpg
        grey.png colour.tga colour.sgi colour.bmp colour.gif colour.pam colour.jp2 grey.j2k)
geometry=("" "-size 300" "-size 300 -scalemethod interpolation" "-size 300 -scalemethod replication"
          "-size 2400" "-rotate 90" "-rotate 270 -mirror horizontal" "-crop 500x400+123+77"
          "-rotate 180 -size 377x211")
colours=("-output gray" "-output bw" "-reversal color" "-brightness 0.3 -contrast 0.2"
         "-removebgs 1" "-output eightcolor")

for in in "${inputs[@]}"; do
  [ -f "$work/$in" ] || { echo "$in: not made"; continue; }
  for g in "${geometry[@]}"; do
    # shellcheck disable=SC2086
    run "$in" pnm $g
  done
  for c in "${colours[@]}"; do
    # shellcheck disable=SC2086
    run "$in" pnm -size 400 $c
  done
done

# Every writer word and compression, from a bilevel and a colour picture.
words=$( ("$PVCONVERT" -help 2>&1 || true) | sed -n 's/^ -type *<\(.*\) | type number>.*/\1/p' | tr -d ' ' | tr '|' ' ')
for in in bits.pbm colour.ppm grey.pgm colour.gif; do
  for word in $words; do
    run "$in" "$word" -size 333
  done
  for comp in none lzw packbits g3 g4 mh flate baseline lossless; do
    run "$in" tif -size 333 -compression "$comp"
  done
  for comp in none g4 flate baseline; do run "$in" pdf -size 333 -compression "$comp"; done
  for comp in none rle; do run "$in" cgm -size 333 -compression "$comp"; done
  for comp in baseline sequential progressive lossless; do
    run "$in" jpg -size 333 -compression "$comp"
    run "$in" jpg -size 333 -compression "$comp" -quality 17 -subsampling 2x2
  done
  for comp in lossless lossy; do run "$in" jp2 -size 333 -compression "$comp"; done
done
