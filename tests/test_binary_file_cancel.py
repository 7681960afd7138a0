"""Cancelling a task in BinaryFile or the whole-file helpers: CancelledError only once the kernel let go."""

import asyncio
import os
import random

import pytest

import kestrelio
from conftest import cancel_after, drop_pages, loop_fds, open_fds, run, settle_fds
from kestrelio.binary_file import PARALLEL_MIN



@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


def test_cancelled_read_raises_only_after_the_kernel_let_go(fifo, backend):
    # A read of an empty FIFO cannot finish until someone writes. The io_uring
    # backends abort it in the kernel, and it ends at once having taken
    # nothing. Elsewhere, once the backend has started it, the cancelled task
    # must stay pending until the write. Either way the buffer must not change
    # once CancelledError has been raised.
    abortable = backend.endswith("io-uring")

    async def main():
        f = await kestrelio.open(fifo, "r+b")
        writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        try:
            for _ in range(20):
                buf = bytearray(8)
                task = asyncio.ensure_future(f.readinto(buf))
                await asyncio.sleep(0.05)
                task.cancel()
                await asyncio.sleep(0.2)
                if not task.done():
                    break
                # The cancel came before the backend's thread had started the
                # read (a loaded machine may not run it for a while): the read
                # is withdrawn whole and the buffer given back untouched.
                with pytest.raises(asyncio.CancelledError):
                    await task
                buf.extend(b"x")
                assert buf == bytes(8) + b"x" and f.tell() == 0
                if abortable:
                    os.write(writer, b"abc")
                    assert await f.read(3) == b"abc", "the aborted read took nothing"
                    return
            else:
                pytest.fail("no read had started by the time it was cancelled")
            if abortable:
                os.write(writer, b"abc")  # frees the read, so that close can end
                pytest.fail("an io_uring backend aborts a read waiting for a writer")
            assert not task.done(), "the kernel still holds the buffer"
            with pytest.raises(BufferError):
                buf.extend(b"x")  # still lent out
            os.write(writer, b"abc")
            with pytest.raises(asyncio.CancelledError):
                await task
            buf.extend(b"x")  # given back: it may be resized again
            seen = bytes(buf)
            await asyncio.sleep(0.05)
            assert bytes(buf) == seen
            assert f.tell() == 0, "a cancelled read does not move the position"
            os.write(writer, b"xyz")
            # The cancelled read took "abc" with it, unless it was aborted
            # before it began; a read of a FIFO waits for all it asks for.
            got = await f.read(3)
            assert got in (b"xyz", b"abc"), "the file stays usable"
        finally:
            os.close(writer)
            await f.close()

    run(main)


# A whole-file call on a FIFO waits for the other end; opening that end (then closing it) frees it.
WAITING_FOR_THE_OTHER_END = {
    "read_bytes": (lambda path: kestrelio.read_bytes(path), os.O_WRONLY),
    "write_bytes": (lambda path: kestrelio.write_bytes(path, b"x"), os.O_RDONLY),
}


@pytest.mark.parametrize("call", sorted(WAITING_FOR_THE_OTHER_END))
def test_a_whole_file_call_waiting_for_a_fifos_other_end_ends_when_cancelled(fifo, backend, call):
    if not backend.endswith("io-uring"):
        pytest.skip(f"{backend} cannot abort an open or read in progress: it waits for the other end")
    start, other_end = WAITING_FOR_THE_OTHER_END[call]

    async def main():
        rescued = []

        def rescue():  # only a call nothing aborted is still there to be freed
            rescued.append(True)
            os.close(os.open(fifo, other_end | os.O_NONBLOCK))

        timer = asyncio.get_running_loop().call_later(10, rescue)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(start(fifo), 0.1)
        timer.cancel()
        assert not rescued, "aborted, not ended by the other end"

    before = open_fds()
    run(main)
    assert open_fds() == before


def test_cancelled_queued_reads_never_touch_the_buffer(tmp_path):
    data = os.urandom(1 << 20)
    p = tmp_path / "f"
    p.write_bytes(data)
    drop_pages(p)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            f._fast = None  # force the driver
            bufs = [bytearray(4096) for _ in range(200)]
            tasks = [asyncio.ensure_future(f.preadinto(b, i * 4096)) for i, b in enumerate(bufs)]
            await asyncio.sleep(0)
            for t in tasks[::2]:
                t.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            snapshot = [bytes(b) for b in bufs]
            for b in bufs:
                b.extend(b"!")  # every buffer is given back
                del b[-1]
            await asyncio.sleep(0.05)
            cancelled = 0
            for i, (r, b) in enumerate(zip(results, bufs)):
                assert bytes(b) == snapshot[i], "written after the task finished"
                if isinstance(r, asyncio.CancelledError):
                    cancelled += 1
                    continue
                assert r == 4096 and b == data[i * 4096:(i + 1) * 4096]
            assert cancelled <= 100
            assert await f.pread(10, 0) == data[:10]

    run(main)


def test_cancelled_large_reads_keep_the_position_and_the_file(tmp_path):
    data = os.urandom(4 * PARALLEL_MIN)
    p = tmp_path / "f"
    p.write_bytes(data)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            await f.seek(3)
            for delay in (0, 0, 0.0005, 0.002):
                for call in (lambda: f.read(len(data)), lambda: f.read(), lambda: f.readinto(bytearray(len(data)))):
                    drop_pages(p)
                    task = asyncio.ensure_future(call())
                    await asyncio.sleep(delay)
                    task.cancel()
                    try:
                        got = await task
                    except asyncio.CancelledError:
                        assert f.tell() == 3, "a cancelled read leaves the position alone"
                    else:  # finished before the cancel: a normal read
                        assert got == data[3:] or got == len(data) - 3
                        await f.seek(3)
            assert await f.read() == data[3:]

    run(main)


def test_positions_after_cancelled_writes_follow_what_reached_the_file(tmp_path):
    # Sequential writes from 0: after each one, finished or cancelled, the
    # position is the file's size and the file holds the finished writes.
    rng = random.Random(7)
    p = tmp_path / "f"

    async def main(mode):
        reached = []
        async with kestrelio.open(p, mode) as f:
            for i in range(150):
                block = bytes([i % 251]) * rng.choice([1, 100, 4096, 65536])
                task = asyncio.ensure_future(f.write(block))
                for _ in range(rng.randrange(3)):
                    await asyncio.sleep(0)
                task.cancel()
                try:
                    assert await task == len(block)
                    reached.append(block)
                except asyncio.CancelledError:
                    size = await f.size()
                    if size > sum(map(len, reached)):
                        reached.append(block)  # finished before the abort
                assert f.tell() == await f.size() == sum(map(len, reached))
            await f.write(b"end")
        return b"".join(reached) + b"end"

    for mode in ("w+b", "ab"):
        p.unlink(missing_ok=True)
        want = run(main, mode)
        assert p.read_bytes() == want


def test_cancelled_opens_and_closes_leave_no_descriptor(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"x" * 100)
    before = open_fds()

    async def opener():
        return await kestrelio.open(p, "rb")

    async def main():
        inner = await loop_fds()
        for i in range(100):
            f = await cancel_after(opener(), i % 3)
            if f is None:
                continue
            await cancel_after(f.close(), i % 2)
            assert f.closed
        assert await settle_fds(inner) == inner

    run(main)
    assert open_fds() == before


def test_cancelled_whole_file_reads_close_what_they_opened(tmp_path):
    data = os.urandom(3 * PARALLEL_MIN)
    p = tmp_path / "f"
    p.write_bytes(data)
    before = open_fds()

    async def main():
        inner = await loop_fds()
        for i in range(30):
            drop_pages(p)
            task = asyncio.ensure_future(kestrelio.read_bytes(p))
            await asyncio.sleep(i * 0.0002)
            task.cancel()
            try:
                assert await task == data
            except asyncio.CancelledError:
                pass
        assert await settle_fds(inner) == inner
        assert await kestrelio.read_bytes(p) == data

    run(main)
    assert open_fds() == before



def test_cancelled_close_still_writes_the_buffered_bytes(tmp_path):
    # Close cancelled once it has started (while its flush is queued, in
    # flight or done): the file ends up closed, and the bytes the
    # caller was told were written reach it all the same.
    p = tmp_path / "f"

    async def main():
        inner = await loop_fds()
        for i in range(40):
            f = await kestrelio.open(p, "wb")
            assert await f.write(b"abc") == 3
            await cancel_after(f.close(), 1 + i % 3)  # once close has started
            assert f.closed
            await f.close()  # waits for a close still on its way
            assert p.read_bytes() == b"abc", i
        assert await settle_fds(inner) == inner

    run(main)
