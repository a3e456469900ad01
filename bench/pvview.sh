#!/usr/bin/env bash
# Shows the 20000 x 28000 synthetic drawing (as PBM and as PGM) and a
# bitmap of random bits of the same size with pvview on a private
# 1280x1024x24 Xvfb, beside xloadimage showing the same file reduced to
# about the same size, alternated, five runs each: median wall time (to
# exit, with the 1-second timer), CPU time, peak memory, and the ratios
# ours / xloadimage. The viewer's timer second counts in the wall time of
# both (xloadimage -delay 1).
# Usage: bash bench/pvview.sh   (needs Xvfb and xloadimage; RUNS=n to change 5)
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh bench
. bench/common.sh
bench_build pvview make_drawing
bench_workdir
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. bench/peers.sh
command -v xloadimage >/dev/null || { echo "xloadimage not installed (apt-get install xloadimage)"; exit 1; }
./build/bench/make_drawing pbm >"$work/drawing.pbm"
./build/bench/make_drawing pgm >"$work/drawing.pgm"
make_noise "$work/noise.pbm"

# The server picks a free display number and writes it when it is ready.
mkfifo "$work/fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/fifo" >/dev/null 2>&1 &
xvfb_pid=$!
read -r -t 30 number <"$work/fifo"
export DISPLAY=":$number"

for kind in drawing.pbm drawing.pgm noise.pbm; do
  in="$work/$kind"
  # pvview fits the page to the screen (about 6 per cent); xloadimage is
  # asked for the same with -zoom 6.
  compare "pvview $kind" ./build/viewer/pvview -sysdir system -timer 1 "$in" -- \
    xloadimage -delay 1 -zoom 6 "$in"
done
