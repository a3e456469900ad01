#!/usr/bin/env bash
# Builds pvview and shows the bundled sample drawing. Without a display a
# private Xvfb is started and a screenshot is saved to build/screenshot.png.
# Extra arguments go to pvview, e.g. `bash run.sh -rotate 90`.
set -euo pipefail
cd "$(dirname "$0")"
bash .ci/deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvview

xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
headless=""
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  # The server picks a free display number and writes it when it is ready.
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 30 number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$number"
fi

sample=system/samples/drawing.pbm
if [ -n "$headless" ]; then
  ./build/viewer/pvview -sysdir system -timer 3 "$@" "$sample" &
  viewer=$!
  sleep 1
  xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > build/screenshot.png
  status=0
  wait "$viewer" || status=$?
  echo "pvview exited with status $status; screenshot in build/screenshot.png"
  exit "$status"
else
  ./build/viewer/pvview -sysdir system "$@" "$sample"
fi
