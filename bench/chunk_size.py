"""Throughput of a whole-file read_parallel by chunk size, warm and cold.

    KESTRELIO_BACKEND=aio .venv/bin/python bench/chunk_size.py [--size-mib 256]

"Warm" has every page in the page cache; "cold" drops them first with
POSIX_FADV_DONTNEED (the file system must honour it: tmpfs does not).
"""

import argparse
import asyncio
import os
import tempfile
import time

import _kestrelio as k

CHUNKS = [256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20, 8 << 20]


async def read_whole(path, size, chunk):
    h, _, _ = await k.open(path, True, False, False, False, False, False)
    try:
        t0 = time.perf_counter()
        data = await k.read_parallel(h, 0, size, chunk)
        elapsed = time.perf_counter() - t0
    finally:
        await k.close(h)
    assert len(data) == size
    return size / elapsed / (1 << 20)


def drop(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


async def main(size_mib, repeats):
    size = size_mib << 20
    with tempfile.TemporaryDirectory(dir="/var/tmp") as d:
        path = os.path.join(d, "data")
        with open(path, "wb") as f:
            for _ in range(size_mib):
                f.write(os.urandom(1 << 20))
        print(f"{k.backend_name()}: read_parallel of {size_mib} MiB, best of {repeats}, MiB/s")
        print(f"{'chunk':>8} {'warm':>8} {'cold':>8}")
        for chunk in CHUNKS:
            warm = max([await read_whole(path, size, chunk) for _ in range(repeats)])
            cold = []
            for _ in range(repeats):
                drop(path)
                cold.append(await read_whole(path, size, chunk))
            print(f"{chunk >> 10:>6}K {warm:8.0f} {max(cold):8.0f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    asyncio.run(main(args.size_mib, args.repeats))
