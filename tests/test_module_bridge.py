import asyncio
import gc
import threading
import weakref

import pytest

import _kestrelio as k
from conftest import open_rw, run


def test_two_loops_on_two_threads(data_file):
    expect = data_file.read_bytes()
    results, errors = [], []
    def worker():
        async def main():
            h, _, _ = await open_rw(data_file)
            for _ in range(200):
                assert await k.read(h, 0, 4096) == expect[:4096]
                await k.probe_nop()
            await k.close(h)
        try:
            asyncio.run(main())
            results.append(True)
        except BaseException as e:
            errors.append(e)
    threads = [threading.Thread(target=worker) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors and len(results) == 2


def test_closed_loop_bridge_swept_by_new_loop():
    loop = asyncio.new_event_loop()
    loop.run_until_complete(_nop())
    loop.close()
    ref = weakref.ref(loop)
    del loop
    gc.collect()
    assert ref() is not None  # its bridge still holds it
    run(_nop)
    gc.collect()
    assert ref() is None


async def _nop():
    await k.probe_nop()


def test_resolved_future_creates_bridge_reused_by_nop():
    async def main():
        f = k.probe_resolved_future()
        assert f.done() and f.result() is None and type(f) is asyncio.Future
        loop = asyncio.get_running_loop()
        readers = len(loop._selector.get_map())
        await k.probe_nop()
        assert len(loop._selector.get_map()) == readers
    run(main)


def test_thousand_nops():
    async def main():
        return await asyncio.gather(*[k.probe_nop() for _ in range(1000)])
    assert run(main) == [None] * 1000


class NoReaderLoop(asyncio.SelectorEventLoop):
    def add_reader(self, fd, cb, *args):
        raise NotImplementedError("no readers here")


def test_threadsafe_fallback(data_file):
    loop = NoReaderLoop()
    try:
        async def main():
            h, _, _ = await open_rw(data_file)
            out = await asyncio.gather(*[k.read(h, 0, 16) for _ in range(50)])
            await k.close(h)
            return out
        out = loop.run_until_complete(main())
        assert out == [data_file.read_bytes()[:16]] * 50
    finally:
        loop.close()
    run(_nop)  # the closed fallback loop's bridge is swept without trouble
