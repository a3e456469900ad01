#!/usr/bin/env bash
# Sequential reading through the file I/O layer against `cat` on the same
# file in the same run. Usage: bash bench/ifiread.sh [size-in-MiB] (1024)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build bench_ifiread >/dev/null
file=$(mktemp "${TMPDIR:-/tmp}/ifiread.XXXXXX")
trap 'rm -f "$file"' EXIT
head -c "$((mib * 1048576))" /dev/urandom >"$file"
cat "$file" >/dev/null  # both runs read from the page cache

now() { date +%s.%N; }
for round in 1 2 3; do
  t0=$(now); cat "$file" >/dev/null; t1=$(now)
  cat_rate=$(awk -v m="$mib" -v a="$t0" -v b="$t1" 'BEGIN { print m / (b - a) }')
  out=$(./build/bench/bench_ifiread "$file" 65536)
  ifi_rate=$(echo "$out" | sed -E 's/.*= ([0-9.]+) MiB\/s.*/\1/')
  printf 'round %d: cat %.1f MiB/s, %s (%.0f%% of cat)\n' "$round" "$cat_rate" "$out" \
    "$(awk -v i="$ifi_rate" -v c="$cat_rate" 'BEGIN { print 100 * i / c }')"
done
