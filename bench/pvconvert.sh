#!/usr/bin/env bash
# Thumbnails the 20000 x 28000 synthetic drawing (as PBM, then as PGM) to a
# 1200-pixel-wide PGM with pvconvert, and with netpbm's pamscale and
# libvips' vips resize in the same run: wall time and peak memory.
# Usage: bash bench/pvconvert.sh   (needs netpbm and libvips-tools)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvconvert make_drawing >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"

# Runs a command under /usr/bin/time; prints seconds and peak MB.
measure() {
  local label=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  read -r seconds kbytes <"$work/time"
  printf '%-34s %8.2f s %9.1f MB\n' "$label" "$seconds" "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')"
}

for kind in pbm pgm; do
  in="$work/drawing.$kind"
  echo "== $kind input ($(du -h "$in" | cut -f1)) to a 1200-wide PGM"
  measure "pvconvert -size 1200" ./build/tools/pvconvert -size 1200 "$in" "$work/out.pgm"
  measure "pamscale -xsize 1200" sh -c 'pamscale -xsize 1200 "$1" >"$2"' sh "$in" "$work/pam.pgm"
  if command -v vips >/dev/null; then
    measure "vips resize" vips resize "$in" "$work/vips.pgm" 0.06
  else
    echo "vips resize: libvips-tools not installed"
  fi
done
