"""The loop backend: the thread that runs the event loop owns the ring, submits from it and reaps on it.

These tests need KESTRELIO_BACKEND=loop (or loop-io-uring) and a kernel that allows io_uring; they run in a
fresh interpreter where they must choose the backend themselves.
"""
import os

import pytest

from conftest import run_script

LOOP_ENV = {"KESTRELIO_BACKEND": "loop"}


def loop_script(source, timeout=120):
    r = run_script(source, LOOP_ENV, timeout=timeout)
    if "SKIP-NO-RING" in r.stdout:
        pytest.skip("io_uring cannot be set up here: the loop backend runs as the runtime backend's thread")
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout.strip().splitlines()


PRELUDE = """
import asyncio, os, sys, threading, time, _kestrelio as k
if k.backend_name() != "loop-io-uring":
    print("SKIP-NO-RING"); sys.exit(0)
async def open_ro(p):
    return (await k.open(p, True, False, False, False, False, False))[0]
def counted(fut, counts, i):
    def done(f):
        counts[i] += 1
    fut.add_done_callback(done)
    return fut
"""


def over_random_file(tmp_path, size, body):
    """Runs `body` on the loop backend with PATH, a file of `size` random bytes, and `data`, its contents."""
    p = tmp_path / "data"
    p.write_bytes(os.urandom(size))
    return loop_script(PRELUDE + f"PATH = {os.fspath(p)!r}\ndata = open(PATH, 'rb').read()\n" + body)


def test_many_operations_in_one_iteration_settle_exactly_once(tmp_path):
    out = over_random_file(tmp_path, 1 << 20, """
async def main():
    h = await open_ro(PATH)
    n = 2000  # more than a drive's budget and the ring's size, all submitted before the first drive
    counts = [0] * n
    futs = [counted(k.read(h, (i * 4096) % len(data), 4096), counts, i) for i in range(n)]
    # Nothing may settle inside the submitting call: op_ids is set after it.
    assert not any(f.done() for f in futs)
    assert all(len(f.op_ids) == 1 for f in futs)
    res = await asyncio.gather(*futs)
    for i, r in enumerate(res):
        o = (i * 4096) % len(data)
        assert r == data[o:o + 4096], i
    await asyncio.sleep(0.05)  # a second settlement would show up here
    assert counts == [1] * n, [i for i, c in enumerate(counts) if c != 1][:5]
    big = await k.read_parallel(h, 0, len(data), 8192)
    assert big == data
    await k.close(h)
    print("ok")
asyncio.run(main())
""")
    assert out == ["ok"]


def test_tasks_woken_by_device_completions_read_on_in_order_and_once(tmp_path):
    # Cold reads: their completions come back from the device in groups, and the tasks a group wakes submit
    # again in several flushes (one after every few of them, and one after the rest).
    out = over_random_file(tmp_path, 16 << 20, """
import random
async def main():
    fd = os.open(PATH, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    h = await open_ro(PATH)
    counts = {}
    async def reader(t):
        got = []
        for i, b in enumerate(random.Random(t).sample(range(len(data) // 4096), 40)):
            key = (t, i)
            counts[key] = 0
            r = await counted(k.read(h, b * 4096, 4096), counts, key)
            got.append((b, r))
        return got
    for got in await asyncio.gather(*(reader(t) for t in range(16))):
        for b, r in got:
            assert r == data[b * 4096:(b + 1) * 4096], b
    await asyncio.sleep(0.05)  # a second settlement would show up here
    assert set(counts.values()) == {1}, counts
    await k.close(h)
    print("ok")
asyncio.run(main())
""")
    assert out == ["ok"]


def test_pool_completion_while_the_loop_sleeps_is_not_lost(tmp_path):
    # Appends run on the blocking pool; their result reaches the loop only through the wake eventfd, while
    # the loop sleeps in its selector with nothing else to do.
    p = tmp_path / "log"
    out = loop_script(PRELUDE + f"""
async def main():
    h, _, _ = await k.open({os.fspath(p)!r}, False, True, True, False, True, False)
    for i in range(300):
        n, _ = await asyncio.wait_for(k.write(h, 0, b"%05d\\n" % i, True), 30)
        assert n == 6
        if i % 50 == 0:
            await asyncio.sleep(0.01)  # let the loop really go to sleep between some of them
    await k.close(h)
    print("ok")
asyncio.run(main())
""")
    assert out == ["ok"]
    assert p.read_bytes() == b"".join(b"%05d\n" % i for i in range(300))


def test_cancel_on_the_ring_and_from_another_thread(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"x" * 65536)
    out = loop_script(PRELUDE + f"""
async def main():
    h = await open_ro({os.fspath(p)!r})
    # Cancelled in the same iteration as the submission: ECANCELED before any kernel work.
    f = k.read(h, 0, 4096)
    k.cancel_ops(f.op_ids)
    try:
        await f
        print("not cancelled")
    except asyncio.CancelledError:
        print("cancelled")
    # A cancel from a thread that is not the loop's reaches the operation all the same.
    g = k.read(h, 0, 4096)
    t = threading.Thread(target=k.cancel_ops, args=(g.op_ids,))
    t.start(); t.join()
    try:
        await g
        print("not cancelled")
    except asyncio.CancelledError:
        print("cancelled")
    await k.close(h)
asyncio.run(main())
""")
    assert out == ["cancelled", "cancelled"]


def test_loop_closed_with_reads_in_flight_then_a_new_loop_on_the_same_thread(tmp_path):
    p = tmp_path / "f"
    data = os.urandom(1 << 20)
    p.write_bytes(data)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out = loop_script(PRELUDE + f"""
state = {{}}
async def first():
    h = await open_ro({os.fspath(p)!r})
    state["h"] = h
    # A read that cannot finish (a FIFO without a writer yet) and many that can, left in flight.
    state["fifo_open"] = k.open({os.fspath(fifo)!r}, True, False, False, False, False, False)
    state["bufs"] = [bytearray(4096) for _ in range(64)]
    state["futs"] = [k.readinto(h, i * 4096, state["bufs"][i]) for i in range(64)]
loop = asyncio.new_event_loop()
loop.run_until_complete(first())
loop.close()  # the reads above were never awaited
w = os.open({os.fspath(fifo)!r}, os.O_RDWR | os.O_NONBLOCK)  # lets the FIFO's open finish
async def second():
    h = state["h"]  # handles outlive the loop that opened them
    assert await k.read(h, 0, 16) == open({os.fspath(p)!r}, "rb").read(16)
    for _ in range(100):
        await asyncio.sleep(0.01)
        if all(bytes(b) == open({os.fspath(p)!r}, "rb").read()[i * 4096:(i + 1) * 4096] for i, b in enumerate(state["bufs"])):
            break
    else:
        raise AssertionError("the first loop's reads were not driven by the second loop")
    await k.close(h)
    print("ok")
asyncio.run(second())
os.close(w)
print("done")
""")
    assert out == ["ok", "done"]


def test_fork_with_operations_in_flight(tmp_path):
    p = tmp_path / "f"
    data = os.urandom(1 << 20)
    p.write_bytes(data)
    out = loop_script(PRELUDE + f"""
data = open({os.fspath(p)!r}, "rb").read()
async def main():
    h = await open_ro({os.fspath(p)!r})
    futs = [k.read(h, (i * 4096) % len(data), 4096) for i in range(256)]
    pid = os.fork()  # the reads above are spawned, not yet driven, when the child is made
    if pid == 0:
        code = 1
        try:
            async def child():
                # The parent's ring and handles are not the child's: a fresh ring serves it.
                h2 = await open_ro({os.fspath(p)!r})
                rs = await asyncio.gather(*[k.read(h2, i * 4096, 4096) for i in range(64)])
                assert all(r == data[i * 4096:(i + 1) * 4096] for i, r in enumerate(rs))
                await k.close(h2)
            asyncio.run(child())
            code = 0
        finally:
            os._exit(code)
    rs = await asyncio.gather(*futs)
    assert all(r == data[(i * 4096) % len(data):(i * 4096) % len(data) + 4096] for i, r in enumerate(rs))
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    # and the parent goes on with its own ring
    assert await k.read(h, 0, 4096) == data[:4096]
    await k.close(h)
    print("ok")
asyncio.run(main())
""")
    assert out == ["ok"]


def test_large_cached_read_does_not_hold_the_loop(tmp_path):
    # Tried inline, io_uring would copy the whole cached range during the submitting system call, on the
    # loop's thread. Between two ticks of a ticker the loop thread must never spend anything near what the
    # same copy costs it with a blocking pread (measured here on the spot). Both are thread CPU times, so a
    # loaded machine that leaves the thread waiting for a core makes no stall.
    p = tmp_path / "big"
    size = 128 << 20
    with open(p, "wb") as f:
        f.write(os.urandom(1 << 20) * (size >> 20))
    out = loop_script(PRELUDE + f"""
size = {size}
buf = bytearray(size)
fd = os.open({os.fspath(p)!r}, os.O_RDONLY)
os.preadv(fd, [buf], 0)  # warm the cache
t0 = time.thread_time(); os.preadv(fd, [buf], 0); blocking_cpu = time.thread_time() - t0
os.close(fd)
async def main():
    h = await open_ro({os.fspath(p)!r})
    gaps = []
    stop = False
    async def ticker():
        last = time.thread_time()
        while not stop:
            await asyncio.sleep(0)
            now = time.thread_time(); gaps.append(now - last); last = now
    t = asyncio.ensure_future(ticker())
    await asyncio.sleep(0)
    n = await k.readinto(h, 0, buf)
    stop = True
    await t
    assert n == size
    print("blocking_cpu_ms=%.1f max_gap_cpu_ms=%.1f ticks=%d" % (blocking_cpu * 1e3, max(gaps) * 1e3, len(gaps)),
          file=sys.stderr)
    # The loop thread spends its time in the ticker, not in a copy: it ran many ticks meanwhile.
    print(len(gaps) > 10, max(gaps) < blocking_cpu / 2)
    await k.close(h)
asyncio.run(main())
""")
    assert out == ["True True"]
