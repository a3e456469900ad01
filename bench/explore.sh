#!/usr/bin/env bash
# pvview -explore on the 20000 x 28000 synthetic drawing in a 1280 x 1024
# window on a private Xvfb: the time from a key press to the redraw on the
# server (after XSync; the viewer prints it under PVDEBUG=1, with the
# processor time it took, which says more on a busy machine), as median
# and worst of 20, for each zoom step from the fitted view to 800% and
# above, and for pans of a quarter window at 100% and at 25%. Then the
# peak memory of the whole session beside the plain fitted view's, the
# allowance of one more window-sized picture, and feh's (and vipsdisp's,
# where the system has it) on the same file.
# Targets: every zoom step within 50 ms, every pan within 16 ms.
# Usage: bash bench/explore.sh   (REPEAT=n for other than 20; PVVIEW=path
# measures another build of the viewer, to compare two trees on one machine)
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/deps.sh bench
. bench/common.sh
bench_build pvview make_drawing
bench_workdir_x
repeat=${REPEAT:-20}
./build/bench/make_drawing pbm >"$work/drawing.pbm"

bench_xvfb 1600x1200x24
viewer=(${PVVIEW:-./build/viewer/pvview} -sysdir system)

# Waits until the viewer's log has more than $1 redraw lines (60 s at most).
wait_lines() {
  local i
  for ((i = 0; i < 6000; i++)); do
    [ "$(grep -c '^explore:' "$work/log" || true)" -gt "$1" ] && return 0
    sleep 0.01
  done
  echo "no redraw after line $1" >&2
  exit 1
}

# press LABEL KEY: presses the key, waits for its redraw and records the
# label with the redraw's wall and processor milliseconds.
press() {
  local before
  before=$(grep -c '^explore:' "$work/log" || true)
  xdotool key --window "$window" "$2"
  wait_lines "$before"
  grep '^explore:' "$work/log" | tail -n 1 |
    awk -v l="$1" '{ for (i = 1; i <= NF; i++) if ($i == "ms" && !w) w = $(i - 1); c = $(NF - 1) }
                   END { print l "\t" w "\t" c }' >>"$work/times"
}

PVDEBUG=1 /usr/bin/time -f '%M' -o "$work/explore.kb" \
  "${viewer[@]}" -explore true -bartitle explore "$work/drawing.pbm" 2>"$work/log" &
viewer_pid=$!
window=$(xdotool search --sync --name '^explore')
wait_lines 0
xdotool windowsize "$window" 1280 1024
wait_lines 1
xdotool windowfocus --sync "$window"
: >"$work/times"
for ((r = 0; r < repeat; r++)); do
  [ "$r" -gt 0 ] && press "back to fit (0)" 0
  for step in 1 2 3 4 5 6 7 8; do press "zoom step $step" plus; done
done
press "actual pixels (1)" 1
for ((r = 0; r < repeat / 4 + 1; r++)); do for k in l j h k; do press "pan at 100%" "$k"; done; done
press "zoom out" minus
press "zoom out" minus
for ((r = 0; r < repeat / 4 + 1; r++)); do for k in l j h k; do press "pan at 25%" "$k"; done; done
xdotool key --window "$window" q 2>/dev/null || true # gone before the release
wait "$viewer_pid" || true
viewer_pid=""

# The zoom each step reached, from the titles logged.
zooms=$(awk '/^explore: zoom/ && ++n <= 8 { printf "%s ", $3 }' "$work/log")
echo "pvview -explore, drawing 20000 x 28000 in a 1280 x 1024 window, $repeat each"
echo "zoom steps reach: $zooms"
printf '%-20s %5s %10s %10s %10s %10s\n' "" runs "median ms" "worst ms" "cpu median" "cpu worst"
awk -F'\t' '{ n[$1]++; w[$1, n[$1]] = $2; c[$1, n[$1]] = $3; if (!($1 in seen)) { seen[$1]; order[++k] = $1 } }
  function sorted(a, l, m,   i, j, t, v) {
    for (i = 1; i <= m; i++) v[i] = a[l, i]
    for (i = 2; i <= m; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    for (i = 1; i <= m; i++) out[i] = v[i]
  }
  END {
    for (i = 1; i <= k; i++) {
      l = order[i]; m = n[l]
      sorted(w, l, m); wm = out[int((m + 1) / 2)]; wx = out[m]
      sorted(c, l, m); cm = out[int((m + 1) / 2)]; cx = out[m]
      printf "%-20s %5d %10.1f %10.1f %10.1f %10.1f\n", l, m, wm, wx, cm, cx
    }
  }' "$work/times"
echo "targets: zoom steps 50 ms, pans 16 ms"

# Memory: today's fitted view of the same file, in its own window and in
# one of 1280 x 1024 (-size, the same pixels as the explored window), and
# the allowance of one more 1280 x 1024 picture of four bytes a pixel.
/usr/bin/time -f '%M' -o "$work/plain.kb" "${viewer[@]}" -timer 1 "$work/drawing.pbm" 2>/dev/null
/usr/bin/time -f '%M' -o "$work/sized.kb" "${viewer[@]}" -timer 1 -size 1280x1024 \
  "$work/drawing.pbm" 2>/dev/null
awk -v p="$(tail -n 1 "$work/plain.kb")" -v s="$(tail -n 1 "$work/sized.kb")" \
  -v e="$(tail -n 1 "$work/explore.kb")" 'BEGIN {
  printf "peak memory: explore session %.1f MB; plain fitted view %.1f MB, in a 1280 x 1024 window %.1f MB; allowance %.1f MB\n",
    e / 1024, p / 1024, s / 1024, s / 1024 + 1280 * 1024 * 4 / 1048576 }'

# peer NAME CLASS COMMAND...: its peak memory once its window (of that
# class) is up, or why not.
peer() {
  local name=$1 class=$2 pid i
  shift 2
  if ! command -v "$1" >/dev/null; then
    echo "$name: not installed (not packaged for this system)"
    return
  fi
  /usr/bin/time -f '%M' -o "$work/$name.kb" "$@" >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < 1200; i++)); do
    xdotool search --onlyvisible --class "$class" >/dev/null 2>&1 && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    sleep 1 # the picture is drawn after the window shows
    pkill -TERM -P "$pid" || true
    wait "$pid" 2>/dev/null || true
    awk -v k="$(tail -n 1 "$work/$name.kb")" -v n="$name" 'BEGIN { printf "%s: %.1f MB\n", n, k / 1024 }'
  else
    wait "$pid" 2>/dev/null || true
    echo "$name: could not show the file"
  fi
}
peer feh feh feh --geometry 1280x1024 "$work/drawing.pbm"
peer vipsdisp vipsdisp vipsdisp "$work/drawing.pbm"
