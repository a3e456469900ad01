#!/usr/bin/env bash
# PCX reading by pvconvert beside netpbm's pcxtoppm in the same run: wall
# time and peak memory, on a 6000 x 4000 colour picture (24-bit planes, 8
# and 4 bits) and the 20000 x 28000 drawing (1 bit).
# Usage: bash bench/pcx.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvconvert make_drawing >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

measure() {
  local label=$1
  shift
  /usr/bin/time -f '%e s %M KB' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  printf '%-40s %s\n' "$label" "$(tail -n 1 "$work/time")"
}

ppmpat -madras 6000 4000 >"$work/colour.ppm"
ppmtopcx -24bit "$work/colour.ppm" 2>/dev/null >"$work/c24.pcx"
ppmtopcx -8bit "$work/colour.ppm" 2>/dev/null >"$work/c8.pcx"
ppmtopcx "$work/colour.ppm" 2>/dev/null >"$work/c4.pcx"
./build/bench/make_drawing pbm >"$work/drawing.pbm"
ppmtopcx "$work/drawing.pbm" 2>/dev/null >"$work/d1.pcx"

for f in c24 c8 c4 d1; do
  in="$work/$f.pcx"
  echo "== read $f.pcx ($(du -h "$in" | cut -f1)) to PPM"
  measure "pvconvert $f.pcx out.ppm" ./build/tools/pvconvert "$in" "$work/out.ppm"
  measure "pcxtoppm $f.pcx" sh -c 'pcxtoppm "$1" 2>/dev/null >"$2"' sh "$in" "$work/np.ppm"
done
