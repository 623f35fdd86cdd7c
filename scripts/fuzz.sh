#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each from its seed corpus for a bounded
# time:
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 60)
# Inputs found are kept in build-fuzz/corpus/<target>; an input that fails
# is written to build-fuzz/ as crash-*, leak-* or timeout-*, and the script
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
SECONDS_PER_TARGET=${1:-60}
JOBS=${JOBS:-2}
export CCACHE_BASEDIR="$PWD"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DDORVANE_FUZZ=ON -DDORVANE_TESTS=OFF \
  -DDORVANE_BENCH=OFF -DDORVANE_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$JOBS" --target image_open_fuzz control_fuzz

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The images each input becomes are written below here.
export TMPDIR=$PWD/build-fuzz/tmp
for target in image_open_fuzz control_fuzz; do
  rm -rf "$TMPDIR" && mkdir -p "$TMPDIR" "build-fuzz/corpus/$target"
  echo "== $target: $SECONDS_PER_TARGET seconds"
  "build-fuzz/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 -timeout=20 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/ \
    "build-fuzz/corpus/$target" "fuzz/corpus/$target"
done
rm -rf "$TMPDIR"
