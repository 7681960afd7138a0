"""Calibration ladder and cached 4 KiB random reads for the current backend.

Run with KESTRELIO_BACKEND=aio or compio. Prints microseconds per operation
for each rung, then ops/s of kestrelio reads against os.pread in the default
executor, both with 64 tasks, and their ratio.
"""

import asyncio
import os
import random
import tempfile
import time

import _kestrelio as k

BLOCK = 4096
FILE_SIZE = 64 << 20
TASKS = 64
READ_SECONDS = 3.0


def per_op_us(elapsed, n):
    return elapsed / n * 1e6


async def rung_one_at_a_time(make, n):
    t0 = time.perf_counter()
    for _ in range(n):
        await make()
    return per_op_us(time.perf_counter() - t0, n)


async def rung_in_flight(make, n, width=1000):
    t0 = time.perf_counter()
    for _ in range(n // width):
        await asyncio.gather(*[make() for _ in range(width)])
    return per_op_us(time.perf_counter() - t0, n)


async def ladder():
    n = 50_000
    t0 = time.perf_counter()
    for _ in range(n * 4):
        k.probe_ffi()
    print(f"probe_ffi                      {per_op_us(time.perf_counter() - t0, n * 4):8.3f} us/op")
    for name, fn in (("probe_resolved_future", k.probe_resolved_future), ("probe_nop", k.probe_nop)):
        one = await rung_one_at_a_time(fn, n)
        many = await rung_in_flight(fn, n)
        print(f"{name:22s} 1 at a time {one:8.3f} us/op   1000 in flight {many:8.3f} us/op")


async def reads_kestrelio(h, offsets):
    done = 0
    deadline = time.perf_counter() + READ_SECONDS
    async def worker(seed):
        nonlocal done
        rnd = random.Random(seed)
        while time.perf_counter() < deadline:
            await k.read(h, rnd.choice(offsets), BLOCK)
            done += 1
    t0 = time.perf_counter()
    await asyncio.gather(*[worker(i) for i in range(TASKS)])
    return done / (time.perf_counter() - t0)


async def reads_executor(fd, offsets):
    loop = asyncio.get_running_loop()
    done = 0
    deadline = time.perf_counter() + READ_SECONDS
    async def worker(seed):
        nonlocal done
        rnd = random.Random(seed)
        while time.perf_counter() < deadline:
            await loop.run_in_executor(None, os.pread, fd, BLOCK, rnd.choice(offsets))
            done += 1
    t0 = time.perf_counter()
    await asyncio.gather(*[worker(i) for i in range(TASKS)])
    return done / (time.perf_counter() - t0)


async def main():
    print(f"backend: {k.backend_name()}")
    await ladder()
    with tempfile.NamedTemporaryFile(dir=os.environ.get("KESTRELIO_BENCH_DIR")) as tmp:
        tmp.write(os.urandom(FILE_SIZE))
        tmp.flush()
        with open(tmp.name, "rb") as warm:  # cached reads: every page resident
            while warm.read(1 << 20):
                pass
        offsets = list(range(0, FILE_SIZE, BLOCK))
        h, _, _ = await k.open(tmp.name, True, False, False, False, False, False)
        fd = os.open(tmp.name, os.O_RDONLY)
        try:
            ours = await reads_kestrelio(h, offsets)
            theirs = await reads_executor(fd, offsets)
        finally:
            os.close(fd)
            await k.close(h)
    print(f"4 KiB cached random reads, {TASKS} tasks:")
    print(f"  kestrelio.read            {ours:12,.0f} ops/s")
    print(f"  run_in_executor(os.pread) {theirs:12,.0f} ops/s")
    print(f"  ratio                     {ours / theirs:12.2f}x")


if __name__ == "__main__":
    asyncio.run(main())
