#!/bin/sh
# The dorvane command against the plain tools on the same bytes, page cache
# warm, best of several rounds, side by side in one run: `dorvane cat` of a
# fixed and of a dynamic image against `cat` of a raw file (all to
# /dev/null); `dorvane write` over the allocated blocks of a dynamic image
# against `dd conv=notrunc,fsync` into the raw file; and the import of the
# raw file into a new dynamic image (`dorvane create` and `dorvane write`,
# durable when the command returns) against `qemu-img convert -O vpc`, as it
# runs by default (its output still in the page cache when it returns) and
# followed by `sync` of its output, and against `dd conv=fsync` of the raw
# file into a new file: what the disk takes to make the same bytes durable.
#   bench/command_bench.sh DORVANE [SIZE_MIB] [ROUNDS]
set -e
dorvane=${1:?usage: command_bench.sh DORVANE [SIZE_MIB] [ROUNDS]}
size=${2:-1024}
rounds=${3:-5}
dir=$(mktemp -d /tmp/dorvane-command-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT

head -c $((size * 1048576)) /dev/urandom > "$dir/raw"
"$dorvane" create --type fixed --size "${size}M" "$dir/fixed.vhd" >/dev/null
"$dorvane" create --type dynamic --size "${size}M" "$dir/dynamic.vhd" >/dev/null
"$dorvane" write "$dir/fixed.vhd" --offset 0 --input "$dir/raw"
"$dorvane" write "$dir/dynamic.vhd" --offset 0 --input "$dir/raw"
cp "$dir/raw" "$dir/copy"

# Best wall-clock seconds of a command over the rounds.
best() {
  best_time=
  for _ in $(seq "$rounds"); do
    start=$(date +%s.%N)
    sh -c "$1"
    end=$(date +%s.%N)
    best_time=$(echo "$start $end $best_time" |
      awk '{ t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3 }')
  done
  echo "$best_time"
}

# workload, plain seconds, dorvane seconds, goal for dorvane / plain (or -).
line() {
  printf '%-46s %8.3f s %8.3f s %7.2f %6s\n' "$1" "$2" "$3" \
    "$(echo "$2 $3" | awk '{ print $2 / $1 }')" "$4"
}

printf '%-46s %10s %10s %7s %6s\n' "workload ($size MiB)" "plain" "dorvane" "ratio" "goal"
cat_raw=$(best "cat '$dir/raw' > /dev/null")
line "cat, fixed image" "$cat_raw" "$(best "'$dorvane' cat '$dir/fixed.vhd' > /dev/null")" -
line "cat, dynamic image" "$cat_raw" "$(best "'$dorvane' cat '$dir/dynamic.vhd' > /dev/null")" -
dd_raw=$(best "dd if='$dir/raw' of='$dir/copy' bs=2M conv=notrunc,fsync status=none")
line "write over allocated blocks (dd to raw)" "$dd_raw" \
  "$(best "'$dorvane' write '$dir/dynamic.vhd' --offset 0 --input '$dir/raw'")" 1.1
if ! command -v qemu-img >/dev/null; then
  echo "import: qemu-img is not installed"
  exit 0
fi
import=$(best "rm -f '$dir/new.vhd' && '$dorvane' create --type dynamic --size ${size}M \
  '$dir/new.vhd' >/dev/null && '$dorvane' write '$dir/new.vhd' --offset 0 --input '$dir/raw'")
line "import (qemu-img convert -O vpc)" \
  "$(best "rm -f '$dir/qemu.vhd' && qemu-img convert -f raw -O vpc '$dir/raw' '$dir/qemu.vhd'")" \
  "$import" 1.2
line "import (qemu-img convert -O vpc, then sync)" \
  "$(best "rm -f '$dir/qemu.vhd' && qemu-img convert -f raw -O vpc '$dir/raw' '$dir/qemu.vhd' &&
    sync '$dir/qemu.vhd'")" "$import" -
line "import (dd to a new raw file, conv=fsync)" \
  "$(best "rm -f '$dir/new.raw' && dd if='$dir/raw' of='$dir/new.raw' bs=2M conv=fsync status=none")" \
  "$import" -
