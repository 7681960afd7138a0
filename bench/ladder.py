"""Calibration ladder and cached 4 KiB random reads for the current backend.

    KESTRELIO_BACKEND=aio .venv/bin/python bench/ladder.py [--seconds 3]

Prints microseconds per operation for each rung, then ops/s of
``_kestrelio.read`` (every read through the driver, no fast path) against
``os.pread`` in the default executor, both with 64 tasks on a 64 MiB file in
the page cache, and their ratio. ``python -m kestrelio bench`` runs the same
measurements for both backends side by side.
"""

import argparse
import asyncio
import os
import tempfile

import _kestrelio as k
from kestrelio.bench.cases import TASKS, random_reads
from kestrelio.bench.ladder import ladder

FILE_SIZE = 64 << 20
BLOCK = 4096


async def main(seconds: float) -> None:
    print(f"backend: {k.backend_name()}")
    for rung, us in (await ladder(50_000)).items():
        print(f"  {rung:38s} {us:8.3f} us/op")
    loop = asyncio.get_running_loop()
    with tempfile.NamedTemporaryFile(dir=os.environ.get("KESTRELIO_BENCH_DIR")) as tmp:
        tmp.write(os.urandom(FILE_SIZE))
        tmp.flush()
        with open(tmp.name, "rb") as warm:  # cached reads: every page resident
            while warm.read(1 << 20):
                pass
        h, _, _ = await k.open(tmp.name, True, False, False, False, False, False)
        fd = os.open(tmp.name, os.O_RDONLY)
        try:
            ours = await random_reads(lambda _i, pos: k.read(h, pos, BLOCK), FILE_SIZE, seconds)
            theirs = await random_reads(lambda _i, pos: loop.run_in_executor(None, os.pread, fd, BLOCK, pos),
                                        FILE_SIZE, seconds)
        finally:
            os.close(fd)
            await k.close(h)
    print(f"4 KiB cached random reads, {TASKS} tasks:")
    print(f"  kestrelio.read            {ours:12,.0f} ops/s")
    print(f"  run_in_executor(os.pread) {theirs:12,.0f} ops/s")
    print(f"  ratio                     {ours / theirs:12.2f}x")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="time for each read measurement")
    asyncio.run(main(parser.parse_args().seconds))
