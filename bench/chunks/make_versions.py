#!/usr/bin/env python3
"""Writes a payload and its later versions for the chunk benchmark.

    make_versions.py OUT_DIR MIB VERSIONS...

OUT_DIR/<first version>/payload.bin is MIB MiB of random bytes; every later
version changes about 5 % of the one before in 20 regions: in-place
overwrites, insertions and deletions (which shift everything after them).
Prints one line per later version: "<version> changed <bytes>", the count
of new bytes it brings (overwritten plus inserted).
"""
import os
import random
import sys


def main():
    out, mib, versions = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    rng = random.Random(2026)
    data = bytearray(b"".join(rng.randbytes(1 << 20) for _ in range(mib)))

    def write(version):
        os.makedirs(os.path.join(out, version), exist_ok=True)
        with open(os.path.join(out, version, "payload.bin"), "wb") as f:
            f.write(data)

    write(versions[0])
    for version in versions[1:]:
        budget = len(data) // 20  # about 5 %
        regions = 20
        per_region = budget // regions
        changed = 0
        # pick region starts far apart, edit from the back so offsets hold
        starts = sorted(rng.sample(range(0, len(data) - 2 * per_region), regions), reverse=True)
        for i, start in enumerate(starts):
            size = rng.randint(per_region // 2, per_region * 3 // 2)
            kind = i % 3
            if kind == 0:  # overwrite in place
                data[start:start + size] = rng.randbytes(size)
                changed += size
            elif kind == 1:  # insertion: everything after it moves
                data[start:start] = rng.randbytes(size)
                changed += size
            else:  # deletion, with a few new bytes where it was
                del data[start:start + size]
                data[start:start] = rng.randbytes(64)
                changed += 64
        write(version)
        print("%s changed %d" % (version, changed))


if __name__ == "__main__":
    main()
