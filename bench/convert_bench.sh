#!/usr/bin/env bash
# dorvane convert against qemu-img convert on the same bytes, side by side
# in one run: a raw file made into a dynamic image, and a dynamic image
# (QEMU's own for qemu-img, ours for dorvane) made into a raw file, once
# for random data and once for data with every other 4 MiB zero. dorvane
# flushes its target at the end; qemu-img is timed both as it runs by
# default (its cache mode then skips the flush) and with -t writeback,
# which flushes too. Page cache warm, best of several rounds; "speed" is
# qemu-img's time over dorvane's.
#   bench/convert_bench.sh BUILD_DIR [SIZE_MIB] [ROUNDS]
set -euo pipefail
build=${1:?usage: convert_bench.sh BUILD_DIR [SIZE_MIB] [ROUNDS]}
size=${2:-1024}
rounds=${3:-3}
dorvane=$build/dorvane
dir=$(mktemp -d /tmp/dorvane-convert-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT

source "$(dirname "$0")/timing.sh"
# The target is removed before each round.
best() {  # target, command...
  local target=$1
  shift
  best_seconds "$rounds" "rm -f '$target' && sync" "$@"
}

row() {  # name, dorvane, qemu-img default, qemu-img -t writeback
  printf '%-34s %8.3f s %8.3f s %8.3f s %7.2fx %7.2fx\n' "$1" "$2" "$3" "$4" \
    "$(echo "$3 $2" | awk '{ print $1 / $2 }')" "$(echo "$4 $2" | awk '{ print $1 / $2 }')"
}

printf '%-34s %10s %10s %10s %8s %8s\n' "workload ($size MiB)" "dorvane" "qemu-img" \
  "qemu -t wb" "speed" "speed wb"
for data in random half-zero; do
  if [ "$data" = random ]; then
    head -c $((size * 1048576)) /dev/urandom >"$dir/raw"
  else
    rm -f "$dir/raw"
    for ((mib = 0; mib < size; mib += 8)); do
      head -c 4194304 /dev/urandom | dd of="$dir/raw" bs=1M seek="$mib" conv=notrunc status=none
    done
    truncate -s "${size}M" "$dir/raw"
  fi
  qemu_import="qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on"
  row "raw to dynamic image, $data" \
    "$(best "$dir/ours.vhd" "$dorvane" convert "$dir/raw" "$dir/ours.vhd")" \
    "$(best "$dir/qemu.vhd" $qemu_import "$dir/raw" "$dir/qemu.vhd")" \
    "$(best "$dir/qemu.vhd" $qemu_import -t writeback "$dir/raw" "$dir/qemu.vhd")"
  row "dynamic image to raw, $data" \
    "$(best "$dir/out.raw" "$dorvane" convert "$dir/ours.vhd" "$dir/out.raw")" \
    "$(best "$dir/out.raw" qemu-img convert -f vpc -O raw "$dir/qemu.vhd" "$dir/out.raw")" \
    "$(best "$dir/out.raw" qemu-img convert -t writeback -f vpc -O raw "$dir/qemu.vhd" \
      "$dir/out.raw")"
  cmp "$dir/raw" "$dir/out.raw"
done
echo "goal: dorvane within 1.2x of qemu-img convert (speed >= 0.83)"
