"""Text files and lines, used the way aiofiles programs use them, against io."""

import asyncio
import io
import os

import pytest

import kestrelio
import kestrelio.binary_reads
from conftest import cancel_after, drop_pages, run
from kestrelio.text_file import TEXT_CHUNK

TEXT = "first line\nsécond líne\r\nthird\rfourth \u2028 not a break\n\nlast without newline"


@pytest.mark.parametrize("binary", [False, True], ids=["text", "binary"])
@pytest.mark.parametrize("mode", ["r", "r+", "a+"])
def test_lines_after_seek_zero_match_io(tmp_path, mode, binary):
    p = tmp_path / "f"
    p.write_bytes(TEXT.encode() * 3)
    m = mode + ("b" if binary else "")
    kw = {} if binary else {"encoding": "utf-8"}
    with open(p, m, **kw) as g:
        g.seek(0)
        want = list(g)
        g.seek(0)
        want_readlines = g.readlines()
        g.seek(0)
        want_hint = g.readlines(30)

    async def main():
        async with kestrelio.open(p, m, **kw) as f:
            await f.seek(0)
            got = [line async for line in f]
            await f.seek(0)
            got_readlines = await f.readlines()
            await f.seek(0)
            got_hint = await f.readlines(30)
            return got, got_readlines, got_hint

    assert run(main) == (want, want_readlines, want_hint)


@pytest.mark.parametrize("binary", [False, True], ids=["text", "binary"])
@pytest.mark.parametrize("mode", ["w", "w+", "a", "a+", "x", "x+", "r+"])
def test_write_flush_read_back_in_every_mode(tmp_path, mode, binary):
    p = tmp_path / "f"
    if "x" not in mode:
        p.write_bytes(b"old\n")
    m = mode + ("b" if binary else "")
    kw = {} if binary else {"encoding": "utf-8"}
    before = p.read_bytes() if p.exists() else b""
    data = ["one\n", "twö\n", "three"]
    enc = [s.encode() for s in data] if binary else data

    async def main():
        async with kestrelio.open(p, m, **kw) as f:
            await f.write(enc[0])
            await f.writelines(enc[1:])
            on_disk = p.read_bytes()
            await f.flush()
            flushed = p.read_bytes()
            if f.readable():
                await f.seek(0)
                back = await f.read()
            else:
                back = None
        return on_disk, flushed, back

    on_disk, flushed, back = run(main)
    with open(tmp_path / "io", "wb") as g:
        g.write(before)
    if "x" in mode:
        os.unlink(tmp_path / "io")
    with open(tmp_path / "io", m, **kw) as g:
        g.write(enc[0])
        g.writelines(enc[1:])
        g.flush()
        if g.readable():
            g.seek(0)
            io_back = g.read()
        else:
            io_back = None
    assert on_disk == before or "w" in mode, "nothing reaches the file before flush"
    assert flushed == (tmp_path / "io").read_bytes() == p.read_bytes()
    assert back == io_back


@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_universal_newlines_read_and_write_as_io(tmp_path, newline):
    p = tmp_path / "f"
    p.write_bytes(b"a\nb\r\nc\rd\r\n\re")
    with open(p, "r", encoding="utf-8", newline=newline) as g:
        want_lines = list(g)
        want_newlines = g.newlines

    async def main():
        async with kestrelio.open(p, "r", encoding="utf-8", newline=newline) as f:
            lines = [line async for line in f]
            seen = f.newlines
        async with kestrelio.open(tmp_path / "w", "w", encoding="utf-8", newline=newline) as f:
            await f.write("x\ny\r\nz\r")
        return lines, seen

    lines, seen = run(main)
    assert lines == want_lines and seen == want_newlines
    with open(tmp_path / "iow", "w", encoding="utf-8", newline=newline) as g:
        g.write("x\ny\r\nz\r")
    assert (tmp_path / "w").read_bytes() == (tmp_path / "iow").read_bytes()


@pytest.mark.parametrize("split", ["\u20ac", "\r\n", "\U0001f985"])
def test_a_character_split_between_two_reads_is_joined(tmp_path, split):
    # The separator straddles the end of the first chunk the text layer reads.
    enc = split.encode()
    head = b"x" * (TEXT_CHUNK - 1) if len(enc) > 1 else b"x" * TEXT_CHUNK
    raw = head + enc + b"tail\n" + b"y" * 10
    p = tmp_path / "f"
    p.write_bytes(raw)
    with open(p, "r", encoding="utf-8") as g:
        want = list(g)
    with open(p, "r", encoding="utf-8") as g:
        want_chars = g.read()

    async def main():
        async with kestrelio.open(p, encoding="utf-8") as f:
            lines = [line async for line in f]
            await f.seek(0)
            chars = []
            while True:
                c = await f.read(1000)
                if not c:
                    break
                chars.append(c)
            return lines, "".join(chars)

    assert run(main) == (want, want_chars)


def test_binary_peek_read1_readinto1_and_positions(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"line one\nline two\n" + bytes(range(256)))

    async def main():
        async with kestrelio.open(p, "r+b") as f:
            assert await f.readline() == b"line one\n" and f.tell() == 9
            peeked = await f.peek(3)
            assert peeked.startswith(b"line two\n") and f.tell() == 9
            assert await f.read1(4) == b"line" and f.tell() == 13
            buf = bytearray(3)
            assert await f.readinto1(buf) == 3 and buf == b" tw" and f.tell() == 16
            assert await f.read(3) == b"o\n\x00" and f.tell() == 19
            assert await f.pread(4, 0) == b"line"
            await f.seek(0, os.SEEK_END)
            assert await f.peek() == b"" and await f.read1() == b"" and await f.readline() == b""

    run(main)


def test_writes_over_read_ahead_are_seen(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"a\nbbbb\ncccc\n")

    async def main():
        async with kestrelio.open(p, "r+b") as f:
            assert await f.readline() == b"a\n"  # the rest is read ahead now
            await f.pwrite(b"XX", 2)
            assert await f.readline() == b"XXbb\n", "pwrite over read-ahead bytes"
            assert f.tell() == 7
            await f.write(b"YY")  # at the position, over read-ahead bytes
            assert f.tell() == 9
            assert await f.readline() == b"cc\n"
            await f.seek(0)
            return await f.read()

    assert run(main) == b"a\nXXbb\nYYcc\n"


def test_a_task_reading_among_the_lines_gets_the_bytes_in_call_order(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"".join(b"%05d\n" % i for i in range(2000)))

    async def main():
        async with kestrelio.open(p, "rb") as f:
            got = []
            taken = []

            async def other():
                for _ in range(50):
                    taken.append(await f.read(6))
                    await asyncio.sleep(0)

            t = asyncio.ensure_future(other())
            async for line in f:
                got.append(line)
                if len(got) % 7 == 0:
                    await asyncio.sleep(0)
            await t
            return got, taken

    got, taken = run(main)
    assert len(got) + len(taken) == 2000
    assert sorted(got + taken) == [b"%05d\n" % i for i in range(2000)], "no line lost or doubled"


def test_a_cancelled_readline_leaves_the_position(tmp_path, monkeypatch):
    # A read of an empty FIFO cannot finish until someone writes; the file is
    # its own writer too (r+), so the read ahead must be small enough to fill.
    monkeypatch.setattr(kestrelio.binary_reads, "READ_AHEAD", 3)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main():
        f = await kestrelio.open(fifo, "r+b")
        writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        try:
            task = asyncio.ensure_future(f.readline())
            await asyncio.sleep(0.05)
            task.cancel()
            os.write(writer, b"abc")
            with pytest.raises(asyncio.CancelledError):
                await task
            assert f.tell() == 0
        finally:
            os.close(writer)
            await f.close()

    run(main)


def test_text_tell_and_seek_round_trip_through_lines(tmp_path):
    p = tmp_path / "f"
    p.write_text("α\nβγ\r\nδ\n" * 50, encoding="utf-8", newline="")

    async def main():
        async with kestrelio.open(p, "r+", encoding="utf-8") as f:
            cookies = []
            lines = []
            while True:
                cookies.append(f.tell())
                line = await f.readline()
                if not line:
                    break
                lines.append(line)
            for i in (17, 3, 0, 42):
                await f.seek(cookies[i])
                assert await f.readline() == lines[i]
            await f.seek(cookies[4])
            assert await f.readline() == lines[4]
            await f.write("ZZ")  # over the two bytes of "δ"
            await f.seek(0)
            return (await f.read()).splitlines()[4:6]

    assert run(main) == ["βγ", "ZZ"], "a write after reading lands where the reader is"


def test_line_buffering_flushes_at_each_newline(tmp_path):
    p = tmp_path / "f"

    async def main():
        async with kestrelio.open(p, "w", buffering=1, encoding="utf-8") as f:
            await f.write("abc")
            first = p.read_bytes()
            await f.write("d\nef")
            second = p.read_bytes()
        async with kestrelio.open(tmp_path / "g", "wb", buffering=0) as g:
            await g.write(b"xyz")
            third = (tmp_path / "g").read_bytes()
        return first, second, third

    assert run(main) == (b"", b"abcd\nef", b"xyz"), "as io: a write with a newline is flushed whole"


def test_text_attributes_as_io(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"x")

    async def main():
        async with kestrelio.open(p, "r+", encoding="latin-1", errors="replace", newline="") as f:
            assert (f.encoding, f.errors, f.mode, f.name) == ("latin-1", "replace", "r+", os.fspath(p))
            assert isinstance(f.buffer, kestrelio.BinaryFile) and f.buffer.mode == "rb+"
            assert f.readable() and f.writable() and f.seekable() and not f.closed
            assert f.fileno() == f.buffer.fileno()
        assert f.closed
        async with kestrelio.open(p) as f:
            assert isinstance(f, kestrelio.TextFile) and f.mode == "r"
            with io.open(p) as g:
                assert f.encoding == g.encoding
        for name, mode in (("f", "rt"), ("f", "w"), ("f", "a+"), ("f", "tr+"), ("new", "x")):
            async with kestrelio.open(tmp_path / name, mode) as f:
                assert isinstance(f, kestrelio.TextFile) and f.mode == mode

    run(main)


def test_text_truncate_drops_decoded_text_past_the_new_end(tmp_path):
    # A reader whose decoded text ran past the new end sees only what is left,
    # and truncate() without a size cuts at the bytes read, even when tell()'s cookie is no byte offset.
    p = tmp_path / "f"
    p.write_bytes(("line one é\r\nline two ✓\n" * (2 * TEXT_CHUNK // 20)).encode())

    async def main():
        async with kestrelio.open(p, "r+", encoding="utf-8") as f:
            await f.read(5)
            await f.seek(f.tell())  # decode chunks from an odd offset, ending inside a character
            first = await f.readline()
            size = await f.truncate(48)
            rest = await f.readlines()
            await f.seek(0)
            await f.readline()
            await f.truncate(5)
            past_end = await f.read()
        p.write_bytes(b"ab\r")
        async with kestrelio.open(p, "r+", encoding="utf-8", newline="") as f:
            await f.read(3)
            assert f.tell() >> 64  # the decoder still holds the "\r"
            at_cr = await f.truncate()
        return first, size, rest, past_end, at_cr

    first, size, rest, past_end, at_cr = run(main)
    assert first == "one é\n"
    assert size == 48
    assert rest == ["line two ✓\n", "line one é\n", "line two "]
    assert past_end == ""
    assert at_cr == 3 and p.read_bytes() == b"ab\r"


def test_cancelled_text_truncate_leaves_no_decoded_text_past_the_end(tmp_path):
    # A cancelled truncate may or may not have resized the file; either way
    # the reader goes on from its position in the file as it now is, and never
    # returns text decoded ahead from bytes the truncate took away.
    p = tmp_path / "f"
    text = "".join(f"row {i:05d}\n" for i in range(5000))

    async def main():
        for i in range(30):
            p.write_text(text)
            async with kestrelio.open(p, "r+") as f:
                first = await f.readline()
                await cancel_after(f.truncate(), 1 + i % 3)
                resized = os.path.getsize(p) == len(first)
                assert await f.readline() == ("" if resized else text[len(first):len(first) + 10]), i

    run(main)


def test_cancelled_text_seek_stays_or_arrives_whole(tmp_path):
    # In a long UTF-7 run the decoder never rests between characters, so the
    # cookie names a start, bytes to decode again and characters to skip. A
    # seek to it cancelled part way must leave the reader where it was or
    # put it at the cookie, never at that start.
    p = tmp_path / "f"
    text = "".join(chr(0x100 + i % 500) for i in range(3000))
    p.write_bytes(text.encode("utf-7"))

    async def main():
        for i in range(24):
            async with kestrelio.open(p, "r", encoding="utf-7") as f:
                await f.read(1001)
                cookie = f.tell()
                await f.seek(0)
                await f.read(7)
                drop_pages(p)
                await cancel_after(f.seek(cookie), i % 4)
                assert await f.read(5) in (text[7:12], text[1001:1006]), i

    run(main)
