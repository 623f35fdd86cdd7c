#!/usr/bin/env python3
"""Computes the PE image checksum of a file and writes it into the optional
header's CheckSum field (the value the Windows loader checks for drivers).

The checksum is the file summed as little-endian 16-bit words with the
CheckSum field counted as zero, carries folded back into the low 16 bits after
every addition, plus the file's length in bytes. An odd last byte counts as a
word padded with zero."""

import struct
import sys


def checksum_offset(image: bytes) -> int:
    if len(image) < 0x40 or image[:2] != b"MZ":
        raise ValueError("not an MZ executable")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if pe + 24 + 0x44 > len(image) or image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    # Signature (4) and file header (20) precede the optional header, whose
    # CheckSum lies at offset 64 for PE32 and PE32+ alike.
    return pe + 24 + 64


def pe_checksum(image: bytes, field: int) -> int:
    data = bytearray(image)
    data[field:field + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: pe_checksum.py IMAGE", file=sys.stderr)
        return 2
    path = sys.argv[1]
    with open(path, "rb") as f:
        image = f.read()
    try:
        field = checksum_offset(image)
    except ValueError as error:
        print(f"pe_checksum.py: {path}: {error}", file=sys.stderr)
        return 1
    value = pe_checksum(image, field)
    with open(path, "r+b") as f:
        f.seek(field)
        f.write(struct.pack("<I", value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
