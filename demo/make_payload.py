#!/usr/bin/env python3
"""Writes a deterministic pseudo-random file: the same seed and size always
give the same bytes, so the demo's installer payload is not committed.

    make_payload.py OUTPUT SIZE_BYTES SEED
"""
import hashlib
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    output, size, seed = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode()
    counter = 0
    written = 0
    with open(output, "wb") as f:
        while written < size:
            # 64 KiB per step from a SHA-256 chain: fast enough and incompressible
            block = b"".join(hashlib.sha256(seed + (counter * 2048 + i).to_bytes(8, "little")).digest()
                             for i in range(2048))
            counter += 1
            block = block[:size - written]
            f.write(block)
            written += len(block)


if __name__ == "__main__":
    main()
