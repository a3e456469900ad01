#!/usr/bin/env bash
# Headers that promise far more than their file holds (three bytes of
# pixel data each): how long pvconvert takes to refuse or give up, its peak
# memory and the message. Work must follow the file, not the header.
# Usage: bash bench/hostile.sh
set -uo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build pvconvert >/dev/null || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/pvhostile.XXXXXX")
trap 'rm -rf "$work"' EXIT

for size in "1 2000000000" "100000 10000" "16000000 2000" "65535 65535" "1000 200000"; do
  printf 'P5\n%s\n255\nabc' "$size" >"$work/in.pgm"
  for options in "" "-size 100"; do
    # shellcheck disable=SC2086  # the options are words
    /usr/bin/time -f '%e %M' -o "$work/time" timeout 120 ./build/tools/pvconvert $options \
      "$work/in.pgm" "$work/out.pgm" >/dev/null 2>"$work/err"
    status=$?
    # time writes "Command exited with non-zero status" first on failure.
    read -r seconds kbytes < <(tail -n 1 "$work/time")
    printf '%-14s %-10s status %3d %7.2f s %8.1f MB  %s\n' "${size/ /x}" "${options:--}" "$status" \
      "$seconds" "$(awk -v k="$kbytes" 'BEGIN { print k / 1024 }')" "$(head -n 1 "$work/err")"
  done
done
