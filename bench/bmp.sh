#!/usr/bin/env bash
# BMP reading and writing by pvconvert beside netpbm's bmptopnm and
# ppmtobmp in the same run: wall time and peak memory, on a 6000 x 4000
# colour picture (24 and 8 bits) and the 20000 x 28000 drawing (1 bit).
# Usage: bash bench/bmp.sh   (needs netpbm)
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
pnmquant 256 "$work/colour.ppm" 2>/dev/null >"$work/colour256.ppm"
ppmtobmp -bpp 24 "$work/colour.ppm" 2>/dev/null >"$work/c24.bmp"
ppmtobmp -bpp 8 "$work/colour256.ppm" 2>/dev/null >"$work/c8.bmp"
./build/bench/make_drawing pbm >"$work/drawing.pbm"
ppmtobmp -bpp 1 "$work/drawing.pbm" 2>/dev/null >"$work/d1.bmp"

# bmptopnm writes a two-colour picture as PBM: so does pvconvert here.
for f in c24 c8 d1; do
  in="$work/$f.bmp"
  out=out.ppm
  [ "$f" = d1 ] && out=out.pbm
  echo "== read $f.bmp ($(du -h "$in" | cut -f1)) to ${out#out.}"
  measure "pvconvert $f.bmp $out" ./build/tools/pvconvert "$in" "$work/$out"
  measure "bmptopnm $f.bmp" sh -c 'bmptopnm "$1" 2>/dev/null >"$2"' sh "$in" "$work/nb.ppm"
done
echo "== write colour.ppm as a 24-bit BMP"
measure "pvconvert colour.ppm out.bmp" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.bmp"
measure "ppmtobmp -bpp 24 colour.ppm" sh -c 'ppmtobmp -bpp 24 "$1" 2>/dev/null >"$2"' sh \
  "$work/colour.ppm" "$work/nb.bmp"
