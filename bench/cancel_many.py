"""What cancelling many finished operations costs while a long queue waits.

    KESTRELIO_BACKEND=aio .venv/bin/python bench/cancel_many.py [--queued 100000] [--cancels 20000]

Queues --queued 256 KiB reads (into one shared buffer, so memory stays
small) behind the backend's in-flight limit, lets
--cancels no-op operations finish, then cancels those finished ids and times
how long a no-op sent right after the cancels takes to answer. The same probe
without cancels is the baseline; the difference is what the cancels held the
backend for.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import tempfile
import time

import _kestrelio as k


async def probe(path: str, queued: int, cancels: int) -> float:
    h, _, _ = await k.open(path, True, False, False, False, False, False)
    finished = [k.probe_nop() for _ in range(cancels)]
    await asyncio.gather(*finished)
    ids = [i for f in finished for i in f.op_ids]
    assert len(ids) == cancels
    buf = bytearray(256 << 10)
    reads = [k.readinto(h, 0, buf) for _ in range(queued)]
    t0 = time.perf_counter()
    if ids:
        k.cancel_ops(ids)
    await k.probe_nop()
    elapsed = time.perf_counter() - t0
    await asyncio.gather(*reads)
    await k.close(h)
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queued", type=int, default=100_000)
    parser.add_argument("--cancels", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f")
        with open(path, "wb") as f:
            f.write(os.urandom(256 << 10))
        print(f"backend {k.backend_name()}: {args.queued} reads queued")
        for cancels in (0, args.cancels):
            times = [asyncio.run(probe(path, args.queued, cancels)) for _ in range(args.repeats)]
            print(f"  {cancels:6d} finished ids cancelled: no-op answered after {statistics.median(times) * 1e3:8.1f} ms "
                  f"(median of {args.repeats})")


if __name__ == "__main__":
    main()
