"""64 tasks appending 100-byte lines, on one shared file object and on one object per task.

Each contender runs in a fresh interpreter per figure and the contenders are
interleaved round by round; the figure is lines per second (median and range
over the rounds). Every write reaches the kernel before it returns: kestrelio
and aiofiles open with ``buffering=0``, ayafileio writes each call through.
"blocking" is one thread calling os.write in a loop, the limit. The file is
checked after each run: every line intact and each task's lines in order.

    .venv/bin/python bench/appends.py [--tasks 64] [--lines 500] [--rounds 3]
        [--contenders kestrelio-aio,kestrelio-compio,ayafileio,aiofiles,blocking]
        (a contender kestrelio-BACKEND=PYTHONPATH runs another build of the extension and package)

Also ``--pread-many``: 64 x 4 KiB reads spread over a 64 MiB file as one
``pread_many`` against 64 ``pread`` awaits gathered and 64 awaited one after
another; cached (fast path on), cached through the driver only, and cold
(pages dropped with ``posix_fadvise(DONTNEED)`` before each batch).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

LINE = 100


def line(task: int, i: int) -> bytes:
    head = f"{task:04d} {i:08d} ".encode()
    return head + b"x" * (LINE - len(head) - 1) + b"\n"


def check(path: str, tasks: int, lines: int) -> None:
    with open(path, "rb") as f:
        data = f.read()
    if len(data) != tasks * lines * LINE:
        raise SystemExit(f"{path}: {len(data)} bytes, expected {tasks * lines * LINE}")
    nxt = [0] * tasks
    for k in range(0, len(data), LINE):
        ln = data[k:k + LINE]
        t, i = int(ln[:4]), int(ln[5:13])
        if ln != line(t, i) or nxt[t] != i:
            raise SystemExit(f"{path}: line {k // LINE} is {ln[:20]!r}, task {t} expected {nxt[t]}")
        nxt[t] += 1


async def run_kestrelio(path: str, tasks: int, lines: int, shared: bool) -> float:
    import kestrelio

    payloads = [[line(t, i) for i in range(lines)] for t in range(tasks)]

    async def worker(f, t):
        for b in payloads[t]:
            await f.write(b)

    if shared:
        f = await kestrelio.open(path, "ab", buffering=0)
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(f, t) for t in range(tasks)))
        el = time.perf_counter() - t0
        await f.close()
    else:
        files = [await kestrelio.open(path, "ab", buffering=0) for _ in range(tasks)]
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(files[t], t) for t in range(tasks)))
        el = time.perf_counter() - t0
        for f in files:
            await f.close()
    return el


async def run_ayafileio(path: str, tasks: int, lines: int, shared: bool) -> float:
    import ayafileio

    payloads = [[line(t, i) for i in range(lines)] for t in range(tasks)]

    async def worker(f, t):
        for b in payloads[t]:
            await f.write(b)

    if shared:
        f = ayafileio.open(path, "ab")
        await f.__aenter__()
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(f, t) for t in range(tasks)))
        el = time.perf_counter() - t0
        await f.__aexit__(None, None, None)
    else:
        files = [ayafileio.open(path, "ab") for _ in range(tasks)]
        for f in files:
            await f.__aenter__()
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(files[t], t) for t in range(tasks)))
        el = time.perf_counter() - t0
        for f in files:
            await f.__aexit__(None, None, None)
    return el


async def run_aiofiles(path: str, tasks: int, lines: int, shared: bool) -> float:
    import aiofiles

    payloads = [[line(t, i) for i in range(lines)] for t in range(tasks)]

    async def worker(f, t):
        for b in payloads[t]:
            await f.write(b)

    if shared:
        f = await aiofiles.open(path, "ab", buffering=0)
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(f, t) for t in range(tasks)))
        el = time.perf_counter() - t0
        await f.close()
    else:
        files = [await aiofiles.open(path, "ab", buffering=0) for _ in range(tasks)]
        t0 = time.perf_counter()
        await asyncio.gather(*(worker(files[t], t) for t in range(tasks)))
        el = time.perf_counter() - t0
        for f in files:
            await f.close()
    return el


def run_blocking(path: str, tasks: int, lines: int, shared: bool) -> float:
    payloads = [[line(t, i) for i in range(lines)] for t in range(tasks)]
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    t0 = time.perf_counter()
    for i in range(lines):  # round robin, as the tasks would interleave
        for t in range(tasks):
            os.write(fd, payloads[t][i])
    el = time.perf_counter() - t0
    os.close(fd)
    return el


async def run_pread_many(path: str, spans: int, rounds: int) -> dict:
    """Microseconds per batch of ``spans`` 4 KiB reads: cached (fast path on, then driver only) and cold."""
    import kestrelio

    f = await kestrelio.open(path, "rb")
    size = await f.size()
    step = size // spans
    pairs = [(k * step, 4096) for k in range(spans)]
    fast = f._fast
    fd = os.open(path, os.O_RDONLY)

    async def many():
        await f.pread_many(pairs)

    async def gathered():
        await asyncio.gather(*(f.pread(n, p) for p, n in pairs))

    async def one_by_one():
        for p, n in pairs:
            await f.pread(n, p)

    out: dict = {}
    for _ in range(rounds):
        for temp, reps in (("cached", 200), ("cached, driver only", 200), ("cold, driver only", 10)):
            f._fast = fast if temp == "cached" else None
            for label, fn in (("pread_many", many), ("gathered pread", gathered), ("pread one by one", one_by_one)):
                total = 0.0
                for _ in range(reps):
                    if temp.startswith("cold"):
                        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                    t0 = time.perf_counter()
                    await fn()
                    total += time.perf_counter() - t0
                out.setdefault(f"{temp}: {label}", []).append(total / reps)
    f._fast = fast
    os.close(fd)
    await f.close()
    return {k: statistics.median(v) for k, v in out.items()}


def child(args: argparse.Namespace) -> None:
    name, shape = args.child.split(":")
    shared = shape == "shared"
    if name.startswith("kestrelio"):
        fn = run_kestrelio
    else:
        fn = {"ayafileio": run_ayafileio, "aiofiles": run_aiofiles}.get(name)
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        path = os.path.join(d, "log")
        if name == "blocking":
            el = run_blocking(path, args.tasks, args.lines, shared)
        else:
            el = asyncio.run(fn(path, args.tasks, args.lines, shared))
        check(path, args.tasks, args.lines)
    backend = ""
    if name.startswith("kestrelio"):
        import _kestrelio

        backend = _kestrelio.backend_name()
    print(json.dumps({"rate": args.tasks * args.lines / el, "backend": backend}))


def pread_child(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        path = os.path.join(d, "data")
        with open(path, "wb") as f:
            f.write(os.urandom(64 << 20))
        res = asyncio.run(run_pread_many(path, 64, 3))
    import _kestrelio

    print(json.dumps({"backend": _kestrelio.backend_name(), **res}))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tasks", type=int, default=64)
    p.add_argument("--lines", type=int, default=500)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--dir", default=None)
    p.add_argument("--contenders", default="kestrelio-aio,kestrelio-compio,ayafileio,aiofiles,blocking")
    p.add_argument("--shapes", default="shared,per-task")
    p.add_argument("--pread-many", action="store_true")
    p.add_argument("--child", default=None)
    args = p.parse_args()
    if args.child == "pread":
        pread_child(args)
        return
    if args.child:
        child(args)
        return
    base = [sys.executable, __file__, "--tasks", str(args.tasks), "--lines", str(args.lines)]
    if args.dir:
        base += ["--dir", args.dir]
    if args.pread_many:
        figures: dict = {}
        for _ in range(args.rounds):
            for backend in ("aio", "compio"):
                env = dict(os.environ, KESTRELIO_BACKEND=backend)
                out = json.loads(subprocess.run(base + ["--child", "pread"], env=env, check=True,
                                                capture_output=True, text=True).stdout)
                for k, v in out.items():
                    if k != "backend":
                        figures.setdefault((out["backend"], k), []).append(v * 1e6)
        print(f"64 x 4 KiB reads, microseconds per batch, median [range] over {args.rounds} rounds")
        for (backend, k), v in figures.items():
            print(f"  {backend:16s} {k:40s} {statistics.median(v):8.1f} [{min(v):.1f}-{max(v):.1f}]")
        return
    rates: dict = {}
    for _ in range(args.rounds):
        for shape in args.shapes.split(","):
            for name in args.contenders.split(","):
                if name == "blocking" and shape != "shared":
                    continue
                env = dict(os.environ)
                # kestrelio-BACKEND=PYTHONPATH runs another build (e.g. an older commit's).
                label, _, path = name.partition("=")
                if path:
                    env["PYTHONPATH"] = path
                if label.startswith("kestrelio-"):
                    env["KESTRELIO_BACKEND"] = label.split("-", 1)[1]
                r = subprocess.run(base + ["--child", f"{label}:{shape}"], env=env, capture_output=True, text=True)
                if r.returncode != 0:
                    print(f"{name} {shape}: failed\n{r.stderr[-2000:]}", file=sys.stderr)
                    continue
                out = json.loads(r.stdout)
                shown = f"{label} (other build)" if path else label
                label = f"{shown} ({out['backend']})" if out["backend"] else shown
                rates.setdefault((shape, label), []).append(out["rate"])
    print(f"{args.tasks} tasks x {args.lines} lines of {LINE} bytes; lines/s, median [range] over {args.rounds} rounds")
    for (shape, label), v in rates.items():
        print(f"  {shape:9s} {label:34s} {statistics.median(v):10.0f} [{min(v):.0f}-{max(v):.0f}]")


if __name__ == "__main__":
    main()
