#!/usr/bin/env bash
# SGI reading and writing: pvconvert beside netpbm's sgitopnm and
# pnmtosgi on the 6000 x 8000 synthetic drawing, as a grey image and as a
# colour image, verbatim and run-length encoded. Wall time and peak memory
# of each, in the same run.
# Usage: bash bench/sgi.sh   (needs netpbm)
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
  for form in verbatim rle; do
    pnmtosgi "-$form" "$work/$image" >"$work/in.sgi" 2>/dev/null
    out=out.${image##*.}  # the same kind of output for both
    echo "== read: $image as $form SGI ($(du -h "$work/in.sgi" | cut -f1)) to $out"
    measure "pvconvert in.sgi $out" ./build/tools/pvconvert "$work/in.sgi" "$work/$out"
    measure "sgitopnm in.sgi > $out" sh -c 'sgitopnm "$1" >"$2"' sh "$work/in.sgi" "$work/nb.$out"
  done
done
echo "== write: colour.ppm to a verbatim SGI"
measure "pvconvert colour.ppm out.sgi" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.sgi"
measure "pnmtosgi colour.ppm > out.sgi" sh -c 'pnmtosgi "$1" >"$2"' sh "$work/colour.ppm" "$work/nb.sgi"
