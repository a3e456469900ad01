# Shared by the benchmark scripts: sourced (after `cd` to the source tree)
# for the build, a scratch directory and the measuring of one command.

# Configures the release build and builds the given targets.
bench_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build "$@" >/dev/null
}

# Sets $work to a fresh scratch directory, removed when the script exits.
bench_workdir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# As bench_workdir, for scripts that show pictures: at exit the viewer
# left running ($viewer_pid, when a script sets it) and the private X
# server of bench_xvfb end too.
bench_workdir_x() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/pvbench.XXXXXX")
  xvfb_pid="" viewer_pid=""
  trap bench_cleanup_x EXIT
}
bench_cleanup_x() {
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}

# bench_xvfb WxHxD: a private X server, which picks a free display number
# and writes it once it accepts clients; DISPLAY names it from then on.
bench_xvfb() {
  mkfifo "$work/fifo"
  Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$work/fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 30 number <"$work/fifo"
  export DISPLAY=":$number"
}

# The synthetic drawing as $work/grey.pgm (width x height), and as
# $work/colour.ppm with a ramp for green.
bench_drawing_pictures() {
  ./build/bench/make_drawing pgm "$1" "$2" >"$work/grey.pgm"
  pgmramp -lr "$1" "$2" >"$work/ramp.pgm"
  rgb3toppm "$work/grey.pgm" "$work/ramp.pgm" "$work/grey.pgm" >"$work/colour.ppm"
}

# measure LABEL COMMAND...: runs the command under /usr/bin/time and prints
# the label, seconds and peak MB (the label $measure_width wide, 34 unless
# set), and Mpixel/s when $measure_mpix gives the picture's size; the
# seconds stay in $measured. A failure prints the start of the command's
# error output instead.
measure() {
  local label=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  read -r seconds kbytes <"$work/time"
  measured=$seconds
  printf "%-${measure_width:-34}s %8.2f s %9.1f MB" "$label" "$seconds" \
    "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')"
  if [ -n "${measure_mpix:-}" ]; then
    awk -v s="$seconds" -v m="$measure_mpix" 'BEGIN { printf " %8.1f Mpixel/s", (s > 0 ? m / s : 0) }'
  fi
  echo
}

# measure_cpu LABEL COMMAND...: as measure, with the processor time beside
# the wall time (the machine may be shared, and the wall time then says
# little).
measure_cpu() {
  local label=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  read -r seconds user sys kbytes <"$work/time"
  measured=$seconds
  printf "%-${measure_width:-34}s %7.2f s wall %7.2f s cpu %9.1f MB\n" "$label" "$seconds" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" \
    "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')"
}

# measure_kb LABEL COMMAND...: as measure, printed as time's "s KB" figures.
measure_kb() {
  local label=$1
  shift
  /usr/bin/time -f '%e s %M KB' -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    echo "$label: failed: $(head -c 300 "$work/err")"
    return
  }
  printf '%-40s %s\n' "$label" "$(tail -n 1 "$work/time")"
}

# bench_read FILE OUT READER: pvconvert beside netpbm's READER turning
# FILE (in $work) into OUT, both timed.
bench_read() {
  measure "pvconvert ${1} $2" ./build/tools/pvconvert "$work/$1" "$work/$2"
  measure "$3 ${1} > $2" sh -c '"$1" "$2" >"$3"' sh "$3" "$work/$1" "$work/nb.$2"
}

# bench_write EXT WRITER: pvconvert beside netpbm's WRITER turning
# colour.ppm into a file of extension EXT, both timed.
bench_write() {
  measure "pvconvert colour.ppm out.$1" ./build/tools/pvconvert "$work/colour.ppm" "$work/out.$1"
  measure "$2 colour.ppm > out.$1" sh -c '"$1" "$2" >"$3"' sh "$2" "$work/colour.ppm" "$work/nb.$1"
}
