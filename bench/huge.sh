#!/usr/bin/env bash
# Huge JPEG and JPEG 2000 pages: the 20000 x 28000 drawing as an 8-bit grey
# page in five files (baseline JPEG q85, progressive JPEG q85, one-tile
# JPEG 2000 lossless and 9-7, JPEG 2000 in 1024 x 1024 tiles). Per file,
# in the same run, CPU time (user + system) and peak memory, the median of
# $RUNS runs (default 3):
#  - `pvconvert -size 1200` beside `vips thumbnail ... 1200`, and for the
#    JPEG 2000 files our codec alone at the level of 1250 x 1750
#    (`bench_j2k ... 4`) beside `opj_decompress -r 4`;
#  - full-size `pvconvert` to PGM (the lossless one-tile file also beside
#    `opj_decompress`);
#  - whether `pvview -timer 1` shows the file on a private Xvfb, with its
#    CPU time and peak memory.
# First the encoding of the drawing as lossless JPEG 2000: `pvconvert`
# (which writes .jp2 files as RGB, three components), `bench_j2kenc` (the
# same codec through the driver, grey as the page is) and `opj_compress`
# (grey), with a check that opj_decompress and pvconvert read the grey
# file back equal to the page.
# Usage: bash bench/huge.sh   (needs libjpeg-turbo-progs, libopenjp2-tools,
# Xvfb; vips when installed). SIZE="w h" makes a smaller drawing.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert pvview make_drawing bench_j2k bench_j2kenc
bench_workdir_x
runs=${RUNS:-3}
read -r width height <<<"${SIZE:-20000 28000}"

# median LABEL COMMAND...: runs the command $runs times and prints the
# median CPU time and the median peak memory; a failure prints the start
# of its error output.
median() {
  local label=$1 i
  shift
  : >"$work/runs"
  for ((i = 0; i < runs; ++i)); do
    /usr/bin/time -f '%U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
      printf '%-48s failed: %s\n' "$label" "$(head -c 200 "$work/err" | tr '\n' ' ')"
      return
    }
    cat "$work/time" >>"$work/runs"
  done
  local cpu mem
  cpu=$(awk '{ print $1 + $2 }' "$work/runs" | sort -g | sed -n "$(((runs + 1) / 2))p")
  mem=$(awk '{ print $3 / 1024 }' "$work/runs" | sort -g | sed -n "$(((runs + 1) / 2))p")
  printf '%-48s %7.2f s cpu %8.1f MB\n' "$label" "$cpu" "$mem"
}

echo "== making the drawing ($width x $height) and its files"
./build/bench/make_drawing pgm "$width" "$height" >"$work/grey.pgm"
cjpeg -quality 85 "$work/grey.pgm" >"$work/baseline.jpg"
cjpeg -quality 85 -progressive "$work/grey.pgm" >"$work/progressive.jpg"
opj=(opj_compress -threads ALL_CPUS -i "$work/grey.pgm")
"${opj[@]}" -o "$work/lossless.j2k" >/dev/null 2>&1
"${opj[@]}" -o "$work/lossy97.j2k" -I -r 20 >/dev/null 2>&1
"${opj[@]}" -o "$work/tiled.j2k" -t 1024,1024 >/dev/null 2>&1

echo "-- encoding the drawing, lossless"
median "pvconvert grey.pgm enc.jp2 (RGB)" \
  ./build/tools/pvconvert -compression lossless "$work/grey.pgm" "$work/enc.jp2"
median "bench_j2kenc grey.pgm enc.j2k 0 (grey)" \
  ./build/bench/bench_j2kenc "$work/grey.pgm" "$work/enc.j2k" 0
median "opj_compress grey.pgm opj.j2k (grey)" \
  opj_compress -i "$work/grey.pgm" -o "$work/opj.j2k"
echo "sizes: enc.jp2 $(du -h "$work/enc.jp2" | cut -f1), enc.j2k $(du -h "$work/enc.j2k" | cut -f1)," \
  "opj.j2k $(du -h "$work/opj.j2k" | cut -f1)"
# The page's samples are the last width x height bytes of each PGM.
samples=$((width * height))
opj_decompress -i "$work/enc.j2k" -o "$work/opj_decompress.pgm" >/dev/null 2>&1 || true
./build/tools/pvconvert "$work/enc.j2k" "$work/pvconvert.pgm" 2>/dev/null || true
for back in opj_decompress.pgm pvconvert.pgm; do
  if [ -f "$work/$back" ] && cmp -s <(tail -c "$samples" "$work/grey.pgm") \
    <(tail -c "$samples" "$work/$back"); then
    echo "enc.j2k read back by ${back%.pgm}: equal to the page"
  else
    echo "enc.j2k read back by ${back%.pgm}: DIFFERENT"
  fi
done
rm -f "$work"/{enc.jp2,enc.j2k,opj.j2k,opj_decompress.pgm,pvconvert.pgm}
rm -f "$work/grey.pgm"

bench_xvfb 1280x1024x24

for file in baseline.jpg progressive.jpg lossless.j2k lossy97.j2k tiled.j2k; do
  in="$work/$file"
  echo "-- $file ($(du -h "$in" | cut -f1))"
  median "pvconvert -size 1200 $file out.pgm" ./build/tools/pvconvert -size 1200 "$in" "$work/out.pgm"
  if command -v vips >/dev/null; then
    median "vips thumbnail $file 1200" vips thumbnail "$in" "$work/v.pgm" 1200
  fi
  if [ "${file##*.}" = j2k ]; then
    median "bench_j2k $file r.pgm 4 (codec alone)" ./build/bench/bench_j2k "$in" "$work/r.pgm" 4
    median "opj_decompress -r 4 $file" opj_decompress -i "$in" -o "$work/r.pgm" -r 4
  fi
  median "pvconvert $file out.pgm (full size)" ./build/tools/pvconvert "$in" "$work/out.pgm"
  rm -f "$work/out.pgm"
  if [ "$file" = lossless.j2k ]; then
    median "opj_decompress $file (full size)" opj_decompress -i "$in" -o "$work/r.pgm"
    rm -f "$work/r.pgm"
  fi
  median "pvview -timer 1 $file" ./build/viewer/pvview -sysdir system -timer 1 "$in"
done
