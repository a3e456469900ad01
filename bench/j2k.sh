#!/usr/bin/env bash
# JPEG 2000 reading: pvconvert (the whole reading path) and bench_j2k (the
# codec alone, writing PPM as opj_decompress does) beside OpenJPEG's
# opj_decompress decoding
# 4000 x 3000 RGB JP2 files made by opj_compress, lossless (5-3) and lossy
# (9-7 at 20:1), from the synthetic drawing and from a plasma picture with
# fine detail everywhere. Wall time and peak memory of each, in the same
# run. Usage: bash bench/j2k.sh   (needs netpbm, imagemagick and
# libopenjp2-tools)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing bench_j2k
bench_workdir
measure_width=44
bench_drawing_pictures 4000 3000
convert -size 4000x3000 -seed 7 plasma:fractal -depth 8 "$work/plasma.ppm"

for image in colour plasma; do
  for mode in lossless lossy; do
    args=()
    [ "$mode" = lossy ] && args=(-I -r 20)
    opj_compress -i "$work/$image.ppm" -o "$work/in.jp2" "${args[@]}" >/dev/null
    echo "== $image.ppm, $mode ($(du -h "$work/in.jp2" | cut -f1)) to PPM"
    measure "pvconvert in.jp2 out.ppm" ./build/tools/pvconvert "$work/in.jp2" "$work/out.ppm"
    measure "bench_j2k in.jp2 out.ppm" ./build/bench/bench_j2k "$work/in.jp2" "$work/out.ppm"
    measure "opj_decompress -i in.jp2 -o ref.ppm" opj_decompress -i "$work/in.jp2" -o "$work/ref.ppm"
  done
done
