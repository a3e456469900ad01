#!/usr/bin/env bash
# JPEG decoding beside libjpeg-turbo's djpeg, in the same run: a 4000 x 3000
# colour picture (fractal clouds with grain, so that it codes like a photo)
# made by cjpeg as baseline 4:2:0, progressive 4:2:0 and baseline 4:2:2. For
# each: our decoder alone (bench_jpeg: Mpixel/s from memory, no output),
# pvconvert to PPM and `djpeg -pnm`, with wall time and peak memory; whether
# the pixels are the same; and the share of smooth upsampling in decoding
# time, ours (bench_jpeg against bench_jpeg -replicate) beside djpeg's
# (default against -nosmooth).
# Usage: bash bench/jpeg.sh   (needs netpbm, libjpeg-turbo-progs)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert bench_jpeg
bench_workdir
measure_width=44

ppmforge -clouds -width 4000 -height 3000 -seed 7 >"$work/clouds.ppm" 2>/dev/null
pgmnoise 4000 3000 -randomseed 7 >"$work/noise.pgm" 2>/dev/null || pgmnoise 4000 3000 >"$work/noise.pgm"
# A little grain: a tenth of the noise added to each channel.
pnmdepth 2559 "$work/clouds.ppm" >"$work/c10.ppm"
rgb3toppm "$work/noise.pgm" "$work/noise.pgm" "$work/noise.pgm" | pnmdepth 255 >"$work/n.ppm"
pnmarith -add "$work/c10.ppm" "$work/n.ppm" 2>/dev/null | pnmdepth 255 >"$work/colour.ppm"
rm -f "$work/c10.ppm" "$work/n.ppm" "$work/noise.pgm" "$work/clouds.ppm"

# A command's processor time (user + system) for five runs in a row, the
# best of three such rounds, in seconds: the machine may be shared, and
# processor time of several runs is what a difference of a few percent
# can be read from.
best_cpu() {
  local best=""
  for _ in 1 2 3; do
    /usr/bin/time -f '%U %S' -o "$work/cpu" \
      sh -c 'for i in 1 2 3 4 5; do "$@" >/dev/null 2>&1; done' sh "$@"
    best=$(awk -v b="$best" '{ t = $1 + $2; print (b == "" || t < b + 0) ? t : b }' "$work/cpu")
  done
  echo "$best"
}

for kind in baseline progressive 422; do
  option=""
  [ "$kind" = progressive ] && option="-progressive"
  [ "$kind" = 422 ] && option="-sample 2x1"
  cjpeg -quality 85 $option "$work/colour.ppm" >"$work/$kind.jpg"
  echo "== $kind 4000 x 3000 ($(du -h "$work/$kind.jpg" | cut -f1))"
  for run in 1 2; do
    echo "bench_jpeg $kind.jpg (decode only, run $run): $(./build/bench/bench_jpeg "$work/$kind.jpg")"
  done
  measure "bench_jpeg $kind.jpg" ./build/bench/bench_jpeg "$work/$kind.jpg"
  measure "pvconvert $kind.jpg out.ppm" ./build/tools/pvconvert "$work/$kind.jpg" "$work/out.ppm"
  measure "djpeg -pnm $kind.jpg" djpeg -pnm -outfile "$work/dj.ppm" "$work/$kind.jpg"
  pixels=$((4000 * 3000 * 3))
  cmp -s <(tail -c "$pixels" "$work/out.ppm") <(tail -c "$pixels" "$work/dj.ppm") &&
    echo "pvconvert and djpeg (smooth upsampling): identical pixels" ||
    echo "pvconvert and djpeg (smooth upsampling): pixels differ"
  # What smooth upsampling costs: decoding with it against decoding with
  # chroma repeated, ours and djpeg's, processor time, best of three.
  ours=$(best_cpu ./build/bench/bench_jpeg "$work/$kind.jpg")
  ours_rep=$(best_cpu ./build/bench/bench_jpeg -replicate "$work/$kind.jpg")
  dj=$(best_cpu djpeg -pnm -outfile /dev/null "$work/$kind.jpg")
  dj_rep=$(best_cpu djpeg -pnm -nosmooth -outfile /dev/null "$work/$kind.jpg")
  awk -v s="$ours" -v r="$ours_rep" -v ds="$dj" -v dr="$dj_rep" 'BEGIN {
    printf "smooth upsampling, share of decoding time: ours %.2f s vs %.2f s repeated (%.1f%%), djpeg %.2f s vs %.2f s -nosmooth (%.1f%%)\n",
      s, r, (s > 0 ? 100 * (s - r) / s : 0), ds, dr, (ds > 0 ? 100 * (ds - dr) / ds : 0) }'
done
