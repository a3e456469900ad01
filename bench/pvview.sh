#!/usr/bin/env bash
# Shows the 20000 x 28000 synthetic drawing (as PBM, then as PGM) with
# pvview on a private 1280x1024x24 Xvfb, saving the shown pixels, and
# prints the wall time to exit and the peak memory of each run.
# Usage: bash bench/pvview.sh   (needs Xvfb)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvview make_drawing >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"

# The server picks a free display number and writes it when it is ready.
mkfifo "$work/fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/fifo" >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 30 number <"$work/fifo"
export DISPLAY=":$number"

for kind in pbm pgm; do
  in="$work/drawing.$kind"
  if ! /usr/bin/time -f '%e %M' -o "$work/time" ./build/viewer/pvview -sysdir system -timer 1 \
      -save "$work/out.rgb" "$in" >/dev/null 2>"$work/err"; then
    echo "$kind: failed: $(head -c 300 "$work/err")"
    continue
  fi
  read -r seconds kbytes <"$work/time"
  printf '%-4s input %6s  shown %6s: %8.2f s to exit (timer 1 s) %9.1f MB peak\n' "$kind" \
    "$(du -h "$in" | cut -f1)" "$(du -h "$work/out.rgb" | cut -f1)" "$seconds" \
    "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')"
done
