#!/usr/bin/env python3
"""Turns UDF images into fuzz inputs: a blank base of the image's size with every non-zero
sector patched in, once for read-only mode and once for write mode.

Usage: make_seeds.py OUTDIR IMAGE...  (images of at most 4096 sectors)
"""
import os
import struct
import sys


def seed(image: bytes, write: bool) -> bytes:
    sectors = len(image) // 2048
    assert 26 <= sectors <= 4096, "the fuzz input describes images of 26-4096 sectors"
    out = bytearray([(1 if write else 0) | (3 << 1)])
    out += struct.pack("<H", sectors - 26)
    out += bytes([4]) + b"Seed"
    for n in range(sectors):
        data = image[n * 2048:(n + 1) * 2048]
        if any(data):
            out += struct.pack("<IHH", n, 0, 2048) + data
    return bytes(out)


def main() -> None:
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    for path in sys.argv[2:]:
        image = open(path, "rb").read()
        name = os.path.splitext(os.path.basename(path))[0]
        for write in (False, True):
            with open(os.path.join(outdir, f"{name}-{'write' if write else 'read'}"), "wb") as f:
                f.write(seed(image, write))


if __name__ == "__main__":
    main()
