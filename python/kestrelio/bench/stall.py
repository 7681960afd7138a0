"""Loop stall: how late a task that sleeps 1 ms at a time wakes while kestrelio reads beside it.

The figure of one run is the worst lateness of that sleeper over the whole
workload; the table shows the median of three runs, next to the same figure
with no I/O running (waking an idle vCPU alone can take a fraction of a
millisecond). Workloads:

* ``cached_4k``: one task reading random cached 4 KiB blocks with ``pread``;
* ``chunks``: ``async for chunk in f.chunks()`` over a cached file, front to back;
* ``whole_200m``: ``read()`` of a whole cached 200 MiB file, three times
  (``--full``); the results are freed after the measurement;
* ``cold_512m``: a 512 MiB file read front to back in 1 MiB ``read`` calls
  after its pages were dropped from the page cache (``--full``);
* ``lines_text``, ``lines_binary``: ``async for line in f`` over a cached
  200 MiB UTF-8 file, text and binary mode (``--full``); the rate is its time
  over that of a plain ``for line in open(p)`` loop.
"""

from __future__ import annotations

import asyncio
import random
import time
from typing import Awaitable, Callable, Dict, List, Tuple

import _kestrelio

from . import lines
from .eviction import evict
from ..opening import open as kestrelio_open

SLEEP = 0.001
#: workload -> (file size in MiB, or 0 for the main bench file; needs --full)
WORKLOADS: Dict[str, Tuple[int, bool]] = {
    "idle": (0, False),
    "cached_4k": (0, False),
    "chunks": (0, False),
    "whole_200m": (200, True),
    "cold_512m": (512, True),
    "lines_text": (200, True),
    "lines_binary": (200, True),
}
RUNS = 3
#: Whole reads per run of ``whole_200m``.
WHOLE_READS = 3

# Results freed only once the sleeper has stopped: giving 200 MiB back to the
# system costs the loop 10-30 ms here, whichever library read it.
_kept: List[bytes] = []


class _Sleeper:
    """Sleeps ``SLEEP`` in a loop and keeps the worst lateness and the iteration count."""

    def __init__(self) -> None:
        self.worst = 0.0
        self.turns = 0
        self._since = time.perf_counter()
        self._stop = False

    async def run(self) -> None:
        while not self._stop:
            self._since = time.perf_counter()
            await asyncio.sleep(SLEEP)
            self.worst = max(self.worst, time.perf_counter() - self._since - SLEEP)
            self.turns += 1

    def stop(self) -> float:
        """Stops the sleeper; the worst lateness, counting the sleep still pending."""
        self._stop = True
        return max(self.worst, time.perf_counter() - self._since - SLEEP)


def drop_cached(path: str) -> None:
    """Evict ``path`` from the page cache and check that it left."""
    evict([path])


def warm(path: str) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


async def _cached_4k(path: str, size: int, seconds: float) -> float:
    blocks = max(1, size // 4096)
    rnd = random.Random(1)
    n = 0
    async with kestrelio_open(path, "rb") as f:
        deadline = time.perf_counter() + seconds
        while time.perf_counter() < deadline:
            for _ in range(64):
                await f.pread(4096, rnd.randrange(blocks) * 4096)
            n += 64
    return float(n)


async def _chunks(path: str, size: int, seconds: float) -> float:
    n = 0
    deadline = time.perf_counter() + seconds
    async with kestrelio_open(path, "rb") as f:
        while True:
            await f.seek(0)
            async for chunk in f.chunks():
                n += len(chunk)
            if time.perf_counter() >= deadline:
                return float(n)


async def _whole(path: str, size: int, seconds: float) -> float:
    n = 0
    async with kestrelio_open(path, "rb") as f:
        for _ in range(WHOLE_READS):
            await f.seek(0)
            data = await f.read()
            if len(data) != size:
                raise RuntimeError(f"read {len(data)} bytes of a {size}-byte file")
            _kept.append(data)
            n += len(data)
    return float(n)


async def _cold(path: str, size: int, seconds: float) -> float:
    n = 0
    async with kestrelio_open(path, "rb") as f:
        while chunk := await f.read(1 << 20):
            n += len(chunk)
    if n != size:
        raise RuntimeError(f"read {n} bytes of a {size}-byte file")
    return float(n)


async def _idle(path: str, size: int, seconds: float) -> float:
    await asyncio.sleep(seconds)
    return 0.0


async def _lines_text(path: str, size: int, seconds: float) -> float:
    return float((await lines.kestrelio_alone(path, False))[0])


async def _lines_binary(path: str, size: int, seconds: float) -> float:
    return float((await lines.kestrelio_alone(path, True))[0])


_CASES: Dict[str, Callable[[str, int, float], Awaitable[float]]] = {
    "idle": _idle,
    "cached_4k": _cached_4k,
    "chunks": _chunks,
    "whole_200m": _whole,
    "cold_512m": _cold,
    "lines_text": _lines_text,
    "lines_binary": _lines_binary,
}


async def measure(workload: str, path: str, size: int, seconds: float) -> Dict[str, float]:
    """One run: the sleeper's worst lateness (ms) and the workload's rate (reads or MiB per second)."""
    plain = 0.0
    if workload == "cold_512m":
        drop_cached(path)
    elif workload.startswith("lines_"):
        path = lines.lines_file(path, size >> 20)
        plain = min(lines.sync_pass(path, workload == "lines_binary")[1] for _ in range(2))
    elif workload != "idle":
        warm(path)
    if workload != "idle":
        # Start the driver first: its one-off start-up is not a read's stall.
        await _kestrelio.probe_nop()
    sleeper = _Sleeper()
    task = asyncio.ensure_future(sleeper.run())
    await asyncio.sleep(0.01)  # the sleeper is running
    sleeper.worst = 0.0
    t0 = time.perf_counter()
    amount = await _CASES[workload](path, size, seconds)
    elapsed = time.perf_counter() - t0
    worst = sleeper.stop()
    await task
    _kept.clear()
    rate = amount / elapsed
    if plain:
        rate = elapsed / plain
    elif workload != "cached_4k":
        rate /= 1 << 20
    return {"stall_ms": worst * 1e3, "rate": rate}


def median(values: List[float]) -> float:
    s = sorted(values)
    return s[len(s) // 2]
