"""Whole-file helpers against pathlib's own."""

import asyncio
import os
import pathlib

import pytest

import _kestrelio
import kestrelio
from conftest import drop_pages, run
from kestrelio.whole_file import INLINE_MAX


@pytest.mark.parametrize("size", [0, 1, INLINE_MAX, INLINE_MAX + 1, 5 * (1 << 20) + 3])
def test_bytes_round_trip(tmp_path, size):
    data = os.urandom(size)
    p = tmp_path / "f"

    async def main():
        assert await kestrelio.write_bytes(p, data) == size
        warm = await kestrelio.read_bytes(p)
        drop_pages(p)
        cold = await kestrelio.read_bytes(p)
        return warm, cold

    warm, cold = run(main)
    assert warm == data and cold == data
    assert p.read_bytes() == data


def test_write_bytes_takes_any_contiguous_buffer_and_truncates(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"x" * 100)

    async def main():
        assert await kestrelio.write_bytes(p, bytearray(b"abc")) == 3
        assert p.read_bytes() == b"abc"
        assert await kestrelio.write_bytes(p, memoryview(b"hello")[1:4]) == 3
        assert p.read_bytes() == b"ell"

    run(main)


@pytest.mark.parametrize("text", ["", "plain", "a\r\nb\rc\n", "ünïcödé ✓"])
@pytest.mark.parametrize("newline", [None, "", "\n", "\r\n"])
def test_text_matches_pathlib(tmp_path, text, newline):
    ours, theirs = tmp_path / "ours", pathlib.Path(tmp_path / "theirs")

    async def main():
        n = await kestrelio.write_text(ours, text, newline=newline)
        return n, await kestrelio.read_text(ours), await kestrelio.read_text(ours, newline="")

    n, back, raw = run(main)
    assert n == theirs.write_text(text, encoding="utf-8", newline=newline)
    assert ours.read_bytes() == theirs.read_bytes()
    assert back == theirs.read_text(encoding="utf-8")
    with open(theirs, encoding="utf-8", newline="") as f:
        assert raw == f.read()


def test_text_encodings_and_errors(tmp_path):
    p = tmp_path / "f"

    async def main():
        await kestrelio.write_text(p, "é", encoding="latin-1")
        assert p.read_bytes() == b"\xe9"
        with pytest.raises(UnicodeDecodeError):
            await kestrelio.read_text(p)
        assert await kestrelio.read_text(p, errors="replace") == "\ufffd"
        assert await kestrelio.read_text(p, encoding="latin-1") == "é"
        with pytest.raises(TypeError):
            await kestrelio.write_text(p, b"bytes")

    run(main)


def test_path_errors(tmp_path):
    async def main():
        with pytest.raises(FileNotFoundError):
            await kestrelio.read_bytes(tmp_path / "missing")
        with pytest.raises(FileNotFoundError):
            await kestrelio.write_bytes(tmp_path / "no" / "such", b"x")
        with pytest.raises(IsADirectoryError):
            await kestrelio.write_bytes(tmp_path, b"x")
        with pytest.raises(IsADirectoryError):
            await kestrelio.read_bytes(tmp_path)

    run(main)


@pytest.mark.parametrize("path", ["/proc/version", "/proc/filesystems"])
def test_whole_reads_of_a_procfs_file_end_at_end_of_file(path):
    # procfs gives these files a size of 0: a whole read must go on to the real end.
    if not os.path.exists(path):
        pytest.skip("no procfs here")
    with open(path, "rb") as f:
        want = f.read()
    assert os.stat(path).st_size == 0 and len(want) > 5

    async def main():
        assert await kestrelio.read_bytes(path) == want
        async with kestrelio.open(path, "rb") as f:
            assert await f.read() == want
            assert await f.read() == b""
        async with kestrelio.open(path, "rb") as f:
            assert await f.read(3 << 20) == want
        async with kestrelio.open(path, "rb") as f:
            assert await f.read(5) == want[:5]
            assert await f.readall() == want[5:]
        h, _size, fd = await _kestrelio.open(path, True, False, False, False, False, False)
        assert await kestrelio.whole_file._read_open_file(h, fd) == want

    run(main)


def test_a_path_with_a_nul_byte_raises_value_error_as_pathlib(tmp_path):
    # pathlib and io refuse such a name with ValueError before any system call.
    bad = str(tmp_path / "a\0b")
    with pytest.raises(ValueError):
        pathlib.Path(bad).read_bytes()

    async def main():
        for call in (lambda: kestrelio.read_bytes(bad), lambda: kestrelio.read_bytes(os.fsencode(bad)),
                     lambda: kestrelio.read_text(bad), lambda: kestrelio.write_bytes(bad, b"x"),
                     lambda: kestrelio.write_text(bad, "x"), lambda: kestrelio.open(bad, "rb"),
                     lambda: kestrelio.open(bad, "w")):
            with pytest.raises(ValueError, match="embedded null byte"):
                await call()

    run(main)
    assert os.listdir(tmp_path) == []


def test_write_bytes_takes_a_buffer_of_wider_items_as_pathlib(tmp_path):
    import array

    data = array.array("i", [1, -2, 3])
    p = tmp_path / "f"

    async def main():
        assert await kestrelio.write_bytes(p, data) == 12
        assert p.read_bytes() == data.tobytes()
        assert await kestrelio.write_bytes(p, memoryview(bytearray(b"abcdefgh")).cast("I")) == 8
        assert p.read_bytes() == b"abcdefgh"

    run(main)


def test_many_whole_reads_at_once_of_every_kind_of_file(tmp_path):
    # With many whole reads in flight the loop backend reads cached regular
    # files on its pool; every other kind must still be read as before, and
    # a FIFO must be opened only by the read that takes its data.
    sizes = [1, 8192, INLINE_MAX, INLINE_MAX + 1, 0]
    want = {}
    for i, size in enumerate(sizes):
        p = tmp_path / f"f{i}"
        p.write_bytes(os.urandom(size))
        want[str(p)] = p.read_bytes()
    cold = tmp_path / "cold"
    cold.write_bytes(os.urandom(20000))
    want[str(cold)] = cold.read_bytes()
    if os.path.exists("/proc/version"):
        want["/proc/version"] = pathlib.Path("/proc/version").read_bytes()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    fifo_data = os.urandom(3000)
    async def warm_up():  # the driver's own descriptors, and those a first error makes, are made by now
        await kestrelio.read_bytes(cold)
        with pytest.raises(FileNotFoundError):
            await kestrelio.read_bytes(tmp_path / "missing")

    run(warm_up)
    fds_before = len(os.listdir("/proc/self/fd"))

    def feed_fifo():
        with open(fifo, "wb") as w:
            w.write(fifo_data)

    async def main():
        drop_pages(cold)
        feeder = asyncio.get_running_loop().run_in_executor(None, feed_fifo)
        await asyncio.sleep(0.05)  # the writer waits in its open for a reader
        paths = [p for _ in range(12) for p in want]
        reads = [kestrelio.read_bytes(p) for p in paths]
        reads.append(asyncio.wait_for(kestrelio.read_bytes(fifo), 20))
        reads.append(kestrelio.read_bytes(tmp_path / "missing"))
        reads.append(kestrelio.read_bytes(tmp_path))
        reads.append(kestrelio.read_bytes(paths[0] + "\0tail"))  # not the file named by the part before the NUL
        got = await asyncio.gather(*reads, return_exceptions=True)
        await feeder
        assert got[:len(paths)] == [want[p] for p in paths]
        assert got[len(paths)] == fifo_data
        assert isinstance(got[-3], FileNotFoundError) and isinstance(got[-2], IsADirectoryError)
        assert isinstance(got[-1], ValueError)

    run(main)
    assert len(os.listdir("/proc/self/fd")) == fds_before
