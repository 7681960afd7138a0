"""kestrelio.os against aiofiles.os: stat one after another and many at once
(asyncio.gather), and listdir of a directory of 1000 files. Prints the
median microseconds per call over the rounds; the rounds alternate the two
libraries so that drift of the machine hits both alike.

    KESTRELIO_BACKEND=compio .venv/bin/python bench/os_calls.py [--calls 2000] [--rounds 5]
"""

import argparse
import asyncio
import os
import statistics
import tempfile
import time

import aiofiles.os

import kestrelio
import kestrelio.os as kos


async def one_by_one(fn, arg, n):
    t = time.perf_counter()
    for _ in range(n):
        await fn(arg)
    return (time.perf_counter() - t) / n * 1e6


async def at_once(fn, arg, n):
    t = time.perf_counter()
    await asyncio.gather(*(fn(arg) for _ in range(n)))
    return (time.perf_counter() - t) / n * 1e6


async def main(calls, rounds):
    with tempfile.TemporaryDirectory() as d:
        for i in range(1000):
            open(os.path.join(d, f"f{i}"), "w").close()
        f = os.path.join(d, "f1")
        cases = [
            ("stat, one by one", one_by_one, "stat", f, calls),
            ("stat, gathered", at_once, "stat", f, calls),
            ("listdir, 1000 names", one_by_one, "listdir", d, max(1, calls // 40)),
        ]
        print(f"backend {kestrelio.backend_name()}; median us per call over {rounds} rounds")
        for label, shape, name, arg, n in cases:
            times = {"kestrelio": [], "aiofiles": []}
            for _ in range(rounds):
                times["kestrelio"].append(await shape(getattr(kos, name), arg, n))
                times["aiofiles"].append(await shape(getattr(aiofiles.os, name), arg, n))
            k, a = statistics.median(times["kestrelio"]), statistics.median(times["aiofiles"])
            print(f"{label:22s} kestrelio {k:8.1f}   aiofiles {a:8.1f}")


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--calls", type=int, default=2000)
    p.add_argument("--rounds", type=int, default=5)
    args = p.parse_args()
    asyncio.run(main(args.calls, args.rounds))
