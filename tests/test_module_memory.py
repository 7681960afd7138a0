import asyncio
import os
import time

import pytest

import _kestrelio as k
from conftest import UNDER_ASAN, open_fds, rss_bytes, run

ROUNDS = 200_000
TASKS = 64


@pytest.mark.memory
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_round_trips_leave_rss_and_fds_flat(tmp_path):
    path = tmp_path / "m"
    path.write_bytes(os.urandom(1 << 16))

    async def worker(h, n, buf):
        for i in range(n):
            pos = (i * 4096) % (1 << 16)
            data = await k.read(h, pos, 4096)
            await k.write(h, pos, data, False)
            await k.readinto(h, pos, buf)

    async def batch(h, rounds):
        per = rounds // TASKS
        await asyncio.gather(*[worker(h, per, bytearray(512)) for _ in range(TASKS)])

    async def main():
        await k.probe_nop()  # the bridge's pipe exists before counting
        fds = open_fds()
        h, _, _ = await k.open(path, True, True, False, False, False, False)
        await batch(h, 20_000)  # warm-up: allocator pools settle
        rss = rss_bytes()
        t0 = time.monotonic()
        await batch(h, ROUNDS)
        elapsed = time.monotonic() - t0
        await k.close(h)
        return fds, rss, open_fds(), rss_bytes(), elapsed

    fds0, rss0, fds1, rss1, elapsed = run(main)
    assert fds1 == fds0
    if UNDER_ASAN:
        pytest.skip("AddressSanitizer's quarantine holds freed memory; RSS says nothing here")
    assert rss1 - rss0 < 10 << 20, f"RSS grew by {(rss1 - rss0) >> 10} KiB in {elapsed:.1f}s"
