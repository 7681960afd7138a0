"""The measured work: one workload done by one contender, in the worker process.

Workloads, all on a file whose every page is in the page cache:

* ``random_4k``: 4 KiB reads at random block-aligned offsets from 64 tasks,
  in operations per second;
* ``sequential_1m``: the file front to back in 1 MiB reads, one task, MiB/s;
* ``whole_file``: the whole file as one ``bytes`` object, MiB/s.

Contenders: ``kestrelio`` (the package API: ``BinaryFile`` and ``read_bytes``,
fast path included), ``kestrelio_driver`` (the native functions alone, every
read through the driver thread), ``executor`` (``os.pread`` and
``Path.read_bytes`` in ``loop.run_in_executor``), ``aiofiles``, ``ayafileio``, and ``pread``
(plain ``os.pread`` on the loop thread, blocking it: the floor of what a read
can cost).
"""

from __future__ import annotations

import asyncio
import importlib
import os
import random
import time
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, List, Tuple

import _kestrelio

from ..binary_file import CHUNK_SIZE
from ..opening import open as kestrelio_open
from ..whole_file import read_bytes

BLOCK = 4096
SEQ_BLOCK = 1 << 20
TASKS = 64

WORKLOADS: Tuple[str, ...] = ("random_4k", "sequential_1m", "whole_file")
CONTENDERS: Tuple[str, ...] = ("kestrelio", "kestrelio_driver", "executor", "aiofiles", "ayafileio", "pread")

Reader = Callable[[int, int], Awaitable[object]]  # (task index, offset)
Pass = Callable[[], Awaitable[int]]  # reads the file once, returns the byte count


async def random_reads(read: Reader, size: int, seconds: float) -> float:
    """Operations per second of ``read`` at random 4 KiB blocks from ``TASKS`` tasks."""
    blocks = max(1, size // BLOCK)
    deadline = time.perf_counter() + seconds
    done = 0

    async def task(index: int) -> None:
        nonlocal done
        rnd = random.Random(index)
        while time.perf_counter() < deadline:
            await read(index, rnd.randrange(blocks) * BLOCK)
            done += 1

    t0 = time.perf_counter()
    await asyncio.gather(*(task(i) for i in range(TASKS)))
    return done / (time.perf_counter() - t0)


async def throughput(one_pass: Pass, seconds: float) -> float:
    """MiB/s of ``one_pass`` repeated for ``seconds`` (at least twice: the first warms up)."""
    await one_pass()
    total = 0
    t0 = time.perf_counter()
    while True:
        total += await one_pass()
        elapsed = time.perf_counter() - t0
        if elapsed >= seconds:
            return total / elapsed / (1 << 20)


def _check(got: int, size: int) -> int:
    if got != size:
        raise RuntimeError(f"read {got} bytes of a {size}-byte file")
    return got


async def _kestrelio_case(workload: str, path: str, size: int, seconds: float) -> float:
    if workload == "whole_file":
        async def whole() -> int:
            return _check(len(await read_bytes(path)), size)
        return await throughput(whole, seconds)
    async with kestrelio_open(path, "rb") as f:
        if workload == "random_4k":
            return await random_reads(lambda _i, pos: f.pread(BLOCK, pos), size, seconds)
        return await throughput(lambda: _read_through(f, size), seconds)


async def _read_through(f: Any, size: int) -> int:
    """One front-to-back pass in 1 MiB reads over a file object with coroutine ``seek`` and ``read``."""
    await f.seek(0)
    n = 0
    while chunk := await f.read(SEQ_BLOCK):
        n += len(chunk)
    return _check(n, size)


async def _driver_sequential(handle: int, size: int) -> int:
    n = 0
    while chunk := await _kestrelio.read(handle, n, SEQ_BLOCK):
        n += len(chunk)
    return _check(n, size)


async def _driver_case(workload: str, path: str, size: int, seconds: float) -> float:
    if workload == "whole_file":
        async def whole() -> int:
            h, n, _fd = await _kestrelio.open(path, True, False, False, False, False, False)
            try:
                return _check(len(await _kestrelio.read_parallel(h, 0, n, CHUNK_SIZE)), size)
            finally:
                await _kestrelio.close(h)
        return await throughput(whole, seconds)
    h, _n, _fd = await _kestrelio.open(path, True, False, False, False, False, False)
    try:
        if workload == "random_4k":
            return await random_reads(lambda _i, pos: _kestrelio.read(h, pos, BLOCK), size, seconds)
        return await throughput(lambda: _driver_sequential(h, size), seconds)
    finally:
        await _kestrelio.close(h)


def _pread_sequential(fd: int, size: int) -> int:
    n = 0
    while chunk := os.pread(fd, SEQ_BLOCK, n):
        n += len(chunk)
    return _check(n, size)


async def _executor_case(workload: str, path: str, size: int, seconds: float) -> float:
    loop = asyncio.get_running_loop()
    if workload == "whole_file":
        async def whole() -> int:
            return _check(len(await loop.run_in_executor(None, Path(path).read_bytes)), size)
        return await throughput(whole, seconds)
    fd = os.open(path, os.O_RDONLY)
    try:
        if workload == "random_4k":
            return await random_reads(lambda _i, pos: loop.run_in_executor(None, os.pread, fd, BLOCK, pos),
                                      size, seconds)

        async def sequential() -> int:
            n = 0
            while chunk := await loop.run_in_executor(None, os.pread, fd, SEQ_BLOCK, n):
                n += len(chunk)
            return _check(n, size)
        return await throughput(sequential, seconds)
    finally:
        os.close(fd)


async def _aiofiles_case(workload: str, path: str, size: int, seconds: float) -> float:
    aiofiles: Any = importlib.import_module("aiofiles")
    if workload == "whole_file":
        async def whole() -> int:
            async with aiofiles.open(path, "rb") as f:
                return _check(len(await f.read()), size)
        return await throughput(whole, seconds)
    if workload == "random_4k":
        # aiofiles has no pread: each task keeps a file of its own and seeks.
        files: List[Any] = [await aiofiles.open(path, "rb") for _ in range(TASKS)]
        try:
            async def read(index: int, pos: int) -> object:
                f = files[index]
                await f.seek(pos)
                return await f.read(BLOCK)
            return await random_reads(read, size, seconds)
        finally:
            for f in files:
                await f.close()
    async with aiofiles.open(path, "rb") as f:
        return await throughput(lambda: _read_through(f, size), seconds)


async def _ayafileio_case(workload: str, path: str, size: int, seconds: float) -> float:
    aya: Any = importlib.import_module("ayafileio")
    if workload == "whole_file":
        async def whole() -> int:
            return _check(len(await aya.read_bytes(path)), size)
        return await throughput(whole, seconds)
    f = aya.open(path, "rb")
    try:
        if workload == "random_4k":
            return await random_reads(lambda _i, pos: f.read_at(pos, BLOCK), size, seconds)
        return await throughput(lambda: _read_through(f, size), seconds)
    finally:
        await f.close()


async def _pread_case(workload: str, path: str, size: int, seconds: float) -> float:
    if workload == "whole_file":
        async def whole() -> int:
            return _check(len(Path(path).read_bytes()), size)
        return await throughput(whole, seconds)
    fd = os.open(path, os.O_RDONLY)
    try:
        if workload == "random_4k":
            async def read(_index: int, pos: int) -> object:
                return os.pread(fd, BLOCK, pos)
            return await random_reads(read, size, seconds)

        async def sequential() -> int:
            return _pread_sequential(fd, size)
        return await throughput(sequential, seconds)
    finally:
        os.close(fd)


_CASES: Dict[str, Callable[[str, str, int, float], Awaitable[float]]] = {
    "kestrelio": _kestrelio_case,
    "kestrelio_driver": _driver_case,
    "executor": _executor_case,
    "aiofiles": _aiofiles_case,
    "ayafileio": _ayafileio_case,
    "pread": _pread_case,
}


async def run_case(contender: str, workload: str, path: str, size: int, seconds: float) -> float:
    """The figure of one contender on one workload: ops/s for ``random_4k``, else MiB/s."""
    if workload not in WORKLOADS:
        raise ValueError(f"unknown workload {workload!r}")
    return await _CASES[contender](workload, path, size, seconds)
