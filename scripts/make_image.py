#!/usr/bin/env python3
"""Writes a sample firmware image: 528-byte records as a loader would take them.

Each record has the loader's title bytes, flags, a firmware ID, the record count and the
record's index, 512 bytes of seeded random data and a CRC32 over the 524 bytes before it.
The same seed always gives the same image.
"""
import argparse
import random
import struct
import sys
import zlib

TITLE = bytes([0x51, 0x18, 0x06, 0x22])
DATA_SIZE = 512
FLAG_LAST = 0x0001


def record(index, count, firmware_id, data):
    flags = FLAG_LAST if index == count - 1 else 0
    head = TITLE + struct.pack("<HHHH", flags, firmware_id, count, index) + data
    return head + struct.pack("<I", zlib.crc32(head))


def write(path, blocks, seed=1, firmware_id=0x0107):
    rng = random.Random(seed)
    with open(path, "wb") as f:
        for i in range(blocks):
            f.write(record(i, blocks, firmware_id, rng.randbytes(DATA_SIZE)))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", help="file to write")
    p.add_argument("--blocks", type=int, default=64, help="number of records (default 64)")
    p.add_argument("--seed", type=int, default=1, help="seed of the random data (default 1)")
    p.add_argument("--id", type=lambda s: int(s, 0), default=0x0107,
                   help="firmware ID in every record (default 0x0107)")
    a = p.parse_args()
    if not 0 <= a.blocks <= 0xFFFF or not 0 <= a.id <= 0xFFFF:
        p.error("--blocks and --id must fit in 16 bits")

    write(a.output, a.blocks, a.seed, a.id)
    return 0


if __name__ == "__main__":
    sys.exit(main())
