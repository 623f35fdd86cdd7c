#!/usr/bin/env bash
# Builds the project both ways and runs the tests:
#   - the Windows kernel build (build-win/dorvane.sys, checked by the suite);
#   - the host build under AddressSanitizer and UndefinedBehaviorSanitizer,
#     running the default suite;
#   - the host build under ThreadSanitizer, running the concurrency suites.
# With --slow it runs only the slow suites (label "slow") instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

JOBS=${JOBS:-2}
# Cache hits across checkouts in other folders.
export CCACHE_BASEDIR="$PWD"
MODE=${1:-default}

configure() {  # dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DDORVANE_BENCH=OFF "$@" >/dev/null
}

echo "== kernel build"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/windows-kernel.cmake >/dev/null
cmake --build build-win -j"$JOBS"

echo "== host build (address, undefined), benchmarks included so they keep building"
configure build-asan -DDORVANE_SANITIZE=address,undefined -DDORVANE_BENCH=ON
cmake --build build-asan -j"$JOBS"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "$MODE" = "--slow" ]; then
  echo "== slow suites"
  ctest --test-dir build-asan -L slow -j"$JOBS" --output-on-failure --no-tests=ignore
  exit 0
fi

echo "== default suite"
ctest --test-dir build-asan -LE slow -j"$JOBS" --output-on-failure

echo "== host build (thread) and concurrency suites"
configure build-tsan -DDORVANE_SANITIZE=thread
cmake --build build-tsan -j"$JOBS" --target dorvane_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -R Concurrency -LE slow -j"$JOBS" \
  --output-on-failure --no-tests=ignore
