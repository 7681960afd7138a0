"""Unbuffered appends go out a batch at a time: intact lines in each task's order, one answer per caller,
cancellation while queued or in flight, a batch the kernel takes only in part, and close with a batch in flight."""

import asyncio
import errno
import json
import os

import pytest

import kestrelio
from conftest import run, run_script
from kestrelio import append_batches

LINE = 100


def line(task, i):
    head = b"%04d %08d " % (task, i)
    return head + b"x" * (LINE - len(head) - 1) + b"\n"


def check_lines(data, tasks, per_task):
    """Every line whole, each task's lines in its call order, none missing."""
    assert len(data) == tasks * per_task * LINE
    nxt = [0] * tasks
    for k in range(0, len(data), LINE):
        ln = data[k:k + LINE]
        t, i = int(ln[:4]), int(ln[5:13])
        assert ln == line(t, i), f"line {k // LINE} torn: {ln[:30]!r}"
        assert i == nxt[t], f"task {t} wrote line {i} before line {nxt[t]}"
        nxt[t] += 1


@pytest.fixture
def count_writes(monkeypatch):
    """The kernel writes the append queue submits."""
    calls = []
    real = append_batches._kestrelio.write

    def write(handle, pos, data, append):
        calls.append(len(memoryview(data)))
        return real(handle, pos, data, append)

    monkeypatch.setattr(append_batches._kestrelio, "write", write, raising=False)
    return calls


@pytest.mark.parametrize("shape", ["shared", "per-task", "mixed"])
def test_appends_of_64_tasks_are_intact_in_order_and_batched(tmp_path, count_writes, shape):
    p = tmp_path / "log"
    tasks, per_task = 64, 40

    async def main():
        shared = await kestrelio.open(p, "ab", buffering=0)
        files = [shared if shape == "shared" or (shape == "mixed" and t % 2) else
                 await kestrelio.open(p, "ab", buffering=0) for t in range(tasks)]

        async def worker(t):
            f = files[t]
            for i in range(per_task):
                # bytes, bytearray and memoryview alike (the last go alone, uncopied)
                b = line(t, i)
                b = bytearray(b) if i % 3 == 1 else memoryview(b) if i % 7 == 2 else b
                assert await f.write(b) == LINE
                assert f.tell() >= (i + 1) * LINE

        await asyncio.gather(*(worker(t) for t in range(tasks)))
        for f in set(files):
            await f.close()

    run(main)
    check_lines(p.read_bytes(), tasks, per_task)
    assert sum(count_writes) == tasks * per_task * LINE
    assert len(count_writes) < tasks * per_task / 4, "the appends were coalesced"


def test_large_payloads_keep_their_place_among_small_ones(tmp_path):
    p = tmp_path / "log"
    big = [bytes([65 + k]) * (append_batches.JOIN_MAX + 1 + k) for k in range(5)]

    async def main():
        async with kestrelio.open(p, "ab", buffering=0) as f:
            calls = []
            for k in range(5):
                calls += [f.write(b"s%d\n" % k), f.write(big[k]), f.write(b"t%d\n" % k)]
            assert await asyncio.gather(*calls) == [len(b) for k in range(5) for b in (b"s0\n", big[k], b"t0\n")]

    run(main)
    assert p.read_bytes() == b"".join(b"s%d\n" % k + big[k] + b"t%d\n" % k for k in range(5))


def test_a_bad_buffer_fails_its_own_caller_only(tmp_path):
    p = tmp_path / "log"

    async def main():
        async with kestrelio.open(p, "ab", buffering=0) as f:
            strided = memoryview(b"abcdef")[::2]
            got = await asyncio.gather(f.write(b"one\n"), f.write(strided), f.write(b"two\n"),
                                       return_exceptions=True)
            assert got[0] == 4 and got[2] == 4
            assert isinstance(got[1], ValueError)

    run(main)
    assert p.read_bytes() == b"one\ntwo\n"


def test_a_batch_the_kernel_takes_in_part_answers_each_caller(tmp_path):
    # With RLIMIT_FSIZE the write that crosses the limit is cut short and the
    # rest fails with EFBIG. Exactly the callers whose lines lie wholly in the
    # file succeed; the others (the one cut in two included) get EFBIG.
    p = tmp_path / "log"
    limit = 37 * LINE + 40
    out = run_script(f"""
import asyncio, json, resource, signal, sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
import kestrelio
from test_append_batches import line
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))

async def main():
    f = await kestrelio.open({str(p)!r}, "ab", buffering=0)
    others = [await kestrelio.open({str(p)!r}, "ab", buffering=0) for _ in range(4)]
    results = {{}}

    async def worker(t):
        g = f if t % 2 else others[t % 4]
        for i in range(10):
            try:
                results[f"{{t}} {{i}}"] = await g.write(line(t, i))
            except OSError as e:
                results[f"{{t}} {{i}}"] = -e.errno
    await asyncio.gather(*(worker(t) for t in range(16)))
    for g in [f] + others:
        await g.close()
    print(json.dumps(results))

asyncio.run(main())
""")
    assert out.returncode == 0, out.stderr
    results = json.loads(out.stdout.strip().splitlines()[-1])
    data = p.read_bytes()
    assert len(data) == limit, "the file was filled up to the limit"
    whole = {(int(data[k:k + 4]), int(data[k + 5:k + 13])) for k in range(0, len(data) - LINE + 1, LINE)}
    ok = {tuple(map(int, k.split())) for k, v in results.items() if v == LINE}
    failed = {tuple(map(int, k.split())) for k, v in results.items() if v == -errno.EFBIG}
    assert len(results) == 160 and len(ok) + len(failed) == 160, results
    assert ok == whole, "success exactly for the lines wholly in the file"
    for t in range(16):  # no task's line lands after one of its own that failed
        mine = sorted(i for (u, i) in ok if u == t)
        assert mine == list(range(len(mine)))


@pytest.fixture
def full_fifo(tmp_path):
    """A FIFO whose pipe is full: an append to it waits until the reader drains it."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    filler = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    filled = 0
    try:
        while True:
            filled += os.write(filler, b"." * 4096)
    except BlockingIOError:
        pass
    os.close(filler)
    yield path, reader, filled
    os.close(reader)


def drain(reader):
    got = bytearray()
    while True:
        try:
            chunk = os.read(reader, 1 << 16)
        except BlockingIOError:
            return bytes(got)
        if not chunk:
            return bytes(got)
        got += chunk


async def close_draining(f, reader):
    """Close ``f``, emptying the pipe meanwhile so that no write stays stuck (also when an assertion failed)."""
    closing = asyncio.ensure_future(f.close())
    while not closing.done():
        drain(reader)
        await asyncio.sleep(0.01)
    await closing


def test_cancelled_appends_queued_or_in_flight(full_fifo):
    path, reader, filled = full_fifo

    async def main():
        f = await kestrelio.open(path, "ab", buffering=0)
        try:
            first = asyncio.ensure_future(f.write(b"in flight\n"))
            await asyncio.sleep(0.05)  # out, and waiting for room in the pipe
            # Fill the other places in flight, so that what comes next waits in the queue.
            more = [asyncio.ensure_future(f.write(b"also %d\n" % k)) for k in range(append_batches.DEPTH - 1)]
            for m in more:
                await asyncio.sleep(0.05)
            queued = [asyncio.ensure_future(f.write(b"queued %d\n" % k)) for k in range(4)]
            await asyncio.sleep(0.05)
            first.cancel()
            queued[1].cancel()
            queued[3].cancel()
            await asyncio.sleep(0.1)
            assert not first.done(), "an append already out waits for its write"
            assert queued[1].cancelled() and queued[3].cancelled(), "queued appends leave at once"
            got = drain(reader)
            await asyncio.wait([first, *more, queued[0], queued[2]], timeout=10)
            got += drain(reader)
            with pytest.raises(asyncio.CancelledError):
                await first
            assert await queued[0] == 9 and await queued[2] == 9
            also = b"".join(b"also %d\n" % k for k in range(len(more)))
            assert got == b"." * filled + b"in flight\n" + also + b"queued 0\nqueued 2\n"
            assert await f.write(b"after\n") == 6, "the file stays usable"
            assert drain(reader) == b"after\n"
        finally:
            await close_draining(f, reader)

    run(main)


@pytest.mark.parametrize("depth", [1, 2])
def test_close_while_a_batch_is_in_flight(full_fifo, monkeypatch, depth, backend):
    # With two batches in flight the second rides on the first's descriptor:
    # closing that object must wait until the batch carried for the other one is in.
    if depth > 1 and backend == "darwin-aio":
        pytest.skip("darwin-aio keeps one batch in flight: it cannot tell where a second one's append landed")
    monkeypatch.setattr(append_batches, "DEPTH", depth)
    path, reader, filled = full_fifo

    async def main():
        a = await kestrelio.open(path, "ab", buffering=0)
        b = await kestrelio.open(path, "ab", buffering=0)
        try:
            await check(a, b)
        finally:
            await close_draining(a, reader)
            await close_draining(b, reader)

    async def check(a, b):
        big = b"B" * (200 << 10)  # more than the pipe holds: written alone, uncopied
        wa = asyncio.ensure_future(a.write(b"from a\n"))
        await asyncio.sleep(0.05)
        wb = asyncio.ensure_future(b.write(big))
        await asyncio.sleep(0.05)
        assert not wa.done() and not wb.done()
        got = os.read(reader, 4096)  # room for a's line; b's payload fills the pipe again
        await asyncio.wait_for(wa, 10)
        closing = asyncio.ensure_future(a.close())
        await asyncio.sleep(0.1)
        assert not wb.done()
        if depth > 1:
            assert not closing.done(), "close waits for the batch carried on its descriptor"
        for _ in range(1000):
            got += drain(reader)
            if wb.done() and closing.done():
                break
            await asyncio.sleep(0.01)
        assert await wb == len(big)
        await closing
        got += drain(reader)
        assert got == b"." * filled + b"from a\n" + big
        assert await b.write(b"b goes on\n") == 10
        assert drain(reader) == b"b goes on\n"

    run(main)


def test_position_follows_appends_of_other_objects(tmp_path):
    p = tmp_path / "log"
    p.write_bytes(b"head\n")

    async def main():
        a = await kestrelio.open(p, "ab", buffering=0)
        b = await kestrelio.open(p, "ab", buffering=0)
        await asyncio.gather(*(g.write(b"%d\n" % k) for k in range(10) for g in (a, b)))
        assert max(a.tell(), b.tell()) == os.path.getsize(p)
        await a.close()
        await b.close()

    run(main)
    assert p.read_bytes() == b"head\n" + b"".join(b"%d\n%d\n" % (k, k) for k in range(10))


def test_unbuffered_writelines_in_append_mode_is_one_append(tmp_path, count_writes):
    p = tmp_path / "log"

    async def main():
        async with kestrelio.open(p, "ab", buffering=0) as f:
            await f.writelines(iter([b"a\n", bytearray(b"b\n"), memoryview(b"c\n")]))
            with pytest.raises(TypeError):
                await f.writelines([b"d\n", "e\n"])  # as io: the lines before the bad one are written

    run(main)
    assert p.read_bytes() == b"a\nb\nc\nd\n"
    assert count_writes[0] == 6


class FakeDriver:
    """Stands in for the driver under an AppendQueue: each write's future is answered by the test."""

    def __init__(self, size, hold_size=False):
        self.writes = []  # (handle, data, future)
        self.size_now = size
        # With hold_size, each size query's future waits here for the test to answer it.
        self.hold_size = hold_size
        self.sizes = []

    def write(self, handle, pos, data, append):
        fut = asyncio.get_running_loop().create_future()
        self.writes.append((handle, bytes(data), fut))
        return fut

    def size(self, handle):
        fut = asyncio.get_running_loop().create_future()
        if self.hold_size:
            self.sizes.append(fut)
        else:
            fut.set_result(self.size_now)
        return fut


class Carrier:
    def __init__(self, handle):
        self._handle = handle


async def passes(n=3):
    for _ in range(n):
        await asyncio.sleep(0)


def test_an_append_cancelled_as_its_batch_answers_learns_where_its_bytes_end(monkeypatch):
    async def main():
        drv = FakeDriver(100)
        monkeypatch.setattr(append_batches, "_kestrelio", drv)
        q = append_batches.AppendQueue(asyncio.get_running_loop(), 100)
        a, b = q.add(Carrier(1), b"aaa", 3), q.add(Carrier(2), b"bb", 2)
        await passes()
        assert [(h, d) for h, d, _ in drv.writes] == [(1, b"aaabb")], "one write, through the first caller's handle"
        b.cancel()  # its task has not run yet when the batch answers
        drv.writes[0][2].set_result((5, 105))
        await passes()
        assert a.result() == (3, 103)
        assert await q.cancelled(b) == 105, "its bytes are in the file: the position may follow them"
        queued = q.add(Carrier(1), b"x", 1)
        queued.cancel()
        assert await q.cancelled(queued) is None
        await passes()
        assert len(drv.writes) == 1, "an append cancelled while queued is never written"

    run(main)


async def two_batches_in_flight(monkeypatch, drv):
    """A queue on a file of 10 bytes whose two batches are in flight through `drv`: "aaa", "bbbb", "cc", then "dd"."""
    monkeypatch.setattr(append_batches, "_kestrelio", drv)
    q = append_batches.AppendQueue(asyncio.get_running_loop(), 10)
    c = Carrier(1)
    first = [q.add(c, b"aaa", 3), q.add(c, b"bbbb", 4), q.add(c, b"cc", 2)]
    await passes()
    second = [q.add(c, b"dd", 2)]
    await passes()
    assert [d for _, d, _ in drv.writes] == [b"aaabbbbcc", b"dd"]
    return q, c, first, second


@pytest.mark.parametrize("together", [False, True], ids=["second-answers-first", "in-one-pass"])
def test_a_failed_batch_is_split_by_the_size_after_every_batch_in_flight_answered(monkeypatch, together):
    # Two batches in flight: the first fails after 7 of its 9 bytes, the second
    # succeeds, before it or in the same pass of the loop. One split settles
    # both: callers wholly inside what was written succeed, in call order. The
    # appends that go out after it are answered, and no second look at the size
    # settles the old batches again or drops the new ones from the queue.
    monkeypatch.setattr(append_batches, "DEPTH", 2)

    async def main():
        drv = FakeDriver(0, hold_size=True)
        q, c, first, second = await two_batches_in_flight(monkeypatch, drv)
        if not together:
            drv.writes[1][2].set_result((2, 19))  # answers first: nothing is settled out of order
            await passes()
            assert not any(f.done() for f in first + second) and not drv.sizes
        drv.writes[0][2].set_exception(OSError(errno.EFBIG, "File too large"))
        if together:
            drv.writes[1][2].set_result((2, 19))
        await passes()
        assert len(drv.sizes) == 1, "one split for the batches in flight"
        drv.sizes[0].set_result(10 + 7 + 2)
        await passes()
        assert first[0].result() == (3, 13) and first[1].result() == (4, 17)
        assert isinstance(first[2].exception(), OSError) and first[2].exception().errno == errno.EFBIG
        assert second[0].result() == (2, 19)
        late = [q.add(c, b"e", 1), q.add(c, b"ff", 2)]
        await passes()
        assert drv.writes[-1][1] == b"eff", "the queue goes on after the split"
        for fut in drv.sizes[1:]:  # a second split, had one started, answers now
            fut.set_result(19)
        await passes()
        drv.writes[-1][2].set_result((3, 22))
        await passes()
        assert [f.result() for f in late] == [(1, 20), (2, 22)], "every later append is answered"
        assert not q._due, "nothing is left waiting for an answer"

    run(main)


def test_a_large_batch_answering_alone_wakes_in_two_halves(monkeypatch):
    async def main():
        drv = FakeDriver(0)
        monkeypatch.setattr(append_batches, "_kestrelio", drv)
        q = append_batches.AppendQueue(asyncio.get_running_loop(), 0)
        n = max(append_batches.STAGGER_MIN, 4)
        futs = [q.add(Carrier(1), b"x" * (k + 1), k + 1) for k in range(n)]
        await passes()
        total = n * (n + 1) // 2
        drv.writes[0][2].set_result((total, total))
        await passes(1)  # the queue has taken the answer
        answered = [f.done() for f in futs]
        if append_batches.DEPTH > 1:
            assert answered == [True] * (n // 2) + [False] * (n - n // 2), "the second half waits one pass"
            futs[-1].cancel()  # cancelled in between: it still learns where its bytes end
            assert await q.cancelled(futs[-1]) == total
        await passes()
        ends = [k * (k + 1) // 2 for k in range(1, n + 1)]
        assert [f.result() for f in futs[:-1]] == [(k + 1, ends[k]) for k in range(n - 1)], "in call order"

    run(main)
