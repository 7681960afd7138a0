"""What one call of the package costs on the loop thread, for builds side by side.

    .venv/bin/python bench/package_calls.py [--rounds 3] [--dir /var/tmp]
        [--contenders this,before=PYTHONPATH] [--only "ROW;ROW"]

Each figure is a fresh interpreter; the contenders take turns within each
round, and the table gives the median and range over the rounds. A contender
``NAME=PYTHONPATH`` runs the extension and package found there (a build of an
older commit: its ``build-int/kestrelio-py`` and ``python`` joined with ``:``);
``this`` runs whatever the environment gives. The backend is the environment's
(``KESTRELIO_BACKEND``).

Cached rows call one thing in a loop from one task, every byte in the page
cache, and give microseconds per call. Cold rows read distinct random 4 KiB
blocks of a 1 GiB file with ``BinaryFile.pread`` from 1, 8 or 64 tasks after
``POSIX_FADV_DONTNEED``, and give reads per second and the process's CPU time
per read (all threads, the kernel's work included).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

ROWS = ["pread 4 KiB", "seek + read 4 KiB", "buffered write 20 B", "text write 20 chars", "text readline",
        "open + read + close 8 KiB", "cold pread, 1 in flight", "cold pread, 8 in flight", "cold pread, 64 in flight"]
BIG = 1 << 30


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


async def cached(row: str, d: str) -> float:
    import kestrelio

    n = 50000
    data = os.path.join(d, "data")
    if row == "pread 4 KiB" or row == "seek + read 4 KiB":
        async with kestrelio.open(data, "rb") as f:
            t0 = time.perf_counter()
            if row == "pread 4 KiB":
                for i in range(n):
                    await f.pread(4096, (i & 255) * 4096)
            else:
                for i in range(n):
                    await f.seek((i & 255) * 4096)
                    await f.read(4096)
            return (time.perf_counter() - t0) / n * 1e6
    if row in ("buffered write 20 B", "text write 20 chars"):
        text = row.startswith("text")
        async with kestrelio.open(os.path.join(d, "out"), "w" if text else "wb") as f:
            line = "some text line here\n" if text else b"some text line here\n"
            t0 = time.perf_counter()
            for _ in range(n):
                await f.write(line)
            return (time.perf_counter() - t0) / n * 1e6
    if row == "text readline":
        async with kestrelio.open(os.path.join(d, "lines"), "r") as f:
            t0 = time.perf_counter()
            k = 0
            while await f.readline():
                k += 1
            return (time.perf_counter() - t0) / k * 1e6
    small = [os.path.join(d, "small", "%03d" % i) for i in range(100)]
    n = 5000
    t0 = time.perf_counter()
    for i in range(n):
        async with kestrelio.open(small[i % 100], "rb") as f:
            await f.read()
    return (time.perf_counter() - t0) / n * 1e6


async def cold(depth: int, big: str, seed: int) -> dict:
    import kestrelio

    count = {1: 3000, 8: 12000, 64: 24000}[depth]
    it = iter(random.Random(seed).sample(range(BIG // 4096), count))
    fd = os.open(big, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    async with kestrelio.open(big, "rb", buffering=0) as f:
        async def task() -> None:
            for b in it:
                await f.pread(4096, b * 4096)

        c0, t0 = cpu(), time.perf_counter()
        await asyncio.gather(*(task() for _ in range(depth)))
        t, c = time.perf_counter() - t0, cpu() - c0
    return {"value": count / t, "cpu_us": c / count * 1e6}


def prepare(d: str) -> str:
    os.makedirs(os.path.join(d, "small"), exist_ok=True)
    with open(os.path.join(d, "data"), "wb") as f:
        f.write(os.urandom(1 << 20))
    with open(os.path.join(d, "lines"), "w") as f:
        f.write("".join(f"line {i} of some text\n" for i in range(100000)))
    for i in range(100):
        with open(os.path.join(d, "small", "%03d" % i), "wb") as f:
            f.write(os.urandom(8192))
    big = os.path.join(d, "big")
    if not os.path.exists(big) or os.path.getsize(big) != BIG:
        with open(big, "wb") as f:
            for _ in range(BIG >> 24):
                f.write(os.urandom(1 << 24))
    return big


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--dir", default="/var/tmp/kestrelio-package-calls")
    p.add_argument("--contenders", default="this")
    p.add_argument("--only", default="")
    p.add_argument("--worker", default=None)
    a = p.parse_args()
    if a.worker:
        case = json.loads(a.worker)
        row = case["row"]
        if row.startswith("cold"):
            out = asyncio.run(cold(int(row.split(", ")[1].split()[0]), os.path.join(a.dir, "big"), case["seed"]))
        else:
            out = {"value": asyncio.run(cached(row, a.dir))}
        print(json.dumps(out))
        return
    prepare(a.dir)
    rows = [r for r in ROWS if not a.only or r in a.only.split(";")]
    contenders = [c.partition("=") for c in a.contenders.split(",")]
    results: dict = {}
    for rnd in range(a.rounds):
        for row in rows:
            for name, _, path in contenders:
                env = dict(os.environ)
                if path:
                    env["PYTHONPATH"] = path
                case = json.dumps({"row": row, "seed": rnd})
                r = subprocess.run([sys.executable, __file__, "--dir", a.dir, "--worker", case], env=env,
                                   capture_output=True, text=True, timeout=600)
                if r.returncode != 0:
                    raise SystemExit(f"{name} {row}: {r.stderr[-2000:]}")
                results.setdefault((row, name), []).append(json.loads(r.stdout))
    print(f"median [range] over {a.rounds} rounds; cached rows: us per call, cold rows: reads/s and CPU us per read")
    for (row, name), v in results.items():
        vals = [x["value"] for x in v]
        line = f"  {row:28s} {name:10s} {statistics.median(vals):10.2f} [{min(vals):.2f}-{max(vals):.2f}]"
        if "cpu_us" in v[0]:
            line += f"  cpu {statistics.median(x['cpu_us'] for x in v):.1f}"
        print(line)


if __name__ == "__main__":
    main()
