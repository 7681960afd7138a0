"""FastPath.read of resident 4 KiB blocks against os.pread, in one run.

Both read the same random offsets of a 64 MiB file already in the page
cache, on the calling thread. Prints ops/s of each and their ratio; the
rounds alternate so that drift of the machine hits both alike.

    .venv/bin/python bench/fast_path.py [--seconds 1.0] [--rounds 5]
"""

import argparse
import os
import random
import statistics
import tempfile
import time

import _kestrelio as k

BLOCK = 4096
FILE_SIZE = 64 << 20


def ops_per_second(read, offsets, seconds):
    n = 0
    deadline = time.perf_counter() + seconds
    t0 = time.perf_counter()
    while True:
        for pos in offsets:
            read(pos)
        n += len(offsets)
        if time.perf_counter() >= deadline:
            return n / (time.perf_counter() - t0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of one measurement")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir="/var/tmp") as d:
        path = os.path.join(d, "data")
        with open(path, "wb") as f:
            f.write(os.urandom(FILE_SIZE))
        fd = os.open(path, os.O_RDONLY)
        try:
            with open(path, "rb") as f:
                f.read()  # every page resident
            rng = random.Random(7)
            offsets = [rng.randrange(FILE_SIZE // BLOCK) * BLOCK for _ in range(10_000)]
            fp = k.FastPath(fd)
            assert fp.read(offsets[0], BLOCK) == os.pread(fd, BLOCK, offsets[0])

            def fast(pos, read=fp.read):
                if read(pos, BLOCK) is None:
                    raise SystemExit("fast path declined a resident block")

            def plain(pos, pread=os.pread):
                pread(fd, BLOCK, pos)

            fast_runs, plain_runs = [], []
            for _ in range(args.rounds):
                plain_runs.append(ops_per_second(plain, offsets, args.seconds))
                fast_runs.append(ops_per_second(fast, offsets, args.seconds))
        finally:
            os.close(fd)

    f, p = statistics.median(fast_runs), statistics.median(plain_runs)
    print(f"4 KiB resident reads, median of {args.rounds} x {args.seconds:g} s")
    print(f"  os.pread        {p:12,.0f} ops/s")
    print(f"  FastPath.read   {f:12,.0f} ops/s")
    print(f"  ratio           {f / p:12.2f}x")


if __name__ == "__main__":
    main()
