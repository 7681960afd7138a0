"""Many tasks sharing a few files through the user API, with random cancellations, against a model.

Each call is logged, in call order, before it is made and given its outcome
once it settles. Afterwards the log is replayed per file:

* position files (read, readinto, write, seek, truncate, beside concurrent
  pread, size, flush, sync): the calls took effect one by one in call order,
  so replaying them on a model must give every read its bytes, every seek its
  result and, in the end, the file. A cancelled call may have had its whole
  effect or none; where the outcome cannot tell which, the model keeps both.
* append files: every finished append is in the file once and whole, a
  cancelled one at most once; an append finished before another was called
  comes before it; a position call sees exactly the appends called before it.
* a slot file: each task pwrites and preads its own slot; a slot holds the
  last finished pwrite or a cancelled one after it.
"""

import asyncio
import gc
import os
import random
import zlib

import pytest

import kestrelio
from conftest import UNDER_ASAN, open_fds, rss_bytes, run

TASKS = 64
OPS_PER_TASK = 480  # 30,720 calls in all
SLOT = 512
POOL = random.Random(1).randbytes(1 << 20)
LETTERS = bytes(random.Random(2).choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(1 << 16))
LIMIT = 48 << 10  # position files stay about this small, so replaying them is cheap


def crc(b):
    return zlib.crc32(b), len(b)


class Entry:
    __slots__ = ("op", "slot", "args", "outcome", "call_no", "done_no")

    def __init__(self, op, slot, args, call_no):
        self.op, self.slot, self.args, self.call_no = op, slot, args, call_no
        self.outcome = None
        self.done_no = None


class Shared:
    """The files, their logs and the event counter of one run."""

    def __init__(self):
        self.events = 0
        self.logs = {}
        self.files = {}
        self.kinds = {}

    def tick(self):
        self.events += 1
        return self.events


async def warm_up(tmp_path):
    """The same kinds of calls from as many tasks, so that the backends' threads and pools exist before counting."""
    async with kestrelio.open(tmp_path / "warm", "w+b") as f, kestrelio.open(tmp_path / "warm-a", "ab") as a:
        async def one(i):
            await f.pwrite(POOL[:4096], i * 4096)
            await f.pread(4096, i * 4096)
            await f.write(POOL[:100])
            await a.write(b"x" * 100)
            await f.truncate(1000)
        await asyncio.gather(*(one(i) for i in range(TASKS)))
        await asyncio.gather(f.sync(), a.sync())


def pick_position_op(rng):
    r = rng.random()
    if r < 0.28:
        off = rng.randrange(len(POOL) - 4096)
        return "write", (off, rng.randint(1, 4096))
    if r < 0.48:
        return "read", (rng.choice([-1, rng.randint(0, 8192)]),)
    if r < 0.56:
        return "readinto", (rng.randint(0, 8192),)
    if r < 0.72:
        whence = rng.choice([os.SEEK_SET, os.SEEK_CUR, os.SEEK_END])
        offset = {os.SEEK_SET: rng.randrange(LIMIT - 8192), os.SEEK_CUR: rng.randint(-3000, 3000),
                  os.SEEK_END: rng.randint(-6000, 100)}[whence]
        return "seek", (offset, whence)
    if r < 0.78:
        return "truncate", (rng.choice([None, rng.randrange(LIMIT - 8192)]),)
    if r < 0.90:
        return "pread", (rng.randint(0, 4096), rng.randrange(LIMIT))
    if r < 0.96:
        return "size", ()
    if r < 0.999:
        return "flush", ()
    return "sync", ()


def pick_append_op(rng, kind):
    r = rng.random()
    if r < 0.7:
        return "append", (rng.randrange(len(LETTERS) - 2000), rng.randint(0, 2000))
    if r < 0.8 and kind == "a+b":
        return "here", ()
    if r < 0.9 and kind == "a+b":
        return "pread", (rng.randint(0, 4096), rng.randrange(1 << 16))
    if r < 0.998:
        return rng.choice(["size", "flush"]), ()
    return "sync", ()


def pick_slot_op(rng):
    r = rng.random()
    if r < 0.5:
        return "pwrite", (rng.randrange(len(POOL) - SLOT),)
    if r < 0.85:
        return "own_pread", ()
    return "pread", (rng.randint(0, 4096), rng.randrange(TASKS * SLOT))


async def call(name, f, slot, call_no, op, args):
    """Make one call; return what the log keeps of its result."""
    if op == "write":
        off, n = args
        return await f.write(POOL[off:off + n])
    if op == "read":
        return crc(await f.read(args[0]))
    if op == "readinto":
        buf = bytearray(args[0])
        n = await f.readinto(buf)
        return crc(buf[:n])
    if op == "seek":
        return await f.seek(*args)
    if op == "truncate":
        return await f.truncate(args[0])
    if op == "pread":
        return len(await f.pread(*args))
    if op == "size":
        return await f.size()
    if op == "flush":
        return await f.flush()
    if op == "sync":
        return await f.sync()
    if op == "append":
        return await f.write(record(name, call_no, args))
    if op == "here":
        return await f.seek(0, os.SEEK_CUR)
    if op == "pwrite":
        return await f.pwrite(POOL[args[0]:args[0] + SLOT], slot * SLOT)
    assert op == "own_pread"
    return crc(await f.pread(SLOT, slot * SLOT))


def record(name, call_no, args):
    """One append's line, unique by its call number."""
    off, n = args
    return b"%s:%d;" % (name.encode(), call_no) + LETTERS[off:off + n] + b"\n"


async def worker(shared, slot, rng, quota):
    while quota[slot] > 0:
        quota[slot] -= 1
        name = rng.choice(list(shared.files))
        f, kind = shared.files[name], shared.kinds[name]
        if kind == "slots":
            op, args = pick_slot_op(rng)
        elif kind in ("ab", "a+b"):
            op, args = pick_append_op(rng, kind)
        else:
            op, args = pick_position_op(rng)
        entry = Entry(op, slot, args, shared.tick())
        shared.logs[name].append(entry)
        try:
            result = await call(name, f, slot, entry.call_no, op, args)
        except asyncio.CancelledError:
            # Read before anything else runs: a write that held the turn
            # leaves the position where its own outcome put it.
            entry.outcome = ("cancelled", f.tell())
            entry.done_no = shared.tick()
            raise
        except OSError as e:
            entry.outcome = ("error", e.errno)
        else:
            entry.outcome = ("ok", result)
        entry.done_no = shared.tick()


def replay_position_file(initial, log):
    """The possible (contents, position) pairs after the logged calls, or fail at the first impossible result."""
    states = [(bytearray(initial), 0)]
    for i, e in enumerate(log):
        if e.op in ("pread", "size", "flush", "sync"):
            continue
        kind, value = e.outcome
        nxt = []
        for data, pos in states:
            nxt.extend(step(data, pos, e.op, e.args, kind, value))
        if len(nxt) > 1:
            nxt = list({(p, bytes(d)): (d, p) for d, p in nxt}.values())
        assert nxt, f"call {i} ({e.op}{e.args} -> {e.outcome}) matches no state the calls before allow"
        assert len(nxt) <= 256, "too many undecided cancellations to follow"
        states = nxt
    return states


def step(data, pos, op, args, kind, value):
    """The states a call can lead to from (data, pos); an empty list if its result is impossible there."""
    if op in ("read", "readinto"):
        if kind == "cancelled":
            return [(data, pos)]  # a cancelled read never moves the position
        n = args[0]
        got = bytes(data[pos:] if n < 0 else data[pos:pos + n])
        return [(data, pos + len(got))] if kind == "ok" and crc(got) == value else []
    if op == "write":
        off, n = args

        def written(d):
            d = bytearray(d)
            if pos > len(d):
                d.extend(bytes(pos - len(d)))
            d[pos:pos + n] = POOL[off:off + n]
            return d, pos + n

        if kind == "ok":
            if value != n:
                return []
            d, p = written(data)
            data[:] = d
            return [(data, p)]
        if kind == "cancelled":
            # It either held the turn (then the position says what it did) or
            # was still waiting (no effect; the position is another call's).
            out = [(data, pos)]
            if value == pos + n:
                out.append(written(data))
            return out
        return []
    if op == "seek":
        offset, whence = args
        new = offset + (0 if whence == os.SEEK_SET else pos if whence == os.SEEK_CUR else len(data))
        if kind == "cancelled":
            return [(data, pos)]
        if kind == "error":
            return [(data, pos)] if new < 0 else []
        return [(data, new)] if new == value and new >= 0 else []
    assert op == "truncate"
    size = pos if args[0] is None else args[0]

    def cut(d):
        d = bytearray(d[:size])
        d.extend(bytes(size - len(d)))
        return d

    if kind == "ok":
        if value != size:
            return []
        data[:] = cut(data)
        return [(data, pos)]
    if kind == "cancelled":
        return [(data, pos), (cut(data), pos)]
    return []


def check_append_file(name, initial, log, contents, final_pos):
    assert contents.startswith(initial)
    lines = contents[len(initial):].splitlines(keepends=True)
    appends = {record(name, e.call_no, e.args): e for e in log if e.op == "append"}
    seen = set()
    order = []
    for line in lines:
        e = appends.get(line)
        assert e is not None, f"a line no append wrote: {line[:60]!r}"
        assert line not in seen, "an append reached the file twice"
        seen.add(line)
        order.append(e)
    for key, e in appends.items():
        if e.outcome[0] == "ok":
            assert key in seen, "a finished append is missing"
    # An append finished before another was called comes before it.
    first_done_after = float("inf")
    for e in reversed(order):
        assert e.call_no < first_done_after, "an append overtook one that had finished before it was called"
        first_done_after = min(first_done_after, e.done_no)
    # A position call sees exactly the appends called before it.
    calls = [e.call_no for e in order]
    for e in log:
        if e.op == "here" and e.outcome[0] == "ok":
            before = sum(1 for c in calls if c < e.call_no)
            assert all(c < e.call_no for c in calls[:before]), "appends called on both sides of a position call mix"
            expected = len(initial) + sum(map(len, lines[:before]))
            assert e.outcome[1] == expected, "a position call missed appends called before it"
    if order:
        assert final_pos == len(contents), "after appends the position is the end of file"


def check_slot_file(log, contents):
    by_slot = {}
    for e in log:
        if e.op in ("pwrite", "own_pread"):
            by_slot.setdefault(e.slot, []).append(e)
    for slot, entries in by_slot.items():
        possible = {crc(bytes(SLOT))}
        for e in entries:
            if e.op == "pwrite":
                value = crc(POOL[e.args[0]:e.args[0] + SLOT])
                if e.outcome == ("ok", SLOT):
                    possible = {value}
                else:
                    assert e.outcome[0] == "cancelled", e.outcome
                    possible.add(value)
            elif e.outcome[0] == "ok":
                assert e.outcome[1] in possible, f"slot {slot} read back what was never written there"
        assert crc(contents[slot * SLOT:(slot + 1) * SLOT]) in possible, f"slot {slot} holds the wrong bytes"


@pytest.mark.memory
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_shared_files_under_random_cancellation_match_the_model(tmp_path):
    seed = random.randrange(1 << 30)
    specs = [("pos0", "w+b", b""), ("pos1", "r+b", random.Random(seed).randbytes(20_000)), ("pos2", "w+b", b""),
             ("app0", "ab", b"head\n"), ("app1", "a+b", b""), ("slots", "r+b", bytes(TASKS * SLOT))]
    for name, _mode, initial in specs:
        (tmp_path / name).write_bytes(initial)
    shared = Shared()

    async def main():
        await warm_up(tmp_path)
        gc.collect()
        fds, rss = open_fds(), rss_bytes()
        for name, mode, _initial in specs:
            shared.files[name] = await kestrelio.open(tmp_path / name, mode)
            shared.kinds[name] = "slots" if name == "slots" else mode
            shared.logs[name] = []
        quota = [OPS_PER_TASK] * TASKS
        rng = random.Random(seed)
        cancels = 0

        async def lane(slot):
            r = random.Random(seed + slot + 1)
            while quota[slot] > 0:
                task = running[slot] = asyncio.ensure_future(worker(shared, slot, r, quota))
                try:
                    await task
                except asyncio.CancelledError:
                    assert task.cancelled()

        running = [None] * TASKS
        lanes = [asyncio.ensure_future(lane(s)) for s in range(TASKS)]
        while not all(t.done() for t in lanes):
            await asyncio.sleep(rng.random() * 0.003)
            task = rng.choice(running)
            if task is not None and not task.done():
                task.cancel()
                cancels += 1
        await asyncio.gather(*lanes)
        positions = {name: f.tell() for name, f in shared.files.items()}
        await asyncio.gather(*(f.close() for f in shared.files.values()))
        shared.files.clear()
        gc.collect()
        # The logs of 30,000 calls are still held here: a few MiB of the allowance.
        return fds, open_fds(), rss, rss_bytes(), positions, cancels

    fds0, fds1, rss0, rss1, positions, cancels = run(main)
    assert fds1 == fds0, "descriptors left open"
    if not UNDER_ASAN:
        assert rss1 - rss0 < 20 << 20, f"RSS grew by {(rss1 - rss0) >> 10} KiB"
    logs = shared.logs
    assert sum(map(len, logs.values())) == TASKS * OPS_PER_TASK
    assert all(e.outcome is not None for log in logs.values() for e in log), "a call never settled"
    assert cancels > 100

    for name, mode, initial in specs:
        contents = (tmp_path / name).read_bytes()
        log = logs[name]
        if name == "slots":
            check_slot_file(log, contents)
        elif mode in ("ab", "a+b"):
            check_append_file(name, initial, log, contents, positions[name])
        else:
            states = replay_position_file(initial, log)
            assert (bytes(contents), positions[name]) in {(bytes(d), p) for d, p in states}, (
                f"{name}: the file differs from every outcome the model allows")
