import asyncio
import os

import pytest

import _kestrelio as k
from conftest import open_rw, run
from kestrelio.futures import KernelFuture


def test_cancel_ops_arguments():
    assert k.cancel_ops([]) is None
    assert k.cancel_ops(()) is None
    assert k.cancel_ops(ops=[10 ** 9]) is None
    with pytest.raises(TypeError, match="^argument 'ops': Can't extract `str` to `Vec`$"):
        k.cancel_ops("12")
    with pytest.raises(TypeError, match="^argument 'ops': .*Sequence"):
        k.cancel_ops(5)
    with pytest.raises(OverflowError):
        k.cancel_ops([1, -1])
    with pytest.raises(TypeError, match="^argument 'ops': "):
        k.cancel_ops([1, "x"])


def test_cancel_finished_future_keeps_result(data_file):
    async def main():
        h, _, _ = await open_rw(data_file)
        f = k.size(h)
        n = await f
        k.cancel_ops(f.op_ids)
        k.cancel_ops(f.op_ids)
        assert f.result() == n
        assert f.cancel() is False
        await k.close(h)
    run(main)


def test_cancel_storm_settles_each_future_once(data_file, tmp_path):
    aio = k.backend_name() == "darwin-aio"

    async def main():
        h, _, _ = await open_rw(data_file)
        if aio:
            # darwin-aio keeps at most 16 requests in flight: reads of an empty
            # FIFO take every place, so the storm waits in the queue until its
            # cancels arrive, however fast the backend thread is.
            fifo = str(tmp_path / "gate")
            os.mkfifo(fifo)
            writer = os.open(fifo, os.O_RDWR)
            g, _, _ = await k.open(fifo, True, False, False, False, False, False)
            gate = [k.read(g, 0, 1) for _ in range(16)]
        settled = {}
        futs = []
        for i in range(400):
            f = k.read(h, 0, 4096) if i % 2 else k.read_parallel(h, 0, 16384, 1024)
            futs.append(f)
            orig_result, orig_exc, orig_cancel = f.set_result, f.set_exception, f.settle_cancelled
            def wrap(fn, f=f):
                def inner(*a):
                    settled[id(f)] = settled.get(id(f), 0) + 1
                    return fn(*a)
                return inner
            f.set_result, f.set_exception, f.settle_cancelled = wrap(orig_result), wrap(orig_exc), wrap(orig_cancel)
        for f in futs:
            assert f.cancel() is False
            f.cancel()  # a second request sends nothing more
        if aio:
            # The backend thread takes messages in order: once a no-op sent
            # after the cancels has answered, it has taken every cancel, and
            # the gate's reads may end (at end of file) and free their places.
            await k.probe_nop()
            os.close(writer)
            assert await asyncio.gather(*gate) == [b""] * 16
            await k.close(g)
        results = await asyncio.gather(*futs, return_exceptions=True)
        await k.close(h)
        return futs, results, settled
    futs, results, settled = run(main)
    assert all(settled[id(f)] == 1 for f in futs)
    for r in results:
        assert isinstance(r, (bytes, asyncio.CancelledError)), r
    if aio:
        # Queued behind the gate, every one was aborted: the drain's cancelled
        # path really ran. (The runtime backends take cached reads too quickly
        # for that; the FIFO tests of the file API cover it.)
        assert all(isinstance(r, asyncio.CancelledError) for r in results)


def test_kernel_future_settle_cancelled():
    async def main():
        f = KernelFuture(loop=asyncio.get_running_loop())
        assert f.op_ids == ()
        assert f.cancel() is False and not f.done()
        f.settle_cancelled()
        assert f.cancelled()
        f.settle_cancelled()  # harmless when done
    run(main)
