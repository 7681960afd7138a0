"""The line calls of ``BinaryFile``: ``readline``, ``readlines``, ``peek``, ``read1``, ``readinto1``, ``chunks``
and ``async for``, all served from the read-ahead copy."""

from __future__ import annotations

import asyncio
import time
from typing import TYPE_CHECKING, AnyStr, AsyncIterator, Awaitable, Callable, List, Optional

from .buffered import LINE_QUOTA, READ_AHEAD
from .driver_calls import CHUNK_SIZE, _index
from .file_parts import FileParts

if TYPE_CHECKING:
    from typing_extensions import Buffer


#: Default chunk size of ``f.chunks()``: one operation, never split.
ITER_CHUNK = CHUNK_SIZE
#: ``async for`` lets the loop run at least this often (seconds) while it finds lines in the buffer; with the
#: refill that may follow, a loop never waits much beyond a millisecond.
YIELD_EVERY = 0.0005


async def read_lines(readline: Callable[[], Awaitable[AnyStr]], limit: int) -> List[AnyStr]:
    """What ``readline`` gives until it gives nothing; stop once ``limit`` units are read when ``limit`` > 0."""
    lines: List[AnyStr] = []
    total = 0
    while True:
        line = await readline()
        if not line:
            return lines
        lines.append(line)
        total += len(line)
        if 0 < limit <= total:
            return lines


class BinaryLines(FileParts):
    """The line calls of :class:`kestrelio.BinaryFile`; they take their turn as the other position calls do."""

    __slots__ = ()  # a part holds no state of its own

    async def peek(self, size: int = 0) -> bytes:
        """The bytes at the position without moving it: at least one unless at end of file, maybe more than ``size``."""
        self._check_readable()
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
            buf = self._buf
            if not buf.active() or buf.position() >= buf.end():
                await self._read_ahead()
            return buf.available() if buf.active() else b""
        finally:
            self._turns.give()

    async def read1(self, size: Optional[int] = -1) -> bytes:
        """Up to ``size`` bytes with at most one read of the file (read-ahead bytes first)."""
        self._check_readable()
        n = -1 if size is None else _index(size, "size")
        if n == 0:
            return b""
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
            buf = self._buf
            if buf.active() and buf.position() < buf.end():
                return buf.take(n)
            start = self._where()
            data = await self._read_at(start, READ_AHEAD if n < 0 else n)
            self._move(start + len(data))
            return data
        finally:
            self._turns.give()

    async def readinto1(self, b: Buffer) -> int:
        """Fill ``b`` with at most one read of the file; returns the byte count."""
        self._check_readable()
        with memoryview(b) as view, view.cast("B") as target:
            if target.readonly:
                raise TypeError(f"readinto() argument must be read-write bytes-like object, not {type(b).__name__}")
            data = await self.read1(target.nbytes)
            target[:len(data)] = data
        return len(data)

    async def readline(self, size: Optional[int] = -1) -> bytes:
        """The next line, with its ``b"\\n"``; at most ``size`` bytes when ``size`` >= 0; ``b""`` at end of file."""
        self._check_readable()
        limit = -1 if size is None else _index(size, "size")
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
            buf = self._buf
            start = self._where()
            try:
                at_eof = False
                while True:
                    if buf.active():
                        line = buf.take_line(limit, at_eof)
                        if line is not None:
                            return line
                    if at_eof or limit == 0:
                        return b""
                    at_eof = not await self._read_ahead()
            except BaseException:
                self._move(start)
                raise
        finally:
            self._turns.give()

    async def readlines(self, hint: Optional[int] = -1) -> List[bytes]:
        """The remaining lines; stop once ``hint`` bytes are read when ``hint`` > 0."""
        return await read_lines(self.readline, -1 if hint is None else _index(hint, "hint"))

    async def _next_line(self) -> bytes:
        """The slow step of ``async for``: refill, take the turn, and let the loop run every millisecond."""
        # Checked at each refill and every LINE_QUOTA lines: cheap beside the lines between.
        if time.perf_counter() - self._yield_at >= YIELD_EVERY:
            await asyncio.sleep(0)
            self._yield_at = time.perf_counter()
        self._buf.lines.left = LINE_QUOTA
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    def chunks(self, size: int = ITER_CHUNK) -> AsyncIterator[bytes]:
        """Iterate from the position to end of file in chunks of ``size`` bytes (the last may be shorter).

        Each chunk moves the position as ``read(size)`` does, and takes its
        turn as that call would.
        """
        size = _index(size, "chunk size")
        if size <= 0:
            raise ValueError("chunk size must be positive")
        self._check_readable()
        return self._chunks(size)

    async def _chunks(self, size: int) -> AsyncIterator[bytes]:
        while True:
            chunk = await self.read(size)
            if not chunk:
                return
            yield chunk

    def __aiter__(self) -> AsyncIterator[bytes]:
        """``async for line in f``: the lines from the position on, as :meth:`readline` gives them."""
        self._check_readable()
        self._yield_at = time.perf_counter()
        it: AsyncIterator[bytes] = self._buf.lines
        return it
