"""Whole-file read throughput by read_parallel chunk size, and where splitting starts to pay.

    KESTRELIO_BACKEND=aio .venv/bin/python bench/chunk_size.py [--size-mib 256] [--repeats 3]

Part one reads one large file with read_parallel at each chunk size. Part two
reads files of growing size as one operation (read_file, which opens, reads
and closes in one submission) and split (read_parallel at --chunk-kib), to
find the size from which splitting wins. "Warm" has every page in the page
cache; "cold" drops them first with POSIX_FADV_DONTNEED (the file system must
honour it: tmpfs does not, so the files live in /var/tmp).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import tempfile
import time
from typing import Awaitable, Callable, List

import _kestrelio as k

CHUNKS = [128 << 10, 256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20, 8 << 20]
SPLIT_SIZES = [256 << 10, 512 << 10, 1 << 20, 2 << 20, 4 << 20, 8 << 20, 16 << 20]


async def split_read(path: str, size: int, chunk: int) -> float:
    t0 = time.perf_counter()
    h, _, _ = await k.open(path, True, False, False, False, False, False)
    try:
        data = await k.read_parallel(h, 0, size, chunk)
    finally:
        await k.close(h)
    elapsed = time.perf_counter() - t0
    assert len(data) == size
    return elapsed


async def one_read(path: str, size: int) -> float:
    t0 = time.perf_counter()
    data = await k.read_file(path, size)
    elapsed = time.perf_counter() - t0
    assert len(data) == size
    return elapsed


def drop(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def make_file(path: str, size: int) -> None:
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n


async def best(path: str, repeats: int, cold: bool, fn: Callable[[], Awaitable[float]]) -> float:
    """Fastest of ``repeats`` runs, in seconds."""
    times: List[float] = []
    for _ in range(repeats):
        if cold:
            drop(path)
        times.append(await fn())
    return min(times)


async def main(size_mib: int, repeats: int, chunk_kib: int) -> None:
    size = size_mib << 20
    with tempfile.TemporaryDirectory(dir="/var/tmp") as d:
        path = os.path.join(d, "data")
        make_file(path, size)
        print(f"{k.backend_name()}: read_parallel of {size_mib} MiB, best of {repeats}, MiB/s")
        print(f"{'chunk':>8} {'warm':>8} {'cold':>8}")
        for chunk in CHUNKS:
            row = []
            for cold in (False, True):
                t = await best(path, repeats, cold, lambda: split_read(path, size, chunk))
                row.append(size / t / (1 << 20))
            print(f"{chunk >> 10:>6}K {row[0]:8.0f} {row[1]:8.0f}")

        chunk = chunk_kib << 10
        print(f"\none operation against read_parallel({chunk_kib} KiB chunks), best of {repeats}, ms")
        print(f"{'size':>8} {'one warm':>9} {'split warm':>11} {'one cold':>9} {'split cold':>11}")
        for n in SPLIT_SIZES:
            p = os.path.join(d, f"f{n}")
            make_file(p, n)
            row = []
            for cold in (False, True):
                row.append(await best(p, repeats, cold, lambda: one_read(p, n)))
                row.append(await best(p, repeats, cold, lambda: split_read(p, n, chunk)))
            print(f"{n >> 10:>6}K " + " ".join(f"{t * 1e3:{w}.2f}" for t, w in zip(row, (9, 11, 9, 11))))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--chunk-kib", type=int, default=1024, help="chunk size for the split column of part two")
    args = parser.parse_args()
    asyncio.run(main(args.size_mib, args.repeats, args.chunk_kib))
