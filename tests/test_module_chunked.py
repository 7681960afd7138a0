import asyncio
import errno

import pytest

import _kestrelio as k
from conftest import open_rw, run


def test_read_parallel_chunks_and_ids(data_file):
    expect = data_file.read_bytes()
    async def main():
        h, _, _ = await open_rw(data_file)
        f = k.read_parallel(h, 0, 10, 4)
        assert isinstance(f.op_ids, list) and len(f.op_ids) == 3
        assert f.op_ids == sorted(f.op_ids) and f.op_ids[2] - f.op_ids[0] == 2
        assert await f == expect[:10]
        big = await k.read_parallel(h, 100, 10000, 1000)
        assert big == expect[100:10100]
        past = await k.read_parallel(h, 16000, 1000, 100)  # runs past end of file
        assert past == expect[16000:]
        z = k.read_parallel(h, 0, 0, 4)
        assert z.op_ids == []
        assert await z == b""
        with pytest.raises(ValueError, match="^chunk must be positive$"):
            k.read_parallel(h, 0, 0, 0)
        with pytest.raises(OverflowError):
            k.read_parallel(h, 2 ** 64 - 5, 10, 4)
        await k.close(h)
    run(main)


def test_read_parallel_failing_chunks_fail_the_whole_read_once(data_file):
    # Chunks end at 2**63 - 8 * i: only the last one reaches past the largest
    # file offset and fails; the others succeed with nothing to read. The
    # successes must neither hide the failure nor settle the future first. On a
    # closed handle all ten chunks fail: the future settles once, the nine later
    # failures are dropped.
    top = 2 ** 63
    async def main():
        reported = watch_loop_errors()
        h, _, _ = await open_rw(data_file)
        assert await k.read_parallel(h, top - 64, 56, 8) == b""
        f = k.read_parallel(h, top - 64, 64, 8)
        assert len(f.op_ids) == 8
        with pytest.raises(OSError) as e:
            await f
        assert e.value.errno == errno.EINVAL
        assert await k.read(h, 0, 4) == bytes(range(4)), "the handle outlives the failed read"
        await k.close(h)
        f = k.read_parallel(h, 0, 100, 10)
        assert len(f.op_ids) == 10
        with pytest.raises(OSError, match="^unknown or closed kestrelio handle$"):
            await f
        await asyncio.sleep(0.05)
        assert reported == []
    run(main)


def watch_loop_errors():
    """What the running loop reports to its exception handler from now on."""
    reported = []
    asyncio.get_running_loop().set_exception_handler(lambda _loop, context: reported.append(context))
    return reported


def test_read_to_end_and_read_file(data_file, tmp_path):
    expect = data_file.read_bytes()
    size = len(expect)
    async def main():
        h, _, _ = await open_rw(data_file)
        assert await k.read_to_end(h, 16000) == expect[16000:]
        await k.close(h)
        assert await k.read_file(data_file, size) == expect
        assert await k.read_file(data_file, size, None) == expect
        h2, s2, fd = await k.read_file(data_file, size - 1)
        assert s2 == size and fd >= 0
        assert await k.read_parallel(h2, 0, s2, 4096) == expect
        await k.close(h2)

        seen = []
        def on_handle(fut, handle, fd):
            seen.append((handle, fd))
            async def fill():
                data = await k.read_parallel(handle, 0, size, 4096)
                await k.close(handle)
                fut.set_result(data)
            asyncio.ensure_future(fill())
        assert await k.read_file(data_file, 10, on_handle) == expect
        assert len(seen) == 1

        def raising(fut, handle, fd):
            seen.append(handle)
            raise LookupError("from on_handle")
        with pytest.raises(LookupError, match="from on_handle"):
            await k.read_file(data_file, 10, raising)
        await k.close(seen[-1])
        with pytest.raises(FileNotFoundError):
            await k.read_file(tmp_path / "nope", 10)
    run(main)
