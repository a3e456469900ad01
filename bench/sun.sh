#!/usr/bin/env bash
# Sun raster reading and writing: pvconvert beside netpbm's rasttopnm and
# pnmtorast on the 6000 x 8000 synthetic drawing, as a grey image with a
# colour map and as a 24-bit colour image, standard and byte-encoded. Wall
# time and peak memory of each, in the same run.
# Usage: bash bench/sun.sh   (needs netpbm)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvconvert make_drawing >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
./build/bench/make_drawing pgm 6000 8000 >"$work/grey.pgm"
pgmramp -lr 6000 8000 >"$work/ramp.pgm"
rgb3toppm "$work/grey.pgm" "$work/ramp.pgm" "$work/grey.pgm" >"$work/colour.ppm"

measure() {
  local label=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  read -r seconds kbytes <"$work/time"
  printf '%-40s %8.2f s %9.1f MB\n' "$label" "$seconds" "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')"
}

for image in grey.pgm colour.ppm; do
  for form in standard rle; do
    pnmtorast "-$form" "$work/$image" >"$work/in.ras" 2>/dev/null
    out=out.${image##*.}  # the same kind of output for both
    echo "== read: $image as $form Sun raster ($(du -h "$work/in.ras" | cut -f1)) to $out"
    measure "pvconvert in.ras $out" ./build/tools/pvconvert "$work/in.ras" "$work/$out"
    measure "rasttopnm in.ras > $out" sh -c 'rasttopnm "$1" >"$2"' sh "$work/in.ras" "$work/nb.$out"
  done
done
echo "== write: colour.ppm to a 24-bit Sun raster"
measure "pvconvert colour.ppm out.ras" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.ras"
measure "pnmtorast colour.ppm > out.ras" sh -c 'pnmtorast "$1" >"$2"' sh "$work/colour.ppm" "$work/nb.ras"
