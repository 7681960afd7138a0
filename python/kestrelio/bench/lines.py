"""`async for line in f` over a cached UTF-8 text file, against a plain `for line in open(p)`.

    .venv/bin/python bench/lines.py [--mib 200] [--aiofiles-mib 8]

(``python -m kestrelio bench --full`` runs it too, for its loop-stall rows.)

Text and binary mode. Each figure is the best of --runs passes; the file is
read once before, so every page is in the page cache. The loop stall is the
longest gap a ticker task (sleep(0) in a loop) sees while kestrelio
iterates, counted in the loop thread's CPU time, so that time the shared
machine gives to other processes does not count as a stall. aiofiles takes a thread hand-off per line, so it runs on the first
--aiofiles-mib MiB and its time is scaled to the whole file.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import os
import tempfile
import time
from typing import Any, Dict, Optional, Tuple

from _kestrelio import backend_name

from ..opening import open as kestrelio_open

LINE_WORDS = ("kestrel", "faucon", "Falke", "halcón", "сокол", "隼", "γεράκι", "falcão", "şahin")


def make_file(path: str, mib: int) -> int:
    """About ``mib`` MiB of UTF-8 lines of 60-180 bytes, some non-ASCII; returns the line count."""
    lines = []
    for i in range(4096):
        words = [LINE_WORDS[(i * 7 + k) % len(LINE_WORDS)] for k in range(6 + i % 18)]
        lines.append(f"{i:6d} " + " ".join(words) + "\n")
    block = "".join(lines).encode()
    count = 0
    with open(path, "wb") as f:
        while f.tell() < mib << 20:
            f.write(block)
            count += len(lines)
    return count


def lines_file(path: str, mib: int) -> str:
    """A UTF-8 lines file of ``mib`` MiB beside ``path``, made once and read into the page cache."""
    text = f"{path}.lines"
    if not os.path.exists(text):
        make_file(text + ".tmp", mib)
        os.replace(text + ".tmp", text)
    sync_pass(text, True)
    return text


def sync_pass(path: str, binary: bool) -> Tuple[int, float]:
    t0 = time.perf_counter()
    n = 0
    with open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
        for _line in f:
            n += 1
    return n, time.perf_counter() - t0


async def kestrelio_pass(path: str, binary: bool) -> Tuple[int, float, float]:
    """(lines, seconds, longest loop stall in seconds)."""
    stall = 0.0
    running = True

    async def ticker() -> None:
        nonlocal stall
        last = time.thread_time()
        while running:
            await asyncio.sleep(0)
            now = time.thread_time()
            stall = max(stall, now - last)
            last = now

    tick = asyncio.ensure_future(ticker())
    await asyncio.sleep(0)
    t0 = time.perf_counter()
    n = 0
    async with kestrelio_open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
        async for _line in f:
            n += 1
    elapsed = time.perf_counter() - t0
    running = False
    await tick
    return n, elapsed, stall


async def kestrelio_alone(path: str, binary: bool) -> Tuple[int, float]:
    t0 = time.perf_counter()
    n = 0
    async with kestrelio_open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
        async for _line in f:
            n += 1
    return n, time.perf_counter() - t0


async def aiofiles_pass(path: str, binary: bool) -> Tuple[int, float]:
    aiofiles: Any = importlib.import_module("aiofiles")
    t0 = time.perf_counter()
    n = 0
    async with aiofiles.open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
        async for _line in f:
            n += 1
    return n, time.perf_counter() - t0


def measure(path: str, small: Optional[str], runs: int) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    for binary in (False, True):
        mode = "binary" if binary else "text"
        sync = min(sync_pass(path, binary)[1] for _ in range(runs))
        ours = min((asyncio.run(kestrelio_alone(path, binary)) for _ in range(runs)), key=lambda r: r[1])
        stall = max(asyncio.run(kestrelio_pass(path, binary))[2] for _ in range(runs))
        row: Dict[str, Any] = {"sync": sync, "kestrelio": ours[1], "lines": ours[0], "stall": stall}
        if small is not None:
            n_small, t_small = asyncio.run(aiofiles_pass(small, binary))
            row["aiofiles"] = t_small * ours[0] / n_small
        out[mode] = row
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mib", type=int, default=200)
    ap.add_argument("--aiofiles-mib", type=int, default=8, help="0 leaves aiofiles out")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "lines.txt")
        make_file(path, args.mib)
        small = None
        if args.aiofiles_mib:
            small = os.path.join(d, "small.txt")
            make_file(small, args.aiofiles_mib)
        sync_pass(path, True)  # into the page cache
        result = measure(path, small, args.runs)
    print(f"async for line in f, {args.mib} MiB UTF-8 file, backend {backend_name()}")
    for mode, r in result.items():
        extra = f"  aiofiles {r['aiofiles']:7.2f} s ({r['aiofiles'] / r['sync']:5.0f}x)" if "aiofiles" in r else ""
        print(f"  {mode:6s} {r['lines']:,} lines: for-in-open {r['sync']:.3f} s, kestrelio {r['kestrelio']:.3f} s "
              f"({r['kestrelio'] / r['sync']:.2f}x), loop stall {r['stall'] * 1e3:.2f} ms{extra}")


if __name__ == "__main__":
    main()
