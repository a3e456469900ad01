#!/usr/bin/env bash
# JPEG 2000 encoding: a 4000 x 3000 colour picture (the synthetic drawing
# with a ramp, plus a fractal photograph-like picture) coded reversibly and
# at ratio 20, ours beside OpenJPEG's opj_compress in the same run: wall
# time, peak memory, file size and, for the lossy files, the PSNR of what
# opj_decompress makes of each.
# Usage: bash bench/j2kenc.sh   (needs netpbm, imagemagick, libopenjp2-tools)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build bench_j2kenc pvconvert make_drawing
bench_workdir
measure_width=44
bench_drawing_pictures 4000 3000
convert -size 4000x3000 plasma:fractal -seed 3 -depth 8 "$work/photo.ppm"

# PSNR of two PPM files over all samples, from netpbm's per-channel figures.
psnr() {
  pnmpsnr -rgb -machine "$1" "$2" 2>/dev/null | awk '{
    if ($1 == "inf" && $2 == "inf" && $3 == "inf") { print "exact"; exit }
    m = 0; for (i = 1; i <= 3; ++i) if ($i != "inf") m += 10 ^ (-$i / 10)
    printf "%.2f dB\n", -10 * log(m / 3) / log(10) }'
}

for picture in colour photo; do
  for ratio in 0 20; do
    what=$([ "$ratio" = 0 ] && echo reversible || echo "ratio $ratio")
    echo "== $picture.ppm (4000 x 3000 RGB), $what"
    if [ "$ratio" = 0 ]; then
      measure_cpu "pvconvert $picture.ppm ours.jp2" ./build/tools/pvconvert "$work/$picture.ppm" "$work/ours.jp2"
      measure_cpu "opj_compress $picture.ppm" opj_compress -i "$work/$picture.ppm" -o "$work/opj.jp2"
    else
      measure_cpu "bench_j2kenc $picture.ppm ours.jp2 $ratio" ./build/bench/bench_j2kenc "$work/$picture.ppm" "$work/ours.jp2" "$ratio"
      measure_cpu "opj_compress -I -r $ratio $picture.ppm" opj_compress -i "$work/$picture.ppm" -o "$work/opj.jp2" -I -r "$ratio"
    fi
    for who in ours opj; do
      opj_decompress -i "$work/$who.jp2" -o "$work/$who.ppm" >/dev/null 2>&1
      printf '  %-5s %10d bytes, %s\n' "$who" "$(stat -c %s "$work/$who.jp2")" "$(psnr "$work/$picture.ppm" "$work/$who.ppm")"
    done
  done
done
