#!/usr/bin/env bash
# An archive of small scans to thumbnails: N Group 4 TIFF pages of
# 1700 x 2200 (a letter page at 200 dpi) to PNG pictures 200 pixels wide,
# in the same run by
#   - one pvconvert -destdir run (its worker processes, one a processor),
#   - a shell loop of one pvconvert call a file,
#   - vipsthumbnail, which also takes many files in one call.
# Prints wall and processor time and files per second of each, and our
# rate against the others'.
# Usage: bash bench/batch.sh [files]   (default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
n=${1:-2000}
[ -n "${PVCONVERT:-}" ] || { bench_build pvconvert make_drawing; PVCONVERT=./build/tools/pvconvert; }
bench_workdir

# One page made by netpbm, copied under N names (each file is read).
./build/bench/make_drawing pgm 1700 2200 >"$work/page.pgm"
pamthreshold -simple "$work/page.pgm" 2>/dev/null | pamtopnm | pamtotiff -g4 >"$work/page.tif" 2>/dev/null
mkdir "$work/in" "$work/ours" "$work/loop" "$work/vips"
for ((i = 0; i < n; ++i)); do cp "$work/page.tif" "$work/in/scan$i.tif"; done
ls "$work/in"/*.tif >"$work/list"
echo "$n scans of 1700 x 2200 (G4 TIFF, $(stat -c %s "$work/page.tif") bytes each) to 200-pixel PNG," \
  "$(nproc) processors"

rate() { awk -v n="$n" -v s="$measured" 'BEGIN { printf "%.1f", (s > 0 ? n / s : 0) }'; }
measure_width=28
# shellcheck disable=SC2016 # expanded by the loop's own shell
loop='while read -r f; do "$0" -size 200 "$f" "$1/$(basename "$f" .tif).png" || exit 1; done <"$2"'

measure_cpu "pvconvert -destdir" "$PVCONVERT" -destdir "$work/ours" -type png -size 200 "@$work/list"
ours=$(rate)
measure_cpu "shell loop of pvconvert" bash -c "$loop" "$PVCONVERT" "$work/loop" "$work/list"
shell=$(rate)
measure_cpu "vipsthumbnail" vipsthumbnail -s 200x -o "$work/vips/%s.png" $(cat "$work/list")
vips=$(rate)
echo "files per second: pvconvert -destdir $ours, shell loop $shell, vipsthumbnail $vips"
awk -v o="$ours" -v l="$shell" -v v="$vips" 'BEGIN {
  printf "pvconvert -destdir: %.2f x the shell loop (target 2), %.2f x vipsthumbnail (target 1)\n",
    (l > 0 ? o / l : 0), (v > 0 ? o / v : 0) }'
# The thumbnails agree in size.
identify -format '%w x %h\n' "$work/ours/scan0.png" "$work/loop/scan0.png" "$work/vips/scan0.png" |
  paste -sd' ' | sed 's/^/thumbnail sizes (ours, loop, vips): /'
