#!/usr/bin/env bash
# XWD reading and writing: pvconvert beside netpbm's xwdtopnm and pnmtoxwd
# on the 6000 x 8000 synthetic drawing as an 8-bit PseudoColor dump and as
# a 24-bit colour image (a DirectColor dump from pnmtoxwd). Wall time and
# peak memory of each, in the same run.
# Usage: bash bench/xwd.sh   (needs netpbm)
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
  pnmtoxwd "$work/$image" >"$work/in.xwd" 2>/dev/null
  echo "== read: $image as XWD ($(du -h "$work/in.xwd" | cut -f1)) to out.ppm"
  measure "pvconvert in.xwd out.ppm" ./build/tools/pvconvert "$work/in.xwd" "$work/out.ppm"
  measure "xwdtopnm in.xwd > out.ppm" sh -c 'xwdtopnm "$1" >"$2"' sh "$work/in.xwd" "$work/nb.ppm"
done
echo "== write: colour.ppm to XWD"
measure "pvconvert colour.ppm out.xwd" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.xwd"
measure "pnmtoxwd colour.ppm > out.xwd" sh -c 'pnmtoxwd "$1" >"$2"' sh "$work/colour.ppm" "$work/nb.xwd"
