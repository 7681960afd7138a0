"""Cached reads share the loop: readers of cached data let other tasks run, and large reads leave the loop."""

import asyncio
import gc
import os
import warnings
import weakref

import pytest

import kestrelio
from conftest import run
from kestrelio import fast_reads

BLOCK = 4096


@pytest.fixture
def cached(tmp_path):
    data = os.urandom(64 * BLOCK)
    p = tmp_path / "f"
    p.write_bytes(data)  # just written: every page is in the page cache
    return p, data


def every_fast_read_waits_for_a_turn(monkeypatch):
    monkeypatch.setattr(fast_reads, "BUDGET", 0.0)
    monkeypatch.setattr(fast_reads, "CLOCK_BYTES", 0)
    fast_reads._meter.credit = 0


async def sleeper_turns_while(step, cap):
    """Calls `await step(i)` until a sleeping task has had 5 turns or `cap` calls were made."""
    turns = 0
    stop = False

    async def sleeper():
        nonlocal turns
        while not stop:
            await asyncio.sleep(0)
            turns += 1

    task = asyncio.ensure_future(sleeper())
    await asyncio.sleep(0)
    start = turns
    for i in range(cap):
        await step(i)
        if turns - start >= 5:
            break
    stop = True
    await task
    return turns - start, i


@pytest.mark.parametrize("how", ["pread", "chunks"])
def test_a_cached_reader_in_a_tight_loop_lets_a_sleeper_run(tmp_path, how):
    data = os.urandom(64 * BLOCK if how == "pread" else 8 << 20)
    p = tmp_path / "f"
    p.write_bytes(data)  # just written: every page is in the page cache
    cap = 200_000 if how == "pread" else 200

    async def main():
        async with kestrelio.open(p, "rb") as f:
            async def pread(i):
                pos = i % 64 * BLOCK
                assert await f.pread(BLOCK, pos) == data[pos:pos + BLOCK]

            async def chunks(_):
                await f.seek(0)
                assert b"".join([chunk async for chunk in f.chunks(256 << 10)]) == data

            return await sleeper_turns_while(pread if how == "pread" else chunks, cap)

    progressed, calls = run(main)
    assert progressed >= 5 and calls < cap - 1, "the sleeper ran while the reader kept reading"


def test_64_tasks_reading_cached_data_each_make_progress(cached):
    p, data = cached
    cap = 50_000

    async def main():
        counts = [0] * 64
        started = 0
        async with kestrelio.open(p, "rb") as f:

            async def reader(i):
                nonlocal started
                while started < 64 and counts[i] < cap:
                    pos = (i + counts[i]) % 64 * BLOCK
                    assert await f.pread(BLOCK, pos) == data[pos:pos + BLOCK]
                    if counts[i] == 0:
                        started += 1
                    counts[i] += 1

            await asyncio.gather(*(reader(i) for i in range(64)))
        return started, max(counts)

    started, most = run(main)
    assert started == 64 and most < cap, "every task read before any one ran out its reads"


def test_large_reads_leave_the_loop_for_the_backend(tmp_path, driver_reads):
    data = os.urandom(fast_reads.FAST_MAX + BLOCK)
    p = tmp_path / "f"
    p.write_bytes(data)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            assert await f.pread(fast_reads.FAST_MAX, 0) == data[:fast_reads.FAST_MAX]
            served_on_the_loop = list(driver_reads)
            assert await f.pread(len(data), 0) == data
            buf = bytearray(len(data))
            assert await f.preadinto(buf, 0) == len(data) and buf == data
            assert await f.read() == data
        assert await kestrelio.read_bytes(p) == data
        return served_on_the_loop

    assert run(main) == []
    assert driver_reads == ["read", "readinto", "read", "read"]


def test_a_read_cancelled_waiting_for_its_turn_or_once_granted_it_leaves_without_effect(cached, monkeypatch):
    # A turn granted to a task that is cancelled before it runs passes to the next in line.
    p, data = cached
    every_fast_read_waits_for_a_turn(monkeypatch)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            waiting = asyncio.ensure_future(f.read(10))
            await asyncio.sleep(0)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            assert f.tell() == 0
            first = asyncio.ensure_future(f.pread(10, 0))
            second = asyncio.ensure_future(f.pread(10, 10))
            # Both wait in line; one pass later the first is granted its turn
            # but has not run yet.
            for _ in range(10):
                await asyncio.sleep(0)
                meter = fast_reads._local.meter
                if len(meter.waiters) == 1 and not first.done():
                    break
            else:
                pytest.fail("the first reader was never granted a turn")
            first.cancel()
            with pytest.raises(asyncio.CancelledError):
                await first
            assert await asyncio.wait_for(second, 30) == data[10:20]
            assert await f.read(10) == data[:10]

    run(main)


def test_a_dropped_loop_with_readers_waiting_for_a_turn_is_collected(cached, monkeypatch):
    p, data = cached
    every_fast_read_waits_for_a_turn(monkeypatch)
    loop = asyncio.new_event_loop()
    gone = weakref.ref(loop)
    opened = []

    async def reader(f):
        while True:
            await f.pread(BLOCK, 0)

    async def main():
        f = await kestrelio.open(p, "rb")
        opened.append(f)
        for _ in range(3):
            asyncio.ensure_future(reader(f))
        for _ in range(5):
            await asyncio.sleep(0)
        assert fast_reads._local.meter.waiters, "readers wait for a turn"

    loop.run_until_complete(main())
    del loop  # never closed, its readers still waiting
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        gc.collect()
    assert gone() is None, "the fast-read line keeps the dropped loop alive"
    run(opened[0].close)
