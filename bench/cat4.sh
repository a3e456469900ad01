#!/usr/bin/env bash
# CATIA V4 pictures and StarBase bitmaps, written and read by pvconvert,
# and I-DEAS pictures read by it. No other program reads these formats, so
# the peer is netpbm reading and writing the same picture as PPM (pamtopnm):
# the cost of merely passing the pixels through. Wall time and peak memory
# of each, in the same run, on a 6000 x 8000 colour drawing (I-DEAS: a
# 3000 x 2000 picture made by a small generator, as the format is verbose).
# Usage: bash bench/cat4.sh   (needs netpbm and python3)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
measure_width=44
bench_build pvconvert make_drawing
bench_workdir
bench_drawing_pictures 6000 8000

pvc=./build/tools/pvconvert

echo "== peer: netpbm passing colour.ppm through"
measure "pamtopnm colour.ppm > out.ppm" sh -c 'pamtopnm "$1" >"$2"' sh "$work/colour.ppm" "$work/nb.ppm"
for word in cat4 sb; do
  echo "== $word: write colour.ppm, then read it back to PPM"
  measure "pvconvert colour.ppm out.$word" $pvc "$work/colour.ppm" "$work/out.$word"
  echo "   ($(du -h "$work/out.$word" | cut -f1) written)"
  measure "pvconvert out.$word back.ppm" $pvc "$work/out.$word" "$work/back.ppm"
done

echo "== I-DEAS binary picture, 3000 x 2000, runs of 500 pixels"
python3 - "$work/in.pic" "$work/in.ppm" <<'PY'
import struct, sys
W, H = 3000, 2000
def rec(d): return struct.pack('>I', len(d)) + d + struct.pack('>I', len(d))
def cmd(c, k, ints=()):
    f = rec(struct.pack('>5I', c, k, len(ints), 0, 0))
    return f + (rec(struct.pack('>%di' % len(ints), *ints)) if ints else b'')
with open(sys.argv[1], 'wb') as f, open(sys.argv[2], 'wb') as p:
    p.write(b'P6\n%d %d\n255\n' % (W, H))
    f.write(cmd(0, 1) + cmd(0, 2, (6, 0, 0, 0)))
    for y in range(H):
        f.write(cmd(3, 2, (H - y, 0)))
        row = bytes((x + y) & 255 for x in range(W))
        for s in range(0, W, 500):
            f.write(cmd(3, 3, (s, 500)))
            f.write(rec(b''.join(bytes((0, v, v, 255 - v)) for v in row[s:s + 500])))
        p.write(b''.join(bytes((v, v, 255 - v)) for v in row))
        f.write(cmd(3, 4))
    f.write(cmd(0, 7))
PY
measure "pvconvert in.pic out.ppm" $pvc "$work/in.pic" "$work/out.ppm"
measure "pamtopnm in.ppm > out.ppm (peer)" sh -c 'pamtopnm "$1" >"$2"' sh "$work/in.ppm" "$work/nb.ppm"
cmp -s <(tail -c $((3000 * 2000 * 3)) "$work/out.ppm") <(tail -c $((3000 * 2000 * 3)) "$work/in.ppm") &&
  echo "   (same pixels)" || echo "   (PIXELS DIFFER)"
