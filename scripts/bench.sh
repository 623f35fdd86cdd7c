#!/bin/sh
# Builds the benchmarks with optimisation and runs each of them in turn, then
# the command against the plain tools (bench/command_bench.sh).
#   scripts/bench.sh [BUILD_DIR]     (default: build-bench in the source tree)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDORVANE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
for bench in "$build"/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench"
done
echo "== command_bench.sh"
sh "$root/bench/command_bench.sh" "$build/dorvane"
