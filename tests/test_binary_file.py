"""The user API: kestrelio.open and BinaryFile."""

import asyncio
import errno
import io
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kestrelio
import kestrelio
from conftest import run


def test_round_trips_in_every_mode(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "wb") as f:
            assert f.mode == "wb" and not f.readable() and f.writable()
            assert await f.write(b"hello ") == 6
            assert await f.write(memoryview(bytearray(b"world"))) == 5
            assert f.tell() == 11
        async with kestrelio.open(p, "ab") as f:
            assert f.tell() == 11, "append starts at the end"
            await f.write(b"!")
            assert f.tell() == 12
        async with kestrelio.open(p, "r+b") as f:
            assert await f.read(5) == b"hello"
            await f.write(b"_")
            assert await f.read() == b"world!"
            assert await f.read() == b""
            assert await f.pread(3, 1) == b"ell"
            assert await f.pwrite(b"H", 0) == 1
            assert f.tell() == 12, "pread/pwrite leave the position alone"
            assert await f.truncate(5) == 5
            assert await f.size() == 5
            await f.sync()
            await f.sync(data_only=True)
            await f.flush()
        f = await kestrelio.open(p, "rb")
        try:
            assert await f.read() == b"Hello"
            buf = bytearray(10)
            await f.seek(1)
            assert await f.readinto(buf) == 4 and buf[:4] == b"ello"
        finally:
            await f.close()
        await f.close()  # a second close does nothing
        with pytest.raises(FileExistsError):
            await kestrelio.open(p, "xb")
        async with kestrelio.open(tmp_path / "new", "xb") as f:
            await f.write(b"x")

    run(main)
    assert p.read_bytes() == b"Hello"
    assert (tmp_path / "new").read_bytes() == b"x"


def test_the_errors_users_expect(tmp_path):
    async def main():
        with pytest.raises(FileNotFoundError):
            await kestrelio.open(tmp_path / "missing", "rb")
        with pytest.raises(IsADirectoryError):
            await kestrelio.open(tmp_path, "rb")
        (tmp_path / "ro").write_bytes(b"abc")
        async with kestrelio.open(tmp_path / "ro", "rb") as f:
            with pytest.raises(io.UnsupportedOperation):
                await f.write(b"x")
        async with kestrelio.open(tmp_path / "wo", "wb") as f:
            with pytest.raises(io.UnsupportedOperation):
                await f.read()
            with pytest.raises(OSError) as e:
                await f.seek(-1)
            assert e.value.errno == errno.EINVAL
            with pytest.raises(ValueError):
                await f.seek(0, 3)

    run(main)


@pytest.mark.parametrize("mode", ["r", "rt", "w", "rw", "rbb", "", "b", "r+", "rbx", "wbq"])
def test_mode_errors_are_value_errors(tmp_path, mode):
    with pytest.raises(ValueError):
        kestrelio.open(tmp_path / "f", mode)


def test_mode_and_path_type_errors(tmp_path):
    with pytest.raises(TypeError):
        kestrelio.open(tmp_path / "f", 1)
    with pytest.raises(TypeError):
        kestrelio.open(3.5, "rb")


def test_a_closed_file_says_so_like_io(tmp_path):
    (tmp_path / "f").write_bytes(b"abc")

    async def main():
        f = await kestrelio.open(tmp_path / "f", "r+b")
        await f.close()
        assert f.closed
        for call in (lambda: f.read(), lambda: f.write(b"x"), lambda: f.seek(0), lambda: f.truncate(0),
                     lambda: f.readinto(bytearray(1)), lambda: f.pread(1, 0), lambda: f.pwrite(b"x", 0),
                     lambda: f.sync(), lambda: f.size(), lambda: f.flush()):
            with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
                await call()
        for call in (f.tell, f.fileno, f.readable, f.writable, f.seekable):
            with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
                call()
        with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
            f.chunks()

    run(main)


def test_async_iteration_yields_chunks_to_the_end(tmp_path):
    data = os.urandom(3 * (1 << 20) + 17)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            whole = [c async for c in f]
            assert [len(c) for c in whole] == [1 << 20] * 3 + [17]
            await f.seek(0)
            small = [c async for c in f.chunks(1000)]
            return b"".join(whole), b"".join(small)

    whole, small = run(main)
    assert whole == data and small == data


def test_large_reads_are_split_and_huge_counts_cut_to_the_file(tmp_path):
    data = os.urandom(9 * (1 << 20) + 5)
    p = tmp_path / "f"
    p.write_bytes(data)
    fd = os.open(p, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            assert await f.read(1 << 40) == data, "no terabyte is allocated for it"
            await f.seek(100)
            assert await f.read() == data[100:]
            assert await f.read(1 << 40) == b""

    run(main)


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


def test_fast_path_serves_resident_reads_without_the_driver(tmp_path, monkeypatch):
    data = os.urandom(64 << 10)
    (tmp_path / "f").write_bytes(data)
    driver_reads = []
    real_read = _kestrelio.read
    monkeypatch.setattr(_kestrelio, "read", lambda *a: driver_reads.append(a) or real_read(*a))

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
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


def test_fast_path_is_dropped_once_it_says_it_never_applies(tmp_path, monkeypatch):
    data = os.urandom(16 << 10)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            spy = f._fast = Spy(f._fast, serve=False, supported=False)
            assert await f.read(100) == data[:100]
            assert await f.read(100) == data[100:200]
            assert await f.pread(10, 0) == data[:10]
            return spy.calls

    calls = run(main)
    assert calls == [("read", 0, 100), ("supported",)], "after 'no', the file stops asking"


def test_fast_path_kept_after_a_miss_on_a_supported_file(tmp_path):
    data = os.urandom(16 << 10)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            spy = f._fast = Spy(f._fast, serve=False, supported=True)
            assert await f.read(100) == data[:100]
            assert await f.read(100) == data[100:200]
            return spy.calls

    assert [c[0] for c in run(main)] == ["read", "supported", "read", "supported"]


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


def test_cancelled_read_raises_only_after_the_kernel_let_go(fifo):
    # A read of an empty FIFO cannot finish until someone writes: the
    # cancelled task must stay pending until then, and the buffer must not
    # change once CancelledError has been raised.
    async def main():
        f = await kestrelio.open(fifo, "r+b")
        writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        try:
            buf = bytearray(8)
            task = asyncio.ensure_future(f.readinto(buf))
            await asyncio.sleep(0.05)
            task.cancel()
            await asyncio.sleep(0.2)
            assert not task.done(), "the kernel still holds the buffer"
            os.write(writer, b"abc")
            with pytest.raises(asyncio.CancelledError):
                await task
            seen = bytes(buf)
            await asyncio.sleep(0.05)
            assert bytes(buf) == seen
            assert f.tell() == 0, "a cancelled read does not move the position"
            os.write(writer, b"xyz")
            assert await f.read(3) == b"xyz", "the file stays usable"
        finally:
            os.close(writer)
            await f.close()

    run(main)


def test_cancelled_queued_reads_never_touch_the_buffer(tmp_path):
    data = os.urandom(1 << 20)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            f._fast = None  # force the driver
            bufs = [bytearray(4096) for _ in range(200)]
            tasks = [asyncio.ensure_future(f.preadinto(b, i * 4096)) for i, b in enumerate(bufs)]
            await asyncio.sleep(0)
            for t in tasks[::2]:
                t.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            snapshot = [bytes(b) for b in bufs]
            await asyncio.sleep(0.05)
            for i, (r, b) in enumerate(zip(results, bufs)):
                assert bytes(b) == snapshot[i], "written after the task finished"
                if isinstance(r, asyncio.CancelledError):
                    continue
                assert r == 4096 and b == data[i * 4096:(i + 1) * 4096]
            assert await f.pread(10, 0) == data[:10]

    run(main)


def test_position_after_a_cancelled_write_follows_what_reached_the_file(tmp_path):
    async def main():
        async with kestrelio.open(tmp_path / "f", "w+b") as f:
            await f.write(b"0123456789")
            tasks = [asyncio.ensure_future(f.write(b"abc"))]
            await asyncio.sleep(0)
            tasks[0].cancel()
            try:
                await tasks[0]
                reached = True
            except asyncio.CancelledError:
                reached = await f.size() > 10
            assert f.tell() == (13 if reached else 10)
            await f.write(b"Z")
            await f.seek(0)
            return await f.read()

    data = run(main)
    assert data in (b"0123456789abcZ", b"0123456789Z")


# One step of a random session, applied to a BinaryFile and an io.FileIO alike.
ops = st.one_of(
    st.tuples(st.just("read"), st.integers(-1, 300)),
    st.tuples(st.just("write"), st.binary(max_size=300)),
    st.tuples(st.just("seek"), st.integers(-50, 400), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("truncate"), st.one_of(st.none(), st.integers(0, 400))),
    st.tuples(st.just("readinto"), st.integers(0, 300)),
    st.tuples(st.just("pread"), st.integers(0, 300), st.integers(0, 400)),
    st.tuples(st.just("tell"),),
)


async def apply_async(f, op):
    name = op[0]
    if name == "read":
        return await f.read(op[1])
    if name == "write":
        return await f.write(op[1])
    if name == "seek":
        return await f.seek(op[1], op[2])
    if name == "truncate":
        return await f.truncate(op[1])
    if name == "readinto":
        b = bytearray(op[1])
        n = await f.readinto(b)
        return n, bytes(b[:n])
    if name == "pread":
        return await f.pread(op[1], op[2])
    return f.tell()


def apply_sync(f, op):
    name = op[0]
    if name == "read":
        return f.read(op[1])
    if name == "write":
        return f.write(op[1])
    if name == "seek":
        return f.seek(op[1], op[2])
    if name == "truncate":
        return f.truncate(op[1])
    if name == "readinto":
        b = bytearray(op[1])
        n = f.readinto(b)
        return n, bytes(b[:n])
    if name == "pread":
        return os.pread(f.fileno(), op[1], op[2])
    return f.tell()


def outcome(fn):
    try:
        return "ok", fn()
    except OSError as e:
        return "error", type(e), e.errno


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sampled_from(["r+b", "w+b", "a+b"]), st.binary(max_size=200), st.lists(ops, max_size=25))
def test_positions_match_io_fileio(tmp_path, mode, initial, session):
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    ours.write_bytes(initial)
    theirs.write_bytes(initial)

    async def main():
        got = []
        async with kestrelio.open(ours, mode) as f:
            for op in session:
                try:
                    got.append(("ok", await apply_async(f, op)))
                except OSError as e:
                    got.append(("error", type(e), e.errno))
                got.append(("pos", f.tell()))
        return got

    got = run(main)
    want = []
    with io.FileIO(theirs, mode.replace("b", "")) as f:
        for op in session:
            want.append(outcome(lambda: apply_sync(f, op)))
            want.append(("pos", f.tell()))
    assert got == want
    assert ours.read_bytes() == theirs.read_bytes()
