#!/usr/bin/env bash
# The main job on a built-in sample: builds the dorvane command, creates a
# dynamic image, writes known data into it through the driver, shows the
# image and reads the data back.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build -DDORVANE_TESTS=OFF -DDORVANE_BENCH=OFF >/dev/null
cmake --build build -j"${JOBS:-2}" --target dorvane_cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample="$work/sample.vhd"

./build/dorvane create --type dynamic --size 64M "$sample"
printf 'Dorvane sample: bytes written at offset 1 MiB.\n' >"$work/message.txt"
./build/dorvane write "$sample" --offset 1048576 --input "$work/message.txt"
./build/dorvane info "$sample"
./build/dorvane info --json "$sample"
echo "-- bytes at offset 1 MiB:"
./build/dorvane cat "$sample" --offset 1048576 --length "$(wc -c <"$work/message.txt")"
cmp <(./build/dorvane cat "$sample" --offset 1048576 --length "$(wc -c <"$work/message.txt")") \
    "$work/message.txt"
echo "-- sample read back byte-exact"
