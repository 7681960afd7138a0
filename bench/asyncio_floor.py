"""What an asyncio event loop adds to every wait on the kernel, whatever library waits.

A one-shot timerfd stands in for a device that answers after DELAY: one
thread sleeps in a blocking read of it, N times over; then an asyncio task
awaits a future that the loop's reader callback for the same kind of timerfd
settles, N times over. The difference per wait is the loop's own price for
sleeping in epoll, waking, running a callback and resuming a task: the least
any asyncio file library adds to a cold read with one in flight, against
fio or a blocking ``os.pread``.

    python bench/asyncio_floor.py [--delay-us 60] [--waits 5000] [--rounds 3]

Prints, per round, microseconds per wait (wall and CPU) for both, and the medians.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import os
import resource
import statistics
import struct
import time

CLOCK_MONOTONIC = 1
TFD_CLOEXEC = os.O_CLOEXEC
TFD_NONBLOCK = os.O_NONBLOCK


class _Duration(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


class _TimerSetting(ctypes.Structure):
    _fields_ = [("it_interval", _Duration), ("it_value", _Duration)]


_libc = ctypes.CDLL(None, use_errno=True)


def timerfd(nonblock: bool) -> int:
    if hasattr(os, "timerfd_create"):
        return os.timerfd_create(time.CLOCK_MONOTONIC, flags=os.TFD_CLOEXEC | (os.TFD_NONBLOCK if nonblock else 0))
    fd = _libc.timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | (TFD_NONBLOCK if nonblock else 0))
    if fd < 0:
        raise OSError(ctypes.get_errno(), "timerfd_create")
    return int(fd)


def arm(fd: int, seconds: float) -> None:
    if hasattr(os, "timerfd_settime"):
        os.timerfd_settime(fd, initial=seconds)
        return
    timer = _TimerSetting()
    timer.it_value.tv_sec = int(seconds)
    timer.it_value.tv_nsec = int((seconds - int(seconds)) * 1e9)
    if _libc.timerfd_settime(fd, 0, ctypes.byref(timer), None) < 0:
        raise OSError(ctypes.get_errno(), "timerfd_settime")


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def blocking(delay: float, waits: int) -> tuple[float, float]:
    fd = timerfd(False)
    try:
        t, c = time.perf_counter(), cpu()
        for _ in range(waits):
            arm(fd, delay)
            struct.unpack("Q", os.read(fd, 8))
        return (time.perf_counter() - t) / waits * 1e6, (cpu() - c) / waits * 1e6
    finally:
        os.close(fd)


async def on_loop(delay: float, waits: int) -> tuple[float, float]:
    loop = asyncio.get_running_loop()
    fd = timerfd(True)
    box: list[asyncio.Future[None]] = []

    def fired() -> None:
        os.read(fd, 8)
        box.pop().set_result(None)

    loop.add_reader(fd, fired)
    try:
        t, c = time.perf_counter(), cpu()
        for _ in range(waits):
            fut = loop.create_future()
            box.append(fut)
            arm(fd, delay)
            await fut
        return (time.perf_counter() - t) / waits * 1e6, (cpu() - c) / waits * 1e6
    finally:
        loop.remove_reader(fd)
        os.close(fd)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--delay-us", type=float, default=60.0)
    ap.add_argument("--waits", type=int, default=5000)
    ap.add_argument("--rounds", type=int, default=3)
    a = ap.parse_args()
    delay = a.delay_us / 1e6
    rows: dict[str, list[tuple[float, float]]] = {"blocking": [], "asyncio": []}
    for rnd in range(a.rounds):
        rows["blocking"].append(blocking(delay, a.waits))
        rows["asyncio"].append(asyncio.run(on_loop(delay, a.waits)))
        print(f"round {rnd}: blocking {rows['blocking'][-1][0]:.1f} us (cpu {rows['blocking'][-1][1]:.1f}), "
              f"asyncio {rows['asyncio'][-1][0]:.1f} us (cpu {rows['asyncio'][-1][1]:.1f})", flush=True)
    med = {k: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v)) for k, v in rows.items()}
    b, l = med["blocking"], med["asyncio"]
    print(f"timer of {a.delay_us:.0f} us, median of {a.rounds}: blocking {b[0]:.1f} us per wait (cpu {b[1]:.1f}), "
          f"asyncio {l[0]:.1f} us (cpu {l[1]:.1f}): the loop adds {l[0] - b[0]:.1f} us and {l[1] - b[1]:.1f} us of cpu")


if __name__ == "__main__":
    main()
