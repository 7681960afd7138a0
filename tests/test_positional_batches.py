"""pread_many and pwrite_many, and the module's read_many and write_many behind them: one future for the
batch, results in order, short at end of file, validation before anything is submitted, cancellation."""

import asyncio
import os
import random

import pytest

import _kestrelio
import kestrelio
from conftest import drop_pages, open_rw, run


def next_id_after(handle):
    """The id the driver hands out next (a probe op takes one; ids are consecutive, one tuple per op)."""
    fut = _kestrelio.size(handle)
    assert type(fut.op_ids) is tuple and len(fut.op_ids) == 1
    return fut, fut.op_ids[0] + 1


@pytest.mark.parametrize("cached", [True, False])
def test_pread_many_answers_like_pread_in_order(tmp_path, cached):
    p = tmp_path / "f"
    data = os.urandom(300_000)
    p.write_bytes(data)
    rng = random.Random(7)
    spans = [(rng.randrange(0, 320_000), rng.randrange(0, 9000)) for _ in range(200)]
    spans += [(len(data) - 5, 10), (len(data), 4), (len(data) + 100, 4), (0, 0)]
    if not cached:
        drop_pages(p)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            if not cached:
                f._fast = None  # every span through the driver
            got = await f.pread_many(spans)
            assert got == [data[pos:pos + n] for pos, n in spans]
            assert f.tell() == 0
            assert await f.pread_many(iter(spans[:3])) == [data[pos:pos + n] for pos, n in spans[:3]]
            assert await f.pread_many([]) == []

    run(main)


def test_validation_errors_come_before_anything_is_submitted(data_file):
    async def main():
        h, _size, _fd = await open_rw(data_file)
        many = [(0, 1)] * 1025
        bad = [(_kestrelio.read_many, *case) for case in [
            ("ab", TypeError, "argument 'spans'"),
            (5, TypeError, "argument 'spans'"),
            ([(0, 1), (1,)], TypeError, "item 1 is not a (pos, len) pair"),
            ([(0, 1), (-1, 2)], OverflowError, ""),
            ([(0, 1), (1, -2)], OverflowError, ""),
            ([(0, 1), ("0", 1)], TypeError, "argument 'spans'"),
            ([(2 ** 64 - 2, 5)], OverflowError, "largest file position"),
            (many, ValueError, "more than 1024"),
        ]] + [(_kestrelio.write_many, *case) for case in [
            ([(0, b"ok"), (1, memoryview(b"abcd")[::2])], ValueError, "C-contiguous"),
            ([(0, b"ok"), (-1, b"x")], OverflowError, ""),
            ([(0, b"ok"), (0, b"x", 1)], TypeError, "item 1 is not a (pos, data) pair"),
        ]]
        for fn, arg, exc, text in bad:
            probe, expected = next_id_after(h)
            await probe
            with pytest.raises(exc) as e:
                fn(h, arg)
            assert text in str(e.value)
            probe, _ = next_id_after(h)
            assert probe.op_ids[0] == expected, f"{fn.__name__}({arg!r:.40}) submitted something"
            await probe
        assert data_file.read_bytes()[:2] == b"\x00\x01", "nothing written"
        await _kestrelio.close(h)

    run(main)


def test_pwrite_many_lends_its_buffers_until_every_write_answered(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "wb+") as f:
            bufs = [bytearray(b"%d" % k * 1000) for k in range(10)]
            pending = asyncio.ensure_future(f.pwrite_many([(k * 1000, b) for k, b in enumerate(bufs)]))
            await asyncio.sleep(0)
            if not pending.done():
                with pytest.raises(BufferError):
                    bufs[3].extend(b"x")
            assert await pending == [1000] * 10
            bufs[3].extend(b"x")  # given back
            assert f.tell() == 0
            assert await f.pread(10_000, 0) == b"".join(b"%d" % k * 1000 for k in range(10))

    run(main)


def test_pwrite_many_over_buffered_writes_and_read_ahead(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"0123456789\n" * 100)

    async def main():
        async with kestrelio.open(p, "r+b") as f:
            assert await f.readline() == b"0123456789\n"  # a read-ahead copy of the file
            await f.seek(0, os.SEEK_END)
            await f.write(b"tail")  # buffered
            assert await f.pwrite_many([(2, b"AB"), (1101, b"T")]) == [2, 1]
            await f.flush()
            assert await f.pread(11, 0) == b"01AB456789\n"
            assert await f.pread(10, 1100) == b"tTil"
            await f.seek(0)
            assert await f.readline() == b"01AB456789\n"

    run(main)


def test_pwrite_many_in_append_mode_appends(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"head\n")

    async def main():
        async with kestrelio.open(p, "ab") as f:
            assert await f.pwrite_many([(0, b"a\n"), (0, b"b\n")]) == [2, 2]

    run(main)
    assert p.read_bytes() == b"head\na\nb\n"


def test_cancelling_read_many_cancels_its_ops_and_answers_once(tmp_path):
    # Reads of an empty FIFO wait for a writer: the cancelled future settles
    # only when the backend has let go of every buffer, and exactly once.
    path = tmp_path / "fifo"
    os.mkfifo(path)

    async def main():
        f = await kestrelio.open(path, "r+b")
        writer = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        try:
            fut = _kestrelio.read_many(f._handle, [(0, 3), (0, 3), (0, 3)])
            settled = []
            fut.add_done_callback(settled.append)
            task = asyncio.ensure_future(asyncio.shield(fut))
            await asyncio.sleep(0.05)
            assert fut.cancel() is False, "the kernel still holds the buffers"
            await asyncio.sleep(0.1)
            for _ in range(100):
                if fut.done():
                    break
                os.write(writer, b"abc")
                await asyncio.sleep(0.02)
            await asyncio.sleep(0.1)
            assert fut.done() and len(settled) == 1
            if not fut.cancelled():
                assert fut.result() == [b"abc"] * 3
            task.cancel()
        finally:
            os.close(writer)
            await f.close()

    run(main)


def test_cancelling_pread_many_on_a_cold_file(tmp_path):
    p = tmp_path / "f"
    data = os.urandom(8 << 20)
    p.write_bytes(data)
    drop_pages(p)
    spans = [(k * 8192, 4096) for k in range(1000)]

    async def main():
        async with kestrelio.open(p, "rb") as f:
            task = asyncio.ensure_future(f.pread_many(spans))
            await asyncio.sleep(0)
            task.cancel()
            try:
                got = await task
            except asyncio.CancelledError:
                got = None
            if got is not None:
                assert got == [data[pos:pos + n] for pos, n in spans]
            # The file is usable at once and every op has answered.
            assert await f.pread_many(spans[:5]) == [data[pos:pos + n] for pos, n in spans[:5]]

    run(main)


def test_pread_many_takes_the_fast_path_again_once_a_cold_file_is_cached(tmp_path):
    p = tmp_path / "f"
    data = os.urandom(1 << 20)
    p.write_bytes(data)
    spans = [(k * 16384, 4096) for k in range(64)]
    want = [data[pos:pos + n] for pos, n in spans]

    async def main():
        async with kestrelio.open(p, "rb", buffering=0) as f:
            if f._fast is None:
                pytest.skip("no FastPath for this file")
            for _ in range(8):  # every batch cold: the batches stop asking the FastPath
                drop_pages(p)
                assert await f.pread_many(spans) == want
            assert f._fast_misses > 1 and f._fast is not None
            with open(p, "rb") as warm:
                warm.read()
            for _ in range(1 << kestrelio.binary_reads.MISS_STREAK_MAX):
                assert await f.pread_many(spans) == want
                if f._fast_misses == 0:
                    break
            assert f._fast_misses == 0, "a cached file's batches never went back to the FastPath"

    run(main)
