#!/usr/bin/python3
"""Writes OLD, 64 MiB of seeded random bytes, and NEW, the same with scattered changes: a
64 KiB block replaced, 5,000 bytes deleted, 1,000 bytes inserted, five 4-byte changes and a
4 KiB block moved 20 MB further on."""
import random
import sys

MIB = 1024 * 1024


def main():
    old_path, new_path = sys.argv[1], sys.argv[2]
    rng = random.Random(20240611)
    old = rng.randbytes(64 * MIB)
    new = bytearray(old)
    # Changes from the end backwards so that each offset refers to the old layout.
    moved = bytes(new[30 * MIB:30 * MIB + 4096])
    del new[30 * MIB:30 * MIB + 4096]
    new[50 * MIB:50 * MIB] = moved
    for offset in (60 * MIB + 17, 47 * MIB + 3, 33 * MIB + 99, 21 * MIB + 5, 2 * MIB + 1):
        new[offset:offset + 4] = rng.randbytes(4)
    new[40 * MIB:40 * MIB] = rng.randbytes(1000)
    del new[25 * MIB:25 * MIB + 5000]
    new[10 * MIB:10 * MIB + 65536] = rng.randbytes(65536)
    with open(old_path, "wb") as out:
        out.write(old)
    with open(new_path, "wb") as out:
        out.write(new)


if __name__ == "__main__":
    main()
