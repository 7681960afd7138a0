"""Tasks sharing one BinaryFile: position calls take turns in call order, nothing is lost."""

import asyncio
import os

import pytest

import kestrelio
from conftest import drop_pages, run
from kestrelio.turns import Turns


def test_concurrent_reads_return_consecutive_chunks(tmp_path):
    data = os.urandom(8 * 65536)
    p = tmp_path / "f"
    p.write_bytes(data)
    drop_pages(p)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            chunks = await asyncio.gather(*(f.read(65536) for _ in range(8)))
            assert f.tell() == len(data)
            assert await f.read(1) == b""
        return chunks

    chunks = run(main)
    assert chunks == [data[i * 65536:(i + 1) * 65536] for i in range(8)], "in call order, none twice"


def test_task_cancelled_while_waiting_its_turn_has_no_effect(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "w+b", buffering=0) as f:
            first = asyncio.ensure_future(f.write(b"a" * 100_000))
            dropped = [asyncio.ensure_future(f.write(b"b" * 10)), asyncio.ensure_future(f.seek(5)),
                       asyncio.ensure_future(f.truncate(1)), asyncio.ensure_future(f.read(10))]
            last = asyncio.ensure_future(f.write(b"c" * 10))
            await asyncio.sleep(0)  # every call has started: the first holds the turn, the rest wait
            assert not first.done()
            for t in dropped:
                t.cancel()
            assert await first == 100_000
            for t in dropped:
                with pytest.raises(asyncio.CancelledError):
                    await t
            assert await last == 10, "the calls behind the cancelled ones go on"
            assert f.tell() == 100_010

    run(main)
    assert p.read_bytes() == b"a" * 100_000 + b"c" * 10


def test_waiter_cancelled_after_its_turn_came_passes_it_on():
    async def main():
        turns = Turns()
        order = []
        assert turns.take()

        async def call(name, shared=False):
            if shared:
                await turns.wait_shared()
            else:
                await turns.wait()
            order.append(name)
            await asyncio.sleep(0)
            turns.give_shared() if shared else turns.give()

        a = asyncio.ensure_future(call("a"))
        b = asyncio.ensure_future(call("b", shared=True))
        c = asyncio.ensure_future(call("c"))
        await asyncio.sleep(0)
        turns.give()  # grants "a"; its task has not run yet
        a.cancel()
        await asyncio.gather(a, b, c, return_exceptions=True)
        assert a.cancelled() and order == ["b", "c"]
        assert turns.take() and turns.busy
        turns.give()
        assert not turns.busy

    run(main)


def test_close_waits_for_calls_already_made(tmp_path):
    p = tmp_path / "f"
    other = tmp_path / "g"
    other.write_bytes(os.urandom(1 << 20))
    drop_pages(other)

    async def main():
        f = await kestrelio.open(p, "w+b")
        calls = [asyncio.ensure_future(f.write(b"x" * 200_000)), asyncio.ensure_future(f.pwrite(b"y" * 10, 300_000)),
                 asyncio.ensure_future(f.pread(10, 0)), asyncio.ensure_future(f.write(b"z" * 10)),
                 asyncio.ensure_future(f.sync())]
        await asyncio.sleep(0)
        await f.close()
        assert all(c.done() for c in calls), "close returned before the calls made before it"
        assert [c.result() for c in calls][:2] == [200_000, 10] and calls[3].result() == 10
        with pytest.raises(ValueError):
            await f.read(1)

    run(main)
    assert p.read_bytes() == b"x" * 200_000 + b"z" * 10 + bytes(100_000 - 10) + b"y" * 10


def test_position_calls_after_appends_see_all_of_them(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"start\n")

    async def main():
        async with kestrelio.open(p, "a+b") as f:
            appends = [asyncio.ensure_future(f.write(b"line %02d\n" % i)) for i in range(50)]
            synced = asyncio.ensure_future(f.sync())
            here = asyncio.ensure_future(f.seek(0, os.SEEK_CUR))
            await synced
            assert os.stat(p).st_size == 6 + 50 * 8, "sync covers the appends called before it"
            assert await here == 6 + 50 * 8
            await asyncio.gather(*appends)
            assert f.tell() == 6 + 50 * 8
            await f.seek(0)
            lines = (await f.read()).splitlines(keepends=True)
            assert sorted(lines) == [b"line %02d\n" % i for i in range(50)] + [b"start\n"]
            await f.truncate(3)
            await asyncio.gather(*(f.write(b"!") for _ in range(3)))
            assert f.tell() == 6, "after a truncate the position follows the new appends"

    run(main)


def test_appends_reach_the_file_in_call_order(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "ab") as f:
            await asyncio.gather(*(f.write(b"line %03d\n" % i) for i in range(300)))

    run(main)
    got, want = p.read_bytes(), b"".join(b"line %03d\n" % i for i in range(300))
    assert got == want


def test_flush_waits_for_the_writes_called_before_it(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "wb") as f:
            writes = [asyncio.ensure_future(f.write(b"w" * 50_000)) for _ in range(4)]
            pwrite = asyncio.ensure_future(f.pwrite(b"p" * 10, 500_000))
            await asyncio.sleep(0)
            await f.flush()
            assert os.stat(p).st_size == 500_010
            with open(p, "rb") as g:
                assert g.read(200_000) == b"w" * 200_000
            await asyncio.gather(*writes, pwrite)

    run(main)
