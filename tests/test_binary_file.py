"""The user API: kestrelio.open and BinaryFile, against io's behaviour."""

import asyncio
import errno
import gc
import io
import os
import stat
import sys
import threading
import warnings

import pytest

import kestrelio
from conftest import become_nobody, drop_pages, loop_fds, nobody, open_fds, run, run_script, settle_fds
from kestrelio.binary_file import CHUNK_SIZE, PARALLEL_MIN

CLOSED = r"^I/O operation on closed file\.$"


def test_what_the_fileio_model_leaves_out(tmp_path):
    # The calls FileIO also has are held against it in test_binary_file_model.
    p = tmp_path / "f"
    p.write_bytes(b"hello world")

    async def main():
        f = await kestrelio.open(p, "r+b")
        async with f as same:  # a BinaryFile is a context manager too
            assert same is f and f.seekable()
            assert await f.write(memoryview(bytearray(b"HE"))) == 2
            await f.sync()
            await f.sync(data_only=True)
            await f.flush()
            buf = bytearray(10)
            assert await f.preadinto(buf, 6) == 5 and buf[:5] == b"world"
            assert f.tell() == 2, "preadinto leaves the position alone"
        assert f.closed
        await f.close()  # a second close does nothing

    run(main)
    assert p.read_bytes() == b"HEllo world"


# What io.FileIO.mode says for each spelling.
FILEIO_MODES = {"rb": "rb", "br": "rb", "r+b": "rb+", "rb+": "rb+", "+rb": "rb+", "wb": "wb", "w+b": "rb+",
                "ab": "ab", "a+b": "ab+", "xb": "xb", "x+b": "xb+"}


def test_attributes_follow_fileio(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"abc")

    async def main():
        for mode, fileio_mode in FILEIO_MODES.items():
            if "x" in mode:
                p.unlink()
            async with kestrelio.open(p, mode) as f:
                assert f.mode == fileio_mode, mode
                assert f.name == str(p)
                assert f.readable() == ("r" in mode or "+" in mode)
                assert f.writable() == ("r" not in mode or "+" in mode)
                assert isinstance(f.fileno(), int)
                assert "kestrelio.BinaryFile" in repr(f)
            assert "closed" in repr(f)
        async with kestrelio.open(os.fsencode(p), "rb") as f:
            assert f.name == os.fsencode(p)

    run(main)


def test_open_errors_are_the_oserror_subclasses_io_raises(tmp_path):
    (tmp_path / "exists").write_bytes(b"")

    def io_error(path, mode):
        with pytest.raises(OSError) as e:
            open(path, mode)
        return e.value

    cases = [
        (tmp_path / "missing", "rb", FileNotFoundError),
        (tmp_path / "no" / "dir", "wb", FileNotFoundError),
        (tmp_path, "rb", IsADirectoryError),
        (tmp_path, "r+b", IsADirectoryError),
        (tmp_path, "wb", IsADirectoryError),
        (tmp_path / "exists", "xb", FileExistsError),
        (tmp_path / "exists" / "child", "rb", NotADirectoryError),
    ]

    async def main():
        for path, mode, kind in cases:
            with pytest.raises(kind) as e:
                await kestrelio.open(path, mode)
            want = io_error(path, mode)
            assert type(e.value) is type(want) and e.value.errno == want.errno
            assert str(e.value) == str(want), "worded as io words it, with the path"
            assert e.value.filename == str(path)

    run(main)


def test_permission_denied_is_permission_error(tmp_path):
    p = tmp_path / "secret"
    p.write_bytes(b"x")
    os.chmod(p, 0)

    async def main():
        with pytest.raises(PermissionError) as e:
            await kestrelio.open(p, "rb")
        assert e.value.errno == errno.EACCES and e.value.filename == str(p)
        with pytest.raises(PermissionError):
            await kestrelio.read_bytes(p)

    if os.geteuid() != 0:
        run(main)
        return
    if nobody() is None:
        pytest.skip("no unprivileged user to drop to")
    # root may open anything: run the check in a forked child as "nobody".
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            become_nobody()
            run(main)
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_wrong_operation_for_the_mode(tmp_path):
    (tmp_path / "ro").write_bytes(b"abc")

    async def main():
        async with kestrelio.open(tmp_path / "ro", "rb") as f:
            for call in (lambda: f.write(b"x"), lambda: f.pwrite(b"x", 0), lambda: f.truncate(0)):
                with pytest.raises(io.UnsupportedOperation, match="^File not open for writing$"):
                    await call()
        async with kestrelio.open(tmp_path / "wo", "wb") as f:
            for call in (lambda: f.read(), lambda: f.readinto(bytearray(1)), lambda: f.pread(1, 0)):
                with pytest.raises(io.UnsupportedOperation, match="^File not open for reading$"):
                    await call()
            with pytest.raises(io.UnsupportedOperation):
                f.chunks()

    run(main)


def test_argument_errors_follow_io(tmp_path):
    (tmp_path / "f").write_bytes(b"abc")

    async def main():
        async with kestrelio.open(tmp_path / "f", "r+b") as f:
            with pytest.raises(ValueError, match=r"invalid whence \(7, should be 0, 1 or 2\)"):
                await f.seek(0, 7)
            with pytest.raises(TypeError):
                await f.seek(1.5)
            with pytest.raises(TypeError, match="argument should be integer or None, not 'float'"):
                await f.read(1.5)
            with pytest.raises(OSError) as e:
                await f.truncate(-1)
            assert e.value.errno == errno.EINVAL
            with pytest.raises(OSError):
                await f.pread(1, -1)
            with pytest.raises(TypeError, match="read-write bytes-like object"):
                await f.readinto(b"read-only")
            with pytest.raises(TypeError, match=r"^a bytes-like object is required, not 'str'$"):
                await f.write("text")  # io.FileIO's own words
            with pytest.raises(ValueError):
                f.chunks(0)
            assert f.tell() == 0, "nothing above moved the position"

    run(main)


# Python 3.10's open still accepts the deprecated "U"; kestrelio refuses it as 3.11 does.
_U_ACCEPTED = pytest.mark.skipif(sys.version_info < (3, 11), reason="open() accepts 'U' before Python 3.11")
INVALID_MODES = ["rw", "rbb", "", "b", "+b", "rbx", "wbq", "rbt", "r++b", pytest.param("U", marks=_U_ACCEPTED),
                 pytest.param("rbU", marks=_U_ACCEPTED), "aw+b"]


@pytest.mark.parametrize("mode", INVALID_MODES)
def test_invalid_modes_are_refused_with_io_texts(tmp_path, mode):
    with pytest.raises(ValueError) as ours:
        kestrelio.open(tmp_path / "f", mode)
    with pytest.raises(ValueError) as theirs:
        open(tmp_path / "f", mode)
    assert str(ours.value) == str(theirs.value)
    assert not (tmp_path / "f").exists()


def test_a_closed_file_says_so_like_io(tmp_path):
    (tmp_path / "f").write_bytes(b"abc")

    async def main():
        f = await kestrelio.open(tmp_path / "f", "r+b")
        await f.close()
        assert f.closed
        for call in (lambda: f.read(), lambda: f.readall(), lambda: f.write(b"x"), lambda: f.seek(0),
                     lambda: f.truncate(0), lambda: f.readinto(bytearray(1)), lambda: f.preadinto(bytearray(1), 0),
                     lambda: f.pread(1, 0), lambda: f.pwrite(b"x", 0), lambda: f.sync(), lambda: f.size(),
                     lambda: f.flush()):
            with pytest.raises(ValueError, match=CLOSED):
                await call()
        for call in (f.tell, f.fileno, f.readable, f.writable, f.seekable, f.chunks):
            with pytest.raises(ValueError, match=CLOSED):
                call()
        with pytest.raises(ValueError, match=CLOSED):
            async for _ in f:
                pass

    run(main)


def test_chunks_go_to_the_end(tmp_path):
    data = os.urandom(3 * CHUNK_SIZE + 17)
    (tmp_path / "f").write_bytes(data)

    async def main():
        async with kestrelio.open(tmp_path / "f", "rb") as f:
            whole = [c async for c in f.chunks()]
            assert [len(c) for c in whole] == [CHUNK_SIZE] * 3 + [17]
            assert f.tell() == len(data)
            await f.seek(10)
            small = [c async for c in f.chunks(1000)]
            assert all(len(c) == 1000 for c in small[:-1])
            return b"".join(whole), b"".join(small)

    whole, small = run(main)
    assert whole == data and small == data[10:]


@pytest.mark.parametrize("cold", [False, True], ids=["warm", "cold"])
def test_large_reads_and_huge_counts(tmp_path, cold):
    data = os.urandom(3 * PARALLEL_MIN + 5)
    p = tmp_path / "f"
    p.write_bytes(data)
    if cold:
        drop_pages(p)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            assert await f.read(1 << 40) == data, "no terabyte is allocated for it"
            await f.seek(100)
            assert await f.read() == data[100:]
            assert await f.read(1 << 40) == b""
            assert await f.pread(PARALLEL_MIN + 3, 7) == data[7:PARALLEL_MIN + 10]
            big = bytearray(len(data) + 10)
            assert await f.preadinto(big, 0) == len(data) and big[:len(data)] == data

    run(main)


def test_the_file_grows_under_a_read_all(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"a" * 100)

    async def main():
        async with kestrelio.open(p, "rb") as f:
            assert await f.read() == b"a" * 100
            with open(p, "ab") as other:
                other.write(b"b" * 50)
            assert await f.read() == b"b" * 50, "a later read picks up what was appended"

    run(main)


@pytest.mark.parametrize("mode", ["ab", "a+b", "a"])
def test_append_opens_create_what_is_missing_and_keep_what_is_there_as_io(tmp_path, mode):
    # The runtime backends open for appending without O_CREAT first: the
    # creation must still happen exactly where io's open would make it.
    there, missing, link = tmp_path / "there", tmp_path / "missing", tmp_path / "link"
    there.write_bytes(b"old\n")
    os.symlink(tmp_path / "target", link)  # dangling: the open creates its target
    data = "new\n" if "b" not in mode else b"new\n"

    async def main():
        for p in (there, missing, link):
            async with await kestrelio.open(p, mode) as f:
                await f.write(data)

    run(main)
    assert there.read_bytes() == b"old\nnew\n"
    assert missing.read_bytes() == b"new\n"
    assert (tmp_path / "target").read_bytes() == b"new\n" and link.is_symlink()
    assert stat.S_IMODE(missing.stat().st_mode) == 0o666 & ~_umask()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_a_fifo_is_read_to_its_end(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)

    async def main():
        f = await kestrelio.open(path, "r+b")
        try:
            assert stat.S_ISFIFO(os.fstat(f.fileno()).st_mode)
            w = os.open(path, os.O_WRONLY)
            os.write(w, b"hello")
            assert await f.read(5) == b"hello"
            os.write(w, b"rest")
            os.close(w)
            await f.write(b"!")  # the file's own write end keeps the FIFO open
            assert await f.read(5) == b"rest!"
        finally:
            await f.close()

    run(main)


def test_an_append_open_of_a_fifo_waits_for_its_reader_as_io(tmp_path):
    # io's open(fifo, "ab") blocks until a reader comes; it never fails for
    # the want of one (ENXIO is what a non-blocking open would say).
    path = tmp_path / "fifo"
    os.mkfifo(path)
    got = []

    def reader():
        fd = os.open(path, os.O_RDONLY)  # waits for the writer, if not there yet
        try:
            while chunk := os.read(fd, 64):
                got.append(chunk)
        finally:
            os.close(fd)

    async def main():
        opening = asyncio.ensure_future(kestrelio.open(path, "ab"))
        await asyncio.wait({opening}, timeout=0.2)  # time for an open without a reader to fail
        t = threading.Thread(target=reader)
        t.start()
        try:
            async with await opening as f:
                await f.write(b"hello")
        finally:
            if not opening.done() or opening.exception() is not None:
                os.close(os.open(path, os.O_WRONLY))  # lets the reader end
            await asyncio.to_thread(t.join)
        assert b"".join(got) == b"hello"

    run(main)


def test_unclosed_file_keeps_its_data_where_warnings_are_errors(tmp_path, monkeypatch):
    # The warning comes last: raised as an error it must not cost the buffered bytes or the handle.
    p = tmp_path / "f"
    raised = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: raised.append((u.exc_type, str(u.exc_value))))
    before = open_fds()

    async def main():
        inner = await loop_fds()
        f = await kestrelio.open(p, "ab")
        await f.write(b"kept\n")
        fd = os.open(p, os.O_RDONLY)
        kept = await kestrelio.open(fd, "rb", closefd=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error", ResourceWarning)
            del f, kept
            gc.collect()
        os.close(fd)
        assert await settle_fds(inner) == inner

    run(main)
    assert p.read_bytes() == b"kept\n"
    assert open_fds() == before, "the handles are closed too"
    assert [kind for kind, _ in raised] == [ResourceWarning], "one warning, none for the descriptor its owner keeps"
    message = raised[0][1]
    assert message.startswith("unclosed file") and "closed" not in message.replace("unclosed", ""), message


@pytest.mark.parametrize("mode", ["wb", "ab", "w"])
def test_buffered_bytes_reach_the_file_when_a_read_in_flight_outlives_the_loop(tmp_path, mode):
    # The never-answered pipe read keeps its task, and the file that task holds,
    # alive past the end of the program: no close and no __del__ comes.
    out = tmp_path / "out"
    r = run_script(f"""
        import asyncio, os, kestrelio

        async def worker():
            f = await kestrelio.open({str(out)!r}, {mode!r})
            await f.write({"'kept'" if mode == "w" else "b'kept'"})
            rfd, wfd = os.pipe()
            r = await kestrelio.open(rfd, "rb", buffering=0)
            await r.read(10)

        async def main():
            asyncio.ensure_future(worker())
            await asyncio.sleep(0.1)
            raise SystemExit(3)

        asyncio.new_event_loop().run_until_complete(main())
    """)
    assert r.returncode == 3, r.stderr
    assert out.read_bytes() == b"kept"



def test_unbuffered_writes_take_a_buffer_of_wider_items_as_io(tmp_path):
    # io.FileIO writes the bytes of any C-contiguous buffer, an array of ints included.
    import array

    data = array.array("i", [1, -2, 3])
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "wb", buffering=0) as f:
            assert await f.write(data) == 12
            assert await f.pwrite(data, 12) == 12
        async with kestrelio.open(p, "ab", buffering=0) as f:
            assert await f.write(data) == 12
            assert await f.pwrite(data, 0) == 12

    run(main)
    assert p.read_bytes() == data.tobytes() * 4
