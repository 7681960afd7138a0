"""What one await costs asyncio with the loop's own future type against kestrelio's KernelFuture, a subclass.

64 tasks each create a future, queue it and await it; one callback per loop pass settles every queued future,
as a drive settles a group of completions. No I/O is done: the figure is the floor a future type sets for
every operation awaited through it. asyncio's C tasks take a fast path only for futures of exactly its own
type; for a subclass they look up and call `_asyncio_future_blocking`, `get_loop`, `add_done_callback` and
`result` by name.

    python bench/future_await.py [--rounds 3] [--awaits 20000]
"""
import argparse
import asyncio
import statistics
import time

from kestrelio.futures import KernelFuture


async def awaits_per_task(cls, n, tasks=64):
    loop = asyncio.get_running_loop()
    queued = []

    def settle():
        for f in queued:
            f.set_result(None)
        queued.clear()

    async def task():
        for _ in range(n):
            f = cls(loop=loop)
            if not queued:
                loop.call_soon(settle)
            queued.append(f)
            await f

    t0 = time.perf_counter()
    await asyncio.gather(*[task() for _ in range(tasks)])
    return (time.perf_counter() - t0) / (tasks * n) * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--awaits", type=int, default=20000)
    a = ap.parse_args()
    kinds = {"asyncio.Future": asyncio.Future, "KernelFuture": KernelFuture}
    got = {k: [] for k in kinds}
    for _ in range(a.rounds):
        for name, cls in kinds.items():
            got[name].append(asyncio.run(awaits_per_task(cls, a.awaits)))
    for name, us in got.items():
        print(f"{name:15} {statistics.median(us):6.2f} us per await ({min(us):.2f}-{max(us):.2f})")


if __name__ == "__main__":
    main()
