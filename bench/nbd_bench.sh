#!/usr/bin/env bash
# The NBD export against the other ways to serve the same bytes, side by
# side in one run: nbdkit with the dorvane plugin over a dynamic image,
# qemu-nbd over QEMU's own dynamic VHD of the same bytes, and nbdkit's file
# plugin over the raw file (the limit of the path). Each is read whole with
# `qemu-img convert` (to QEMU's null device) and `nbdcopy` (to null:), and
# written whole with the same tools from the raw file. Page cache warm, best
# of several rounds; "speed" is the file plugin's time over the server's.
#   bench/nbd_bench.sh BUILD_DIR [SIZE_MIB] [ROUNDS]
set -euo pipefail
build=${1:?usage: nbd_bench.sh BUILD_DIR [SIZE_MIB] [ROUNDS]}
size=${2:-1024}
rounds=${3:-3}
dorvane=$build/dorvane
plugin=$build/nbdkit-dorvane-plugin.so
dir=$(mktemp -d /tmp/dorvane-nbd-bench-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.5
  rm -rf "$dir"
}
trap cleanup EXIT

bytes=$((size * 1048576))
head -c "$bytes" /dev/urandom >"$dir/raw"
cp "$dir/raw" "$dir/file.raw"
"$dorvane" convert "$dir/raw" "$dir/ours.vhd"
qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on "$dir/raw" "$dir/qemu.vhd"

serve() {  # name, command... ; the server listens on $dir/NAME.sock
  local name=$1
  shift
  "$@"
  for _ in $(seq 100); do [ -S "$dir/$name.sock" ] && break; sleep 0.1; done
  pids+=("$(cat "$dir/$name.pid")")
}
serve dorvane nbdkit -U "$dir/dorvane.sock" -P "$dir/dorvane.pid" "$plugin" image="$dir/ours.vhd"
serve qemu qemu-nbd -f vpc -k "$dir/qemu.sock" --pid-file "$dir/qemu.pid" -e 16 -t --fork \
  "$dir/qemu.vhd"
serve file nbdkit -U "$dir/file.sock" -P "$dir/file.pid" file "$dir/file.raw"

uri() { echo "nbd+unix:///?socket=$dir/$1.sock"; }

source "$(dirname "$0")/timing.sh"
best() { best_seconds "$rounds" : "$@"; }

workload() {  # number, uri
  case $1 in
    1) qemu-img convert -n -f raw "$2" --target-image-opts "driver=null-co,size=$bytes" ;;
    2) nbdcopy "$2" null: ;;
    3) qemu-img convert -n -f raw "$dir/raw" -O raw "$2" ;;
    4) nbdcopy "$dir/raw" "$2" ;;
  esac
}
names=("" "read: qemu-img convert" "read: nbdcopy" "write: qemu-img convert" "write: nbdcopy")

printf '%-26s %10s %10s %10s %9s %9s\n' "workload ($size MiB)" "file" "qemu-nbd" "dorvane" \
  "vs file" "vs qemu"
for number in 1 2 3 4; do
  declare -A seconds=()
  for server in file qemu dorvane; do
    seconds[$server]=$(best workload "$number" "$(uri "$server")")
  done
  printf '%-26s %8.3f s %8.3f s %8.3f s %8.2fx %8.2fx\n' "${names[$number]}" "${seconds[file]}" \
    "${seconds[qemu]}" "${seconds[dorvane]}" \
    "$(echo "${seconds[file]} ${seconds[dorvane]}" | awk '{ print $1 / $2 }')" \
    "$(echo "${seconds[qemu]} ${seconds[dorvane]}" | awk '{ print $1 / $2 }')"
done
echo "goals: dorvane within 1.3x of the file plugin (vs file >= 0.77), ahead of qemu-nbd (vs qemu > 1)"
