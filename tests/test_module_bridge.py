import asyncio
import gc
import os
import threading
import time
import warnings
import weakref

import _kestrelio as k
from conftest import open_fds, open_rw, run, run_script


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


class NoReaderLoop(asyncio.SelectorEventLoop):
    def add_reader(self, fd, cb, *args):
        raise NotImplementedError("no readers here")


def test_closed_loop_bridge_swept_by_new_loop():
    run(_nop)
    gc.collect()
    loop = asyncio.new_event_loop()  # kept referenced: only the sweep can drop its bridge
    loop.run_until_complete(_nop())
    loop.close()
    with_bridge = open_fds()
    run(_nop)  # a new loop's first submission drops the closed loop's doorbell
    assert open_fds() == with_bridge - 2


class UnsureLoop(asyncio.SelectorEventLoop):
    """A loop whose is_closed() raises while `unsure` is set."""
    unsure = False

    def is_closed(self):
        if self.unsure:
            raise RuntimeError("cannot tell")
        return super().is_closed()


def run_guarded(loop, coro):
    # A loop that lost its doorbell would wait forever: stop it instead, so
    # the fault fails the test rather than hanging the suite.
    guard = loop.call_later(30, loop.stop)
    try:
        return loop.run_until_complete(coro)
    finally:
        guard.cancel()


def test_loop_whose_is_closed_raises_keeps_its_doorbell(data_file):
    loop = UnsureLoop()
    try:
        run_guarded(loop, _nop())
        loop.unsure = True
        # Another loop's first submission looks at every bridge; the pipe it
        # tries (and gives up, falling back) would take any number just freed.
        other = NoReaderLoop()
        try:
            other.run_until_complete(_nop())
        finally:
            other.close()
        loop.unsure = False
        async def read_back():
            return await k.read_file(os.fspath(data_file), 1 << 20)
        for _ in range(3):
            assert run_guarded(loop, read_back()) == data_file.read_bytes()
    finally:
        loop.unsure = False
        loop.close()


async def _io(path):
    h, _, _ = await open_rw(path)
    assert await k.read(h, 0, 16) == path.read_bytes()[:16]
    await k.probe_nop()
    await k.close(h)


def test_unclosed_dropped_loops_return_their_descriptors(data_file):
    run(_io, data_file)
    before = open_fds()
    refs = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)  # "unclosed event loop"
        for _ in range(50):
            loop = asyncio.new_event_loop()
            loop.run_until_complete(_io(data_file))
            refs.append(weakref.ref(loop))
            del loop
        gc.collect()
    assert [r for r in refs if r() is not None] == []
    assert open_fds() == before


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


def test_operation_in_flight_when_its_loop_is_dropped_completes(tmp_path, data_file):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    loop = asyncio.new_event_loop()

    async def start():
        # Opening a FIFO for reading waits for a writer: in flight until we open one.
        return weakref.ref(k.open(os.fspath(fifo), True, False, False, False, False, False))

    future_ref = loop.run_until_complete(start())
    loop_ref = weakref.ref(loop)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)  # "unclosed event loop"
        del loop
        gc.collect()
        writer = os.open(fifo, os.O_WRONLY)
        try:
            # Once the open answers, only the completion queued for the dropped
            # loop holds its future, and the loop goes with it. Bounded wait:
            # a guard against a hang, not a timing.
            for _ in range(500):
                run(_nop)
                gc.collect()
                if loop_ref() is None:
                    break
                time.sleep(0.01)
        finally:
            os.close(writer)
    assert loop_ref() is None and future_ref() is None
    run(_io, data_file)  # the process goes on working


def test_ctrl_c_landing_while_a_future_is_settled_stops_the_loop():
    # Python raises KeyboardInterrupt wherever its signal handler runs: here,
    # in the loop's call_soon as the drain settles a future. asyncio lets it
    # out of run_until_complete; the drain must not swallow it.
    r = run_script("""
        import asyncio
        import _kestrelio
        armed = [False]
        class Loop(asyncio.SelectorEventLoop):
            def call_soon(self, cb, *args, **kwargs):
                if armed[0] and "wakeup" in repr(cb):
                    armed[0] = False
                    raise KeyboardInterrupt
                return super().call_soon(cb, *args, **kwargs)
        async def main():
            await _kestrelio.probe_nop()
            fut = _kestrelio.probe_nop()
            armed[0] = True
            await fut
            return "the interrupt was lost"
        async def guard():
            t = asyncio.ensure_future(main())
            done, _ = await asyncio.wait([t], timeout=5)
            return t.result() if done else "the task never woke and the interrupt was lost"
        loop = Loop()
        try:
            print(loop.run_until_complete(guard()))
        except KeyboardInterrupt:
            print("interrupted")
    """)
    assert r.stdout.strip() == "interrupted", r.stdout + r.stderr
