#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets (fuzz/corpus/) with a built
# dorvane command: scripts/fuzz.sh runs from these; run this again only to
# change them.
#   fuzz/make_seeds.sh BUILD_DIR
set -euo pipefail
dorvane=$(realpath "${1:?usage: make_seeds.sh BUILD_DIR}")/dorvane
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf corpus && mkdir -p corpus/image_open_fuzz corpus/control_fuzz

# Image open: four little-endian bytes of the image's length, the image, then
# the parent it may name as .\p.vhd.
pack() {  # output, image, [parent]
  python3 - "$@" <<'PY'
import struct, sys
image = open(sys.argv[2], 'rb').read()
parent = open(sys.argv[3], 'rb').read() if len(sys.argv) > 3 else b''
open(sys.argv[1], 'wb').write(struct.pack('<I', len(image)) + image + parent)
PY
}
head -c 6000 /dev/urandom >"$work/data"
"$dorvane" create --type fixed --size 4K "$work/fixed.vhd"
"$dorvane" write "$work/fixed.vhd" --offset 512 --input "$work/data" 2>/dev/null || true
"$dorvane" create --type dynamic --size 1M "$work/empty.vhd"
"$dorvane" create --type dynamic --size 64K --block-size 4K "$work/p.vhd"
"$dorvane" write "$work/p.vhd" --offset 4000 --input "$work/data"
"$dorvane" create --parent "$work/p.vhd" "$work/c.vhd"
printf 'child data' | "$dorvane" write "$work/c.vhd" --offset 9000
pack corpus/image_open_fuzz/fixed "$work/fixed.vhd"
pack corpus/image_open_fuzz/dynamic-empty "$work/empty.vhd"
pack corpus/image_open_fuzz/dynamic-blocks "$work/p.vhd"
pack corpus/image_open_fuzz/differencing "$work/c.vhd" "$work/p.vhd"

# Control requests: choice, output length, raw code, then the input buffer
# (see control_fuzz.cpp).
python3 - <<'PY'
import struct
def seed(name, choice, output, data):
    open('corpus/control_fuzz/' + name, 'wb').write(
        struct.pack('<BHI', choice, output, 0) + data)
seed('zero-data', 0, 0, struct.pack('<qq', 4096, 200000))
seed('file-level-trim', 1, 0, struct.pack('<II', 0, 2) + struct.pack('<QQQQ', 0, 70000, 300000, 4096))
seed('data-set-trim', 2 | 1 << 2, 0,
     struct.pack('<IIIIIII', 28, 1, 0, 0, 0, 32, 16) + bytes(4) + struct.pack('<QQ', 65536, 131072))
guard = bytes([0x41, 0x8F, 0x2E, 0x5D, 0x36, 0x7A, 0x0B, 0x4C,
               0x9E, 0x1D, 0x63, 0xF4, 0xA0, 0xB2, 0xC8, 0x57])
seed('merge', 3 | 1 << 4, 24, guard + struct.pack('<II', 1, 8))
PY
ls -l corpus/*
