"""Files that are not plain regular files: FIFOs without a writer, procfs files whose size lies."""

import asyncio
import errno
import os

import pytest

import _kestrelio
import kestrelio

from conftest import open_fds, run, settle_fds


async def open_writer_once_read_end_waits(fifo, limit=10.0):
    """A non-blocking write end of `fifo`, opened once a reader's open(2) is waiting in the kernel.

    The waiting opens run on threads of their own, which a loaded machine may
    not have scheduled yet: until one of them is inside open(2) the FIFO has no
    reader, and a non-blocking writer is refused with ENXIO. `limit` only
    guards against a hang."""
    deadline = asyncio.get_running_loop().time() + limit
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO or asyncio.get_running_loop().time() >= deadline:
                raise
        await asyncio.sleep(0.01)


def test_fifo_open_without_writer_holds_nothing_and_cancels_at_once(tmp_path, backend):
    if backend != "darwin-aio":
        pytest.skip("the runtime backend does not abort an open once it has started")
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    plain = tmp_path / "plain"
    plain.write_bytes(b"abc")

    async def main():
        assert await asyncio.wait_for(_kestrelio.read_file(str(plain), 1 << 20), 10) == b"abc"
        before = open_fds()  # with this loop's doorbell in place
        # More waiting opens than there are open helpers.
        waiting = [_kestrelio.open(fifo, True, False, False, False, False, False) for _ in range(6)]
        assert await asyncio.wait_for(_kestrelio.read_file(str(plain), 1 << 20), 10) == b"abc"
        h, _, _ = await asyncio.wait_for(_kestrelio.open(str(plain), True, True, False, False, False, False), 10)
        assert await asyncio.wait_for(_kestrelio.write(h, 3, b"def", False), 10) == (3, 6)
        assert await asyncio.wait_for(_kestrelio.read(h, 0, 6), 10) == b"abcdef"
        await _kestrelio.close(h)
        assert not any(f.done() for f in waiting)

        waiting[0].cancel()
        await asyncio.wait([waiting[0]], timeout=10)
        assert waiting[0].cancelled(), "answered while its open still waits"

        writer = await open_writer_once_read_end_waits(fifo)
        try:
            opened = await asyncio.wait_for(asyncio.gather(*waiting[1:]), 10)
            for handle, _size, _fd in opened:
                await _kestrelio.close(handle)
        finally:
            os.close(writer)
        return before, await settle_fds(before, 1000)

    before, after = run(main)
    assert after == before, "the descriptor of the cancelled open was given back"


@pytest.mark.parametrize("path", ["/proc/version", "/proc/filesystems"])
def test_whole_file_reads_of_procfs_end_at_end_of_file(path):
    if not os.path.exists(path):
        pytest.skip("no procfs here")
    with open(path, "rb") as f:
        expected = f.read()
    assert os.stat(path).st_size == 0 and len(expected) > 1

    async def main():
        by_package = await kestrelio.read_bytes(path)
        by_module = await _kestrelio.read_file(path, 1 << 20)
        h, _, _ = await _kestrelio.open(path, True, False, False, False, False, False)
        try:
            to_end = await _kestrelio.read_to_end(h, 0)
            from_three = await _kestrelio.read_to_end(h, 3)
        finally:
            await _kestrelio.close(h)
        return by_package, by_module, to_end, from_three

    by_package, by_module, to_end, from_three = run(main)
    assert by_package == expected
    assert by_module == expected
    assert to_end == expected
    assert from_three == expected[3:]
