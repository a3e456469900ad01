#!/usr/bin/env bash
# The 20000 x 28000 synthetic drawing in every bilevel encoding users send
# (each made by a Debian tool), and a bitmap of random bits of the same
# size: pvview -timer 1 on a private 1280x1024x24 Xvfb beside xloadimage
# -delay 1 -zoom 6 (about the same reduced size), and pvconvert -size 1200
# beside vips thumbnail, all four alternated in one run, five runs each:
# median CPU time (user + system) and peak memory of each.
# Targets: pvview no more CPU than xloadimage at no more than half its
# memory, and within 40 MB (100 MB interlaced PNG); pvconvert at most
# 0.25 s of CPU (1 s GIF and interlaced PNG); on the noise bitmap pvview at
# most twice xloadimage's CPU and 150 MB.
# Usage: bash bench/bilevel.sh [ENCODING...]   (RUNS=n to change 5)
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh bench
. bench/common.sh
bench_build pvview pvconvert make_drawing
bench_workdir_x
. bench/peers.sh

./build/bench/make_drawing pbm >"$work/drawing.pbm"
make_noise "$work/noise.pbm"
(
  cd "$work"
  pamtotiff -g4 -rowsperstrip 3 drawing.pbm >g4.tif 2>/dev/null
  tiffcp -c g4 -t -w 512 -l 512 g4.tif g4tiles.tif
  tiffcp -c lzw g4.tif lzw.tif
  tiffcp -c packbits g4.tif packbits.tif
  pnmtopng drawing.pbm >drawing.png 2>/dev/null
  pnmtopng -interlace drawing.pbm >interlaced.png 2>/dev/null
  pamtogif drawing.pbm >drawing.gif 2>/dev/null
  ppmtobmp drawing.pbm >drawing.bmp 2>/dev/null
  ppmtopcx drawing.pbm >drawing.pcx 2>/dev/null
  pnmtorast drawing.pbm >drawing.ras 2>/dev/null
)
encodings=(drawing.pbm g4.tif g4tiles.tif lzw.tif packbits.tif drawing.png interlaced.png
  drawing.gif drawing.bmp drawing.pcx drawing.ras noise.pbm)
[ $# -gt 0 ] && encodings=("$@")

bench_xvfb 1280x1024x24

# One figure: median CPU seconds and peak MB of file $1, or the failure.
figure() {
  [ -s "$1" ] || { printf '%16s' "cannot read"; return; }
  printf '%6.2f s %6.1f MB' "$(median "$1" 2)" "$(awk -v k="$(median "$1" 3)" 'BEGIN { print k / 1024 }')"
}

have_xli=$(command -v xloadimage || true)
have_vips=$(command -v vips || true)
printf '%-16s %-18s %-18s %-18s %-18s\n' encoding "pvview -timer 1" "xloadimage" \
  "pvconvert -size" "vips thumbnail"
for kind in "${encodings[@]}"; do
  in="$work/$kind"
  : >"$work/view" && : >"$work/xli" && : >"$work/conv" && : >"$work/vips"
  # A peer that cannot read the file is asked no more.
  xli=$have_xli vips=$have_vips
  for ((i = 0; i < runs; i++)); do
    timed "$work/view" ./build/viewer/pvview -sysdir system -timer 1 "$in" || break
    # xloadimage shows what it got of a file it cannot read (a tiled TIFF)
    # and still ends well: its complaints say so.
    if [ -n "$xli" ] && { ! timed "$work/xli" xloadimage -delay 1 -zoom 6 "$in" 2>/dev/null ||
      grep -q -e "Can not read" -e "Short read" "$work/err"; }; then
      xli="" && : >"$work/xli"
    fi
    timed "$work/conv" ./build/tools/pvconvert -size 1200 "$in" "$work/out.pgm" || break
    if [ -n "$vips" ] && ! timed "$work/vips" vips thumbnail "$in" "$work/vips.pgm" 1200 2>/dev/null; then
      vips="" && : >"$work/vips"
    fi
  done
  printf '%-16s %s   %s   %s   %s\n' "$kind" "$(figure "$work/view")" "$(figure "$work/xli")" \
    "$(figure "$work/conv")" "$(figure "$work/vips")"
done
