#!/usr/bin/env bash
# Decodes a 4000 x 4000 256-colour GIF (plain and interlaced) to PPM with
# pvconvert and with netpbm's giftopnm in the same run: wall time and peak
# memory of each.
# Usage: bash bench/gif.sh   (needs netpbm and python3)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
bench_build pvconvert
bench_workdir

# A picture of 256 levels with fine detail, so that the code table fills
# and is cleared many times, as in a scanned or rendered drawing.
python3 - "$work/in.ppm" <<'PY'
import sys
w = h = 4000
red = bytes(range(256))
green = bytes((255 - v) for v in range(256))
blue = bytes((v * 7) & 255 for v in range(256))
out = bytearray(3 * w)
with open(sys.argv[1], "wb") as f:
    f.write(b"P6 %d %d 255\n" % (w, h))
    base = bytes((x * x // 97 + (x ^ (x >> 3)) // 5) & 255 for x in range(w))
    for y in range(h):
        shift = (y * 7 + (y * y >> 6)) % w
        row = bytes((v + y) & 255 for v in base[shift:] + base[:shift])
        out[0::3], out[1::3], out[2::3] = row.translate(red), row.translate(green), row.translate(blue)
        f.write(out)
PY
pamtogif "$work/in.ppm" >"$work/plain.gif" 2>/dev/null
pamtogif -interlace "$work/in.ppm" >"$work/interlaced.gif" 2>/dev/null

for kind in plain interlaced; do
  in="$work/$kind.gif"
  echo "== $kind 4000 x 4000, 256 colours ($(du -h "$in" | cut -f1)) to PPM"
  measure "pvconvert" ./build/tools/pvconvert "$in" "$work/ours.ppm"
  measure "giftopnm" sh -c 'giftopnm "$1" >"$2"' sh "$in" "$work/theirs.ppm"
  cmp -s <(tail -c 48000000 "$work/ours.ppm") <(tail -c 48000000 "$work/theirs.ppm") &&
    echo "same pixels" || echo "PIXELS DIFFER"
done
