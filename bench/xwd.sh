#!/usr/bin/env bash
# XWD reading and writing: pvconvert beside netpbm's xwdtopnm and pnmtoxwd
# on the 6000 x 8000 synthetic drawing as an 8-bit PseudoColor dump and as
# a 24-bit colour image (a DirectColor dump from pnmtoxwd). Wall time and
# peak memory of each, in the same run.
# Usage: bash bench/xwd.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert make_drawing
bench_workdir
measure_width=40
bench_drawing_pictures 6000 8000

for image in grey.pgm colour.ppm; do
  pnmtoxwd "$work/$image" >"$work/in.xwd" 2>/dev/null
  echo "== read: $image as XWD ($(du -h "$work/in.xwd" | cut -f1)) to out.ppm"
  bench_read in.xwd out.ppm xwdtopnm
done
echo "== write: colour.ppm to XWD"
bench_write xwd pnmtoxwd
