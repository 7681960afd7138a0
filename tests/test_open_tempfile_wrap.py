"""kestrelio.open's arguments as io.open takes them, kestrelio.tempfile and kestrelio.wrap."""

import asyncio
import gc
import io
import os
import sys
import warnings

import pytest

import kestrelio
from conftest import cancel_after, loop_fds, run, settle_fds


@pytest.mark.parametrize("kwargs", [
    {"mode": "rb", "encoding": "utf-8"},
    {"mode": "rb", "errors": "strict"},
    {"mode": "rb", "newline": "\n"},
    {"mode": "r", "buffering": 0},
    {"mode": "r", "newline": "x"},
    {"mode": "r", "newline": 5},
    {"mode": "r", "encoding": 5},
    {"mode": "r", "buffering": "1"},
    {"mode": "r", "closefd": False},
    {"mode": 1},
    {"file": 3.5},
])
def test_argument_errors_are_io_opens(tmp_path, kwargs):
    p = tmp_path / "f"
    p.write_bytes(b"")
    kwargs = {"file": p, **kwargs}
    with pytest.raises((TypeError, ValueError)) as theirs:
        open(**kwargs).close()
    with pytest.raises(type(theirs.value)):
        kestrelio.open(**kwargs)


def test_binary_line_buffering_warns_as_io(tmp_path):
    p = tmp_path / "f"
    with pytest.warns(RuntimeWarning, match="line buffering"):
        kestrelio.open(p, "wb", buffering=1)


def test_unknown_encoding_fails_when_awaited_and_closes(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"")

    async def main():
        with pytest.raises(LookupError):
            await kestrelio.open(p, encoding="no-such-codec")

    run(main)


def test_opening_a_closed_descriptor_fails_as_io_open_does(tmp_path):
    held = os.open(tmp_path, os.O_RDONLY)
    fd = os.dup2(held, 900)  # a number nothing else takes meanwhile
    os.close(held)
    os.close(fd)
    with pytest.raises(OSError) as theirs:
        io.open(fd, "rb")

    async def main():
        with pytest.raises(OSError) as ours:
            await kestrelio.open(fd, "rb")
        return ours.value

    ours = run(main)
    assert (type(ours), ours.errno, str(ours)) == (type(theirs.value), theirs.value.errno, str(theirs.value))


def test_open_a_descriptor_with_and_without_closefd(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"one\ntwo\n")

    async def main():
        fd = os.open(p, os.O_RDWR)
        async with kestrelio.open(fd, "r+", closefd=False, encoding="utf-8") as f:
            assert f.name == fd
            assert await f.readline() == "one\n"
            await f.seek(0, os.SEEK_END)
            await f.write("three\n")
        os.fstat(fd)  # still open
        os.lseek(fd, 0, os.SEEK_SET)
        async with kestrelio.open(fd, "rb") as f:
            assert await f.read() == b"one\ntwo\nthree\n"
        with pytest.raises(OSError):
            os.fstat(fd)  # closed with the file

    run(main)


def test_a_descriptor_is_used_from_its_offset_and_left_at_the_position(tmp_path):
    # As with io: the owner's header is not overwritten, and the owner's later writes follow the file's.
    p = tmp_path / "f"

    async def main():
        fd = os.open(p, os.O_RDWR | os.O_CREAT)
        try:
            os.write(fd, b"header\n")
            async with kestrelio.open(fd, "w", closefd=False) as f:
                assert f.tell() == 7
                await f.write("body\n")
            os.write(fd, b"trailer\n")
            os.lseek(fd, 7, os.SEEK_SET)
            async with kestrelio.open(fd, "rb", closefd=False) as f:
                line = await f.readline()
                await f.seek(-3, os.SEEK_CUR)
            return line, os.lseek(fd, 0, os.SEEK_CUR)
        finally:
            os.close(fd)

    assert run(main) == (b"body\n", 9)
    assert p.read_bytes() == b"header\nbody\ntrailer\n"


def test_opener_runs_on_the_calling_thread_with_io_flags(tmp_path):
    import threading

    seen = []

    def opener(path, flags):
        seen.append((path, flags, threading.get_ident()))
        return os.open(path, flags, 0o600)

    p = tmp_path / "f"
    with open(p, "w", opener=lambda path, flags: seen.append(("io", flags)) or os.open(path, flags, 0o600)):
        pass
    io_flags = seen.pop()[1]

    async def main():
        async with kestrelio.open(p, "w", opener=opener) as f:
            await f.write("hi")

    run(main)
    assert seen[0][1] == io_flags and seen[0][2] == threading.get_ident()
    assert p.read_text() == "hi"


def test_a_cancelled_open_through_an_opener_closes_its_descriptor_exactly_once(tmp_path):
    # The opener's descriptor is closed by whoever holds it when the open is cancelled, never by both:
    # a second close would hit whatever took the number meanwhile.
    p = tmp_path / "f"
    p.write_bytes(b"x")

    async def main():
        before = await loop_fds()
        for steps in range(6):
            for _ in range(10):
                task = asyncio.ensure_future(kestrelio.open(p, "rb", opener=os.open).__aenter__())
                for _ in range(steps):
                    await asyncio.sleep(0)
                task.cancel()
                try:
                    await (await task).close()
                    continue
                except asyncio.CancelledError:
                    pass
                taken = os.open(os.devnull, os.O_RDONLY)  # the lowest free number: the opener's, if closed
                for _ in range(5):
                    await asyncio.sleep(0.001)
                os.fstat(taken)
                os.close(taken)
        assert await settle_fds(before) == before

    run(main)


def test_loop_must_be_the_running_one_and_executor_is_ignored(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"x")
    other = asyncio.new_event_loop()

    async def main():
        async with kestrelio.open(p, "rb", loop=asyncio.get_running_loop(), executor=object()) as f:
            assert await f.read() == b"x"
        with pytest.raises(ValueError, match="running event loop"):
            await kestrelio.open(p, "rb", loop=other)

    try:
        run(main)
    finally:
        other.close()


def test_buffered_bytes_of_an_unclosed_file_are_not_lost(tmp_path):
    p = tmp_path / "f"

    async def main():
        f = await kestrelio.open(p, "w", encoding="utf-8")
        await f.write("kept")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            del f
            gc.collect()

    run(main)
    assert p.read_text() == "kept"


def test_temporary_files_are_removed_at_exit_and_kept_without_delete(tmp_path):
    async def main():
        async with kestrelio.tempfile.NamedTemporaryFile("w+", dir=tmp_path, suffix=".txt") as f:
            assert isinstance(f, kestrelio.TextFile)
            name = f.name
            assert os.path.exists(name) and name.endswith(".txt")
            await f.write("text")
            await f.seek(0)
            assert await f.read() == "text"
        assert not os.path.exists(name)
        async with kestrelio.tempfile.NamedTemporaryFile(dir=tmp_path, delete=False) as f:
            assert isinstance(f, kestrelio.BinaryFile)
            await f.write(b"kept")
            kept = f.name
        assert open(kept, "rb").read() == b"kept"
        f = await kestrelio.tempfile.NamedTemporaryFile(dir=tmp_path)
        name = f.name
        await f.close()
        assert not os.path.exists(name), "removed when closed"
        if sys.version_info >= (3, 12):
            async with kestrelio.tempfile.NamedTemporaryFile(dir=tmp_path, delete_on_close=False) as f:
                await f.close()
                assert os.path.exists(f.name), "delete_on_close=False: kept until the block ends"
            assert not os.path.exists(f.name)
        async with kestrelio.tempfile.TemporaryFile(dir=tmp_path) as f:
            assert not os.path.exists(f.name)
            await f.write(b"abc")
            await f.seek(0)
            assert await f.read() == b"abc"
        async with kestrelio.tempfile.SpooledTemporaryFile(10, "w+", dir=tmp_path) as f:
            await f.write("spooled")
            await f.seek(0)
            assert await f.read() == "spooled"
        async with kestrelio.tempfile.TemporaryDirectory(dir=tmp_path) as d:
            assert os.path.isdir(d)
            async with kestrelio.open(os.path.join(d, "inner"), "w") as f:
                await f.write("x")
        assert not os.path.exists(d)
        return kept

    kept = run(main)
    assert sorted(os.listdir(tmp_path)) == [os.path.basename(kept)]


# How each temporary thing is made for an ``async with``.
async def _enter(make):
    return await make.__aenter__()


CANCELLED_MAKES = {
    "TemporaryFile": lambda where: kestrelio.tempfile.TemporaryFile(dir=where),
    "NamedTemporaryFile": lambda where: kestrelio.tempfile.NamedTemporaryFile(dir=where),
    "NamedTemporaryFile-kept": lambda where: kestrelio.tempfile.NamedTemporaryFile(dir=where, delete=False),
    "TemporaryDirectory": lambda where: kestrelio.tempfile.TemporaryDirectory(dir=where),
}


@pytest.mark.parametrize("kind", sorted(CANCELLED_MAKES))
def test_a_temporary_file_or_directory_cancelled_while_made_leaves_nothing_behind(tmp_path, kind):
    # The caller never learns the name of what a cancelled call created: nothing may stay behind.
    async def main():
        made = []
        for steps in range(12):
            for _ in range(3):
                cm = CANCELLED_MAKES[kind](tmp_path)
                got = await cancel_after(_enter(cm), steps)
                if got is None:
                    continue
                made.append(got if isinstance(got, (str, bytes)) else got.name)
                await cm.__aexit__(None, None, None)
        return made

    made = run(main)
    left = {os.path.join(tmp_path, n) for n in os.listdir(tmp_path)}
    assert left <= set(made) if kind == "NamedTemporaryFile-kept" else left == set()


# How each is made and left open (a directory's ``async with`` entered, never left).
LEFT_OPEN = {
    "file": "f = await kestrelio.tempfile.NamedTemporaryFile(dir=where)\n    name = f.name",
    "directory": "f = kestrelio.tempfile.TemporaryDirectory(dir=where)\n    name = await f.__aenter__()",
}


@pytest.mark.parametrize("kind", sorted(LEFT_OPEN))
def test_a_temporary_file_or_directory_never_closed_is_removed_when_collected_and_at_exit(tmp_path, kind):
    body = f"async def make(where):\n    {LEFT_OPEN[kind]}\n    return f, name\n"
    made = {}
    exec(body, {"kestrelio": kestrelio}, made)

    async def main():
        f, name = await made["make"](str(tmp_path))
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always", ResourceWarning)
            del f
            gc.collect()
        assert any(issubclass(w.category, ResourceWarning) for w in seen), "warned, as tempfile's is"
        return name

    assert not os.path.exists(run(main)), "removed when collected, as tempfile's is"
    script = (
        "import asyncio, sys, kestrelio.tempfile\n"
        + body
        + "async def main():\n"
        "    global kept\n"
        "    kept = await make(sys.argv[1])\n"
        "asyncio.run(main())\n"
    )
    import subprocess
    subprocess.run([sys.executable, "-W", "ignore", "-c", script, str(tmp_path)], check=True, env=os.environ)
    assert os.listdir(tmp_path) == [], "removed at exit"


@pytest.mark.parametrize("bad", [3, [1], lambda: None, io.FileIO, "path", None, io.BytesIO(b"x")])
def test_wrap_refuses_what_is_not_an_open_regular_file(bad):
    with pytest.raises(TypeError):
        kestrelio.wrap(bad)


def test_wrap_refuses_a_pipe():
    r, w = os.pipe()
    with open(r, "rb") as pipe:
        os.close(w)
        with pytest.raises(TypeError):
            kestrelio.wrap(pipe)


@pytest.mark.parametrize("mode", ["rb", "r+b", "r", "a+", "rb+"])
def test_wrap_shares_the_file_position_and_mode(tmp_path, mode):
    p = tmp_path / "f"
    p.write_bytes(b"head\nbody\n")

    async def main():
        kw = {} if "b" in mode else {"encoding": "utf-8"}
        with open(p, mode, **kw) as fo:
            if "a" not in mode:
                fo.readline()
                fo.seek(fo.tell())
            async with kestrelio.wrap(fo) as f:
                assert isinstance(f, kestrelio.BinaryFile if "b" in mode else kestrelio.TextFile)
                assert f.name == fo.name
                if "a" in mode:
                    await f.write("tail\n")
                else:
                    rest = await f.read()
                    assert rest in (b"body\n", "body\n")
            assert not fo.closed, "the object stays open"
        with open(p, "rb") as fo:
            f = await kestrelio.wrap(fo, closefd=True)
            await f.close()
            assert fo.closed

    run(main)
    assert p.read_bytes() == (b"head\nbody\ntail\n" if "a" in mode else b"head\nbody\n")


@pytest.mark.parametrize("mode", ["rb+", "r+"])
def test_the_wrapped_object_goes_on_where_the_kestrelio_file_stopped(tmp_path, mode):
    # As when aiofiles' wrapper made the calls on the object itself: no stale position, no stale buffer.
    p = tmp_path / "f"
    p.write_bytes(b"0123456789\nabc\ndef\n")

    async def main():
        kw = {} if "b" in mode else {"encoding": "utf-8"}
        with open(p, mode, **kw) as fo:
            fo.read(1)
            async with kestrelio.wrap(fo) as f:
                assert await f.read(3) in (b"123", "123")
                await f.write(b"XY" if "b" in mode else "XY")
            rest = fo.read(2)
            fo.seek(fo.tell())  # io's text layer writes past its read-ahead otherwise
            fo.write(b"Q" if "b" in mode else "Q")
            fo.seek(0)
            fo.readline()
            async with kestrelio.wrap(fo) as f:
                line = await f.readline()
            return rest, line, fo.readline()

    rest, line, after = run(main)
    assert (rest, line, after) in ((b"67", b"abc\n", b"def\n"), ("67", "abc\n", "def\n"))
    assert p.read_bytes() == b"0123XY67Q9\nabc\ndef\n"
