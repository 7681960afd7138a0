"""The cold rows' work, done by one contender in the worker process.

Workloads (``random`` and ``batch`` read the big bench file, ``small_files`` a
directory of 8 KiB files, the appends a file of their own):

* ``random``: 4 KiB reads of distinct random blocks, ``depth`` tasks each
  with one read in flight, reads per second;
* ``small_files``: open + read the whole file + close, 64 tasks, files/s;
* ``appends_shared`` / ``appends_own``: 64 tasks appending 100-byte lines,
  through one shared file object or a file object each, lines per second;
  afterwards every line is checked to be intact and in its task's order;
* ``batch``: ``BinaryFile.pread_many`` (ayafileio: ``read_many``) of 64
  distinct 4 KiB blocks at a time, one batch after another, reads per second.

The reading workloads take no new work once ``seconds`` have passed: a slow
contender reads fewer blocks rather than for longer.

When ``cold`` is set, every page the timed part reads is dropped from the page
cache and checked gone with ``mincore`` just before it starts, after the
interpreter, the driver and the open files are set up (for small files only
their data leaves: the kernel keeps their inodes and directory entries). The figure comes with
the process's CPU time (every thread's, the kernel's share included) per
operation.
"""

from __future__ import annotations

import asyncio
import importlib
import os
import random
import resource
import time
from pathlib import Path
from typing import Any, Awaitable, Callable, Dict, Iterator, List, Tuple

import _kestrelio

from ..binary_file import BinaryFile
from ..opening import open as kestrelio_open
from ..whole_file import read_bytes
from .eviction import evict

BLOCK = 4096
TASKS = 64
BATCH = 64
LINE = 100

WORKLOADS: Tuple[str, ...] = ("random", "small_files", "appends_shared", "appends_own", "batch")


def blocks_to_read(size: int, count: int, seed: int) -> List[int]:
    """``count`` distinct block-aligned offsets of a ``size``-byte file, the same for every contender of a round."""
    blocks = max(1, size // BLOCK)
    return [b * BLOCK for b in random.Random(seed).sample(range(blocks), min(count, blocks))]


def small_file_names(directory: str, count: int) -> List[str]:
    return [os.path.join(directory, f"{i:05d}") for i in range(count)]


def _cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


#: When the reading workloads stop taking new work: a slow contender reads fewer blocks, not for longer.
_deadline = float("inf")


def _in_time() -> bool:
    return time.perf_counter() < _deadline


class _Timed:
    """Makes the pages cold (or warm) right before the timed part, then times it."""

    def __init__(self, cold: bool, paths: List[str], warm: Callable[[], None], seconds: float) -> None:
        self.cold, self.paths, self.warm, self.seconds = cold, paths, warm, seconds

    async def run(self, work: Callable[[], Awaitable[int]]) -> Dict[str, float]:
        global _deadline
        if self.cold:
            evict(self.paths)
        else:
            self.warm()
        c0, t0 = _cpu(), time.perf_counter()
        _deadline = t0 + self.seconds
        n = await work()
        elapsed, cpu = time.perf_counter() - t0, _cpu() - c0
        return {"value": n / elapsed, "cpu_us": cpu / max(n, 1) * 1e6, "seconds": elapsed}


async def _spread(offsets: List[int], depth: int, read: Callable[[int, int], Awaitable[object]]) -> int:
    """Reads the offsets with ``depth`` tasks, each with one read in flight, until done or out of time.

    Checks every length; returns the number of reads.
    """
    it: Iterator[int] = iter(offsets)
    done = 0

    async def task(index: int) -> None:
        nonlocal done
        for pos in it:
            got = await read(index, pos)
            if len(got) != BLOCK:  # type: ignore[arg-type]
                raise RuntimeError(f"read {len(got)} bytes at {pos}")  # type: ignore[arg-type]
            done += 1
            if not _in_time():
                return

    await asyncio.gather(*(task(i) for i in range(depth)))
    return done


def _warm_blocks(path: str, offsets: List[int]) -> Callable[[], None]:
    def warm() -> None:
        fd = os.open(path, os.O_RDONLY)
        try:
            for pos in offsets:
                os.pread(fd, BLOCK, pos)
        finally:
            os.close(fd)
    return warm


async def _random(contender: str, timed: _Timed, path: str, offsets: List[int], depth: int) -> Dict[str, float]:
    loop = asyncio.get_running_loop()
    if contender == "kestrelio":
        async with kestrelio_open(path, "rb", buffering=0) as f:
            return await timed.run(lambda: _spread(offsets, depth, lambda _i, pos: f.pread(BLOCK, pos)))
    if contender == "kestrelio_driver":
        h, _n, _fd = await _kestrelio.open(path, True, False, False, False, False, False)
        try:
            return await timed.run(lambda: _spread(offsets, depth, lambda _i, pos: _kestrelio.read(h, pos, BLOCK)))
        finally:
            await _kestrelio.close(h)
    if contender == "ayafileio":
        af: Any = importlib.import_module("ayafileio").open(path, "rb")
        try:
            return await timed.run(lambda: _spread(offsets, depth, lambda _i, pos: af.read_at(pos, BLOCK)))
        finally:
            await af.close()
    if contender == "aiofiles":
        aiofiles: Any = importlib.import_module("aiofiles")
        files: List[Any] = [await aiofiles.open(path, "rb", buffering=0) for _ in range(depth)]
        try:
            async def seek_read(index: int, pos: int) -> bytes:
                await files[index].seek(pos)
                data: bytes = await files[index].read(BLOCK)
                return data
            return await timed.run(lambda: _spread(offsets, depth, seek_read))
        finally:
            for f in files:
                await f.close()
    fd = os.open(path, os.O_RDONLY)
    try:
        if contender == "executor":
            return await timed.run(lambda: _spread(
                offsets, depth, lambda _i, pos: loop.run_in_executor(None, os.pread, fd, BLOCK, pos)))

        async def blocking(_index: int, pos: int) -> bytes:
            return os.pread(fd, BLOCK, pos)
        return await timed.run(lambda: _spread(offsets, depth, blocking))
    finally:
        os.close(fd)


async def _small_files(contender: str, names: List[str]) -> int:
    loop = asyncio.get_running_loop()
    it = iter(names)
    if contender == "kestrelio":
        read: Callable[[str], Awaitable[bytes]] = read_bytes
    elif contender == "executor":
        def read(p: str) -> Awaitable[bytes]:
            return loop.run_in_executor(None, Path(p).read_bytes)
    elif contender == "ayafileio":
        read = importlib.import_module("ayafileio").read_bytes
    elif contender == "aiofiles":
        aiofiles: Any = importlib.import_module("aiofiles")

        async def read(p: str) -> bytes:
            async with aiofiles.open(p, "rb") as f:
                data: bytes = await f.read()
                return data
    else:
        async def read(p: str) -> bytes:
            return Path(p).read_bytes()

    done = 0

    async def task() -> None:
        nonlocal done
        for p in it:
            if len(await read(p)) != 2 * BLOCK:
                raise RuntimeError(f"short read of {p}")
            done += 1
            if not _in_time():
                return

    await asyncio.gather(*(task() for _ in range(TASKS)))
    return done


def _line(task: int, seq: int) -> bytes:
    head = f"{task:03d} {seq:07d} ".encode()
    return head + b"." * (LINE - len(head) - 1) + b"\n"


def check_appends(path: str, per_task: int) -> None:
    """Every line intact, each task's lines in its own order, none missing."""
    data = Path(path).read_bytes()
    if len(data) != TASKS * per_task * LINE:
        raise RuntimeError(f"appended {len(data)} bytes, expected {TASKS * per_task * LINE}")
    expect = [0] * TASKS
    for i in range(0, len(data), LINE):
        line = data[i:i + LINE]
        task, seq = int(line[:3]), int(line[4:11])
        if line != _line(task, seq) or seq != expect[task]:
            raise RuntimeError(f"line {i // LINE} is {line[:40]!r}..., task {task} expected line {expect[task]}")
        expect[task] += 1


async def _appends(contender: str, path: str, per_task: int, shared: bool) -> int:
    loop = asyncio.get_running_loop()
    objects = 1 if shared else TASKS
    closers: List[Callable[[], Awaitable[None]]] = []
    writers: List[Callable[[bytes], Awaitable[object]]] = []
    if contender == "kestrelio":
        for _ in range(objects):
            f: Any = await kestrelio_open(path, "ab", buffering=0)
            writers.append(f.write)
            closers.append(f.close)
    elif contender == "aiofiles":
        aiofiles: Any = importlib.import_module("aiofiles")
        for _ in range(objects):
            af: Any = await aiofiles.open(path, "ab", buffering=0)
            writers.append(af.write)
            closers.append(af.close)
    elif contender == "ayafileio":
        aya: Any = importlib.import_module("ayafileio")
        for _ in range(objects):
            yf: Any = aya.open(path, "ab")
            writers.append(yf.write)
            closers.append(yf.close)
    else:
        for _ in range(objects):
            fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)

            async def close(fd: int = fd) -> None:
                os.close(fd)
            closers.append(close)
            if contender == "executor":
                def in_thread(b: bytes, fd: int = fd) -> Awaitable[int]:
                    return loop.run_in_executor(None, os.write, fd, b)
                writers.append(in_thread)
            else:
                async def blocking(b: bytes, fd: int = fd) -> int:
                    return os.write(fd, b)
                writers.append(blocking)

    async def task(index: int) -> None:
        write = writers[index % objects]
        for seq in range(per_task):
            await write(_line(index, seq))

    try:
        await asyncio.gather(*(task(i) for i in range(TASKS)))
    finally:
        for c in closers:
            await c()
    return TASKS * per_task


def has_batches() -> bool:
    return hasattr(BinaryFile, "pread_many")


async def _batch(contender: str, timed: _Timed, path: str, offsets: List[int]) -> Dict[str, float]:
    if contender == "ayafileio":
        async with importlib.import_module("ayafileio").open(path, "rb") as af:
            return await _batches(timed, offsets, af.read_many)
    async with kestrelio_open(path, "rb", buffering=0) as f:
        return await _batches(timed, offsets, getattr(f, "pread_many"))


async def _batches(timed: _Timed, offsets: List[int], pread_many: Any) -> Dict[str, float]:
    async def work() -> int:
        done = 0
        for i in range(0, len(offsets) - BATCH + 1, BATCH):
            # A span is (position, length).
            got = await pread_many([(pos, BLOCK) for pos in offsets[i:i + BATCH]])
            if len(got) != BATCH or any(len(b) != BLOCK for b in got):
                raise RuntimeError("pread_many answered short")
            done += BATCH
            if not _in_time():
                break
        return done
    return await timed.run(work)


async def run_cold(request: Dict[str, Any]) -> Dict[str, Any]:
    """One figure: {"value", "cpu_us", "seconds"}, or {"na": why} when the contender lacks the operation."""
    workload, contender = str(request["cold"]), str(request["contender"])
    path, count, cold = str(request["path"]), int(request["count"]), bool(request["cold_pass"])
    seconds = float(request.get("seconds", float("inf")))
    if contender.startswith("kestrelio"):
        await _kestrelio.probe_nop()  # the driver's start-up is not part of any figure
    if workload == "random":
        offsets = blocks_to_read(os.path.getsize(path), count, int(request["seed"]))
        return await _random(contender, _Timed(cold, [path], _warm_blocks(path, offsets), seconds), path, offsets,
                             int(request["depth"]))
    if workload == "batch":
        if contender != "ayafileio" and not has_batches():
            return {"na": "BinaryFile.pread_many is not there"}
        offsets = blocks_to_read(os.path.getsize(path), count, int(request["seed"]))
        return await _batch(contender, _Timed(cold, [path], _warm_blocks(path, offsets), seconds), path, offsets)
    if workload == "small_files":
        names = small_file_names(path, count)

        def warm() -> None:
            for p in names:
                Path(p).read_bytes()
        return await _Timed(cold, names, warm, seconds).run(lambda: _small_files(contender, names))
    if workload in ("appends_shared", "appends_own"):
        Path(path).write_bytes(b"")
        try:
            got = await _Timed(False, [], lambda: None, seconds).run(
                lambda: _appends(contender, path, count, workload == "appends_shared"))
            check_appends(path, count)
            return got
        finally:
            os.unlink(path)
    raise ValueError(f"unknown cold workload {workload!r}")

