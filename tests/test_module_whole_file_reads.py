"""Whole-file reads of files that never end: a cancel stops them and gives their memory back."""

import os

import pytest

from conftest import run_script

# The endless read runs in a child that kills itself long before a read that
# ignored its cancellation could hurt the machine.
ENDLESS_READ = """
import asyncio, os, sys, threading
import _kestrelio as k
import kestrelio

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

LIMIT = 2 << 30
base = rss()

def watchdog():
    while True:
        if rss() - base > LIMIT:
            os._exit(3)
        threading.Event().wait(0.005)

threading.Thread(target=watchdog, daemon=True).start()

async def endless(how, path):
    if how == "read_bytes":
        return await kestrelio.read_bytes(path)
    if how == "read_file":
        return await k.read_file(path, INLINE_MAX, None)
    h, _, _ = await k.open(path, True, False, False, False, False, False)
    try:
        return await k.read_to_end(h, 0)
    finally:
        await k.close(h)

async def main(how, path, small):
    await k.probe_nop()
    h, _, _ = await k.open(small, True, False, False, False, False, False)
    before = rss()
    task = asyncio.ensure_future(endless(how, path))
    # Other operations keep completing while the endless read grows.
    reads = 0
    while rss() - before < (64 << 20) or reads < 3:
        assert not task.done(), task
        assert await k.read(h, 0, 3) == b"abc"
        reads += 1
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass
    else:
        raise AssertionError("the endless read ended without being cancelled")
    await k.close(h)
    grown = rss() - before
    print(f"after cancel: {grown >> 20} MiB above the start")
    # AddressSanitizer's quarantine keeps freed memory; RSS says nothing there.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        assert grown < (32 << 20), grown

INLINE_MAX = kestrelio.whole_file.INLINE_MAX
asyncio.run(main(*sys.argv[1:]))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("how", ["read_bytes", "read_file", "read_to_end"])
@pytest.mark.parametrize("path", ["/dev/zero", "/dev/urandom"])
def test_cancelled_read_of_an_endless_file_stops_and_gives_its_memory_back(tmp_path, how, path):
    if not os.path.exists(path):
        pytest.skip(f"needs {path}")
    small = tmp_path / "small"
    small.write_bytes(b"abc")
    source = ENDLESS_READ.replace("asyncio.run(main(*sys.argv[1:]))", f"asyncio.run(main({how!r}, {path!r}, {str(small)!r}))")
    r = run_script(source, timeout=120)
    assert r.returncode != 3, "the cancelled read went on growing"
    assert r.returncode == 0, r.stdout + r.stderr
