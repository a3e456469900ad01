#!/usr/bin/env bash
# Builds pvview and runs every test twice: a normal build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer; every build treats
# warnings as errors (PV_WERROR).
# Then the libFuzzer targets share one time budget, PV_FUZZ_TOTAL seconds
# (default 60, and 300 when CI=true), each starting from its seed corpus;
# a finding fails the run. More readers mean less time each, not a longer run.
# Extra arguments go to ctest, e.g. `bash test.sh -L common` runs one layer
# (and skips the fuzzers).
set -euo pipefail
cd "$(dirname "$0")"
bash .ci/deps.sh

jobs=$(nproc)
# The tree keeps one layout: .clang-format's, checked before anything builds.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPV_WERROR=ON >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$jobs" "$@"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPV_SANITIZE=ON -DPV_BENCH=OFF -DPV_WERROR=ON >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" "$@"

[ $# -eq 0 ] || exit 0
total=${PV_FUZZ_TOTAL:-60}
[ "${CI:-}" = true ] && total=${PV_FUZZ_TOTAL:-300}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPV_FUZZ=ON -DPV_TESTS=OFF -DPV_BENCH=OFF -DPV_WERROR=ON >/dev/null
ninja -C build-fuzz
targets=(build-fuzz/fuzz/fuzz_*)
# The limits of a campaign (fuzz/campaign.sh): memory beyond them, or an
# input that takes seconds, is a finding.
fuzz_options=(-rss_limit_mb=2048 -malloc_limit_mb=2048 -timeout=10)
seconds=$(( total / ${#targets[@]} ))
[ "$seconds" -ge 5 ] || seconds=5
for target in "${targets[@]}"; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  # A reader's own seeds, or every reader's for the whole-path target.
  seeds=fuzz/corpus/${name#fuzz_}
  [ -d "$seeds" ] || seeds=$(ls -d fuzz/corpus/*/ 2>/dev/null || true)
  echo "== $name for ${seconds}s"
  # New inputs go to a scratch directory; the committed seeds stay as they are.
  status=0
  "$target" "${fuzz_options[@]}" -max_total_time="$seconds" -artifact_prefix="$PWD/build-fuzz/$name-" \
    "$work" $seeds >"$work.log" 2>&1 || status=$?
  tail -n 2 "$work.log"
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "$name found a failing input (status $status):"
    grep -E "ERROR|SUMMARY|Test unit written" "$work.log" | head -n 20
    rm -f "$work.log"
    exit 1
  fi
  rm -f "$work.log"
done
