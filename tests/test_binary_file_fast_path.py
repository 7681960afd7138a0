"""BinaryFile asks its FastPath first, falls back to the driver, and stops asking after a "never"."""

import os

import pytest

import kestrelio
from conftest import drop_pages, run
from kestrelio import binary_file


class Spy:
    """Stands in for a file's FastPath and records the calls."""

    def __init__(self, real, serve=True, supported=True):
        self.real, self.serve, self._supported = real, serve, supported
        self.calls = []

    def read(self, pos, n):
        self.calls.append(("read", pos, n))
        return self.real.read(pos, n) if self.serve else None

    def readinto(self, pos, b):
        self.calls.append(("readinto", pos))
        return self.real.readinto(pos, b) if self.serve else None

    def read_all(self, pos):
        self.calls.append(("read_all", pos))
        return self.real.read_all(pos) if self.serve else None

    def size(self):
        return self.real.size()

    def supported(self):
        self.calls.append(("supported",))
        return self._supported


def test_resident_reads_never_reach_the_driver(tmp_path, driver_reads):
    data = os.urandom(64 << 10)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            assert f._fast is not None
            spy = f._fast = Spy(f._fast)
            assert await f.read(4096) == data[:4096]
            assert await f.pread(100, 5000) == data[5000:5100]
            buf = bytearray(10)
            assert await f.readinto(buf) == 10 and buf == data[4096:4106]
            assert await f.read() == data[4106:]
            return spy.calls

    calls = run(main)
    assert [c[0] for c in calls] == ["read", "read", "readinto", "read_all"]
    assert driver_reads == []


def test_evicted_pages_go_to_the_driver_then_come_from_the_cache(tmp_path, driver_reads):
    data = os.urandom(256 << 10)
    p = tmp_path / "f"
    p.write_bytes(data)
    drop_pages(p)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            assert await f.pread(len(data), 0) == data
            after_cold = list(driver_reads)
            assert await f.pread(len(data), 0) == data, "now resident"
            assert f._fast is not None, "a regular file keeps its FastPath after a miss"
            return after_cold

    after_cold = run(main)
    if not after_cold:
        pytest.skip("this file system keeps pages despite POSIX_FADV_DONTNEED")
    assert after_cold == ["read"] and driver_reads == ["read"]


@pytest.mark.parametrize("supported", [False, True])
def test_a_declined_read_asks_once_whether_the_fast_path_applies(tmp_path, driver_reads, supported):
    # After "never" the file drops its FastPath and stops asking; after
    # "sometimes" it keeps it and asks it first again.
    data = os.urandom(16 << 10)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            spy = f._fast = Spy(f._fast, serve=False, supported=supported)
            assert await f.read(100) == data[:100]
            assert (f._fast is None) == (not supported)
            assert await f.read(100) == data[100:200]
            assert await f.readinto(bytearray(10)) == 10
            assert await f.read() == data[210:]
            return spy.calls

    calls = run(main)
    if supported:
        # Two declines in a row: the readinto goes straight to the driver.
        assert [c[0] for c in calls] == ["read", "supported", "read", "read_all"]
    else:
        assert calls == [("read", 0, 100), ("supported",)], "after 'no', the file stops asking"
    assert driver_reads == ["read", "read", "readinto", "read"]


def test_a_streak_of_declined_reads_asks_the_fast_path_ever_less_until_it_serves_again(tmp_path, driver_reads):
    data = os.urandom(64 << 10)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            spy = f._fast = Spy(f._fast, serve=False)
            for i in range(40):
                assert await f.pread(100, i * 100) == data[i * 100:i * 100 + 100]
            asked_cold = [c[1] // 100 for c in spy.calls if c[0] == "read"]
            spy.serve, spy.calls = True, []
            for i in range(40):
                assert await f.pread(100, i * 100) == data[i * 100:i * 100 + 100]
            return asked_cold, [c[1] // 100 for c in spy.calls if c[0] == "read"], len(driver_reads)

    asked_cold, asked_warm, driver = run(main)
    assert asked_cold == [0, 1, 3, 7, 15, 31], "asked at the streak's 1st, 2nd, 4th, 8th, 16th read, then 1 in 16"
    # The skips left over are used up, then one served read puts every read back on the fast path.
    assert asked_warm == list(range(7, 40))
    assert driver == 40 + 7


def test_without_a_fast_path_everything_takes_the_driver(tmp_path, monkeypatch, driver_reads):
    # An extension built before FastPath existed: the package must not need it.
    monkeypatch.setattr(binary_file, "_FAST_PATH", None)
    monkeypatch.setattr(kestrelio.whole_file, "_FAST_PATH", None)
    big = os.urandom(3 * binary_file.PARALLEL_MIN + 1)
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "w+b") as f:
            assert f._fast is None
            await f.write(big)
            await f.seek(0)
            assert await f.read(10) == big[:10]
            assert await f.read() == big[10:]
            buf = bytearray(5)
            assert await f.preadinto(buf, 1) == 5 and buf == big[1:6]
            assert await f.size() == len(big)
        assert await kestrelio.read_bytes(p) == big

    run(main)
    assert driver_reads[:4] == ["read", "read_parallel", "readinto", "read_parallel"]
