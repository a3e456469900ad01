#!/usr/bin/env bash
# What a stamp and labels cost pvconvert: the synthetic drawing converted
# to PGM at full size and thumbnailed, plain, with a stamp across it, with
# a label text, and with both, side by side in one run (wall time and peak
# memory). The stamp's share is the renderer's picture plus one composed
# pass over every output line.
# Usage: bash bench/stamps.sh [width-of-the-thumbnail]
set -euo pipefail
cd "$(dirname "$0")/.."
thumb=${1:-1200}
. bench/common.sh
measure_width=44
bench_build pvconvert pvgraphx make_drawing
bench_workdir
# A0 at 200 dots per inch: a stamp the size of the page is drawn too.
./build/bench/make_drawing pbm 6600 9400 >"$work/drawing.pbm"

cv=./build/tools/pvconvert
in="$work/drawing.pbm"
for size in "" "-size $thumb"; do
  echo "== drawing ($(du -h "$in" | cut -f1)) to PGM ${size:-at full size}"
  # shellcheck disable=SC2086
  {
    measure "plain" $cv $size "$in" "$work/a.pgm"
    measure "-stamptext CONFIDENTIAL" $cv $size -stamptext CONFIDENTIAL "$in" "$work/b.pgm"
    measure "OLDSTAMP=1 -stamptext CONFIDENTIAL" env OLDSTAMP=1 $cv $size -stamptext CONFIDENTIAL "$in" "$work/c.pgm"
    measure "-labeltext 'Rev B'" env PV_TXT_POINT_SIZE=72 $cv $size -labeltext "Rev B" "$in" "$work/d.pgm"
    measure "stamp and label" env PV_TXT_POINT_SIZE=72 $cv $size -stamptext CONFIDENTIAL -labeltext "Rev B" "$in" "$work/e.pgm"
  }
done
