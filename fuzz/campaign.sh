#!/usr/bin/env bash
# A fuzzing campaign: every libFuzzer target in turn for MINUTES minutes
# (a decimal such as 0.5 is fine), each from its seeds into a scratch
# corpus, with the memory limits CI uses. A finding does not end a
# target's turn: it is kept and the target goes on from the corpus it has
# grown. Prints per target the executions, the executions per second of
# the clock and of the processor time the target got (the two differ on a
# busy machine), and the findings: the distinct reports, each with its
# first input.
#   fuzz/campaign.sh MINUTES [TARGET...]
# Targets are names such as fuzz_tga (default: all). PV_FUZZ_BUILD names
# the clang build directory (default build-fuzz), configured and built here.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: fuzz/campaign.sh MINUTES [TARGET...]" >&2; exit 2; }
seconds=$(awk -v m="$1" 'BEGIN { s = int(m * 60 + 0.5); print (s > 0 ? s : 0) }')
[ "$seconds" -gt 0 ] || { echo "MINUTES must be a positive number" >&2; exit 2; }
shift
build=${PV_FUZZ_BUILD:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPV_FUZZ=ON -DPV_TESTS=OFF -DPV_BENCH=OFF >/dev/null
ninja -C "$build" >/dev/null

# The options CI's short runs use too (test.sh): memory beyond these
# limits, or an input that takes seconds, is a finding.
options=(-rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10)

if [ $# -gt 0 ]; then
  targets=()
  for name in "$@"; do targets+=("$build/fuzz/$name"); done
else
  targets=("$build"/fuzz/fuzz_*)
fi
findings=$PWD/$build/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Processor seconds of every child so far, into $cpu (times writes them
# on its second line; not in a subshell, which would count its own).
cpu_seconds() {
  times >"$scratch/times"
  cpu=$(awk 'NR == 2 { n = split($0, t, " "); s = 0
    for (i = 1; i <= n; ++i) { split(t[i], p, "m"); s += p[1] * 60 + p[2] }
    printf "%.2f", s }' "$scratch/times")
}

printf '%-14s %12s %8s %10s  %s\n' target executions "exec/s" "exec/cpu-s" findings
for target in "${targets[@]}"; do
  [ -x "$target" ] || { echo "no target $target" >&2; exit 2; }
  name=$(basename "$target")
  # A reader's own seeds, or every reader's for the whole-path target.
  seeds=fuzz/corpus/${name#fuzz_}
  [ -d "$seeds" ] || seeds=$(ls -d fuzz/corpus/*/)
  corpus=$scratch/$name
  mkdir -p "$corpus"
  runs=0 spent=0 round=0
  declare -A first=() count=()
  order=()
  start=$(date +%s)
  cpu_seconds
  cpu_start=$cpu
  while [ "$spent" -lt "$seconds" ]; do
    round=$((round + 1))
    log=$scratch/$name.$round.log
    # shellcheck disable=SC2086
    "$target" "${options[@]}" -max_total_time=$((seconds - spent)) -print_final_stats=1 \
      -artifact_prefix="$findings/$name-" "$corpus" $seeds >"$log" 2>&1 || true
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    runs=$((runs + ${n:-0}))
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    if [ -n "$artifact" ]; then
      # One line says what went wrong: the sanitizer's summary, else
      # libFuzzer's own verdict (leak, timeout, out of memory).
      what=$(grep -E '^SUMMARY: ' "$log" | tail -n 1)
      [ -n "$what" ] || what=$(grep -m 1 -E '^==[0-9]+== ERROR: libFuzzer' "$log" || true)
      [ -n "$what" ] || what="exit without a report"
      what=${what#SUMMARY: }
      what=${what#==*== }
      if [ -z "${first[$what]:-}" ]; then
        first[$what]=$artifact
        count[$what]=0
        order+=("$what")
      fi
      count[$what]=$((count[$what] + 1))
    fi
    spent=$(($(date +%s) - start))
    [ -n "$artifact" ] || break
  done
  elapsed=$(($(date +%s) - start))
  [ "$elapsed" -gt 0 ] || elapsed=1
  cpu_seconds
  per_cpu=$(awk -v n="$runs" -v a="$cpu_start" -v b="$cpu" \
    'BEGIN { c = b - a; printf "%d", (c > 0 ? n / c : 0) }')
  printf '%-14s %12d %8d %10d  %d\n' "$name" "$runs" $((runs / elapsed)) "$per_cpu" "${#order[@]}"
  for what in "${order[@]}"; do
    printf '    %s (%d times), first input %s\n' "$what" "${count[$what]}" "${first[$what]}"
  done
  unset first count
done
