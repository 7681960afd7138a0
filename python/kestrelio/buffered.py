"""The buffers of a ``BinaryFile``: read-ahead for lines and a write buffer.

Read-ahead is a copy of the file's bytes ``[start, start + len(data))`` kept in
a :class:`_kestrelio.LineIter`, whose ``index`` is the file position while the
copy is in use; ``async for`` takes lines straight from it. Only line calls
(``readline``, ``peek``, ``read1``, iteration) fill it; ``read``, ``seek`` and
every write keep the position where the caller expects it, as
:class:`io.BufferedRandom` does, and a write over the copied range drops it.

Writes collect in a ``bytearray`` that starts at ``wstart`` and reach the file
on ``flush``, on ``close``, before any other call that uses the file's content,
or when the buffer fills.
"""

from __future__ import annotations

from typing import Any, Awaitable, Callable, Optional, Union

import _kestrelio

from .turns import Turns

__all__ = ["FileBuffer", "GatedTurns", "READ_AHEAD", "WRITE_BUFFER", "LINE_QUOTA", "line_iter"]

#: Bytes read ahead at a time for lines. Large enough that a refill is rare
#: beside the lines it yields (one refill per ~2000 lines of 120 bytes).
READ_AHEAD = 256 * 1024
#: Default size of the write buffer (``buffering=-1``).
WRITE_BUFFER = 128 * 1024
#: Lines ``async for`` hands out before it looks at the clock again.
LINE_QUOTA = 512


class _PyLineIter:
    """Stand-in for ``_kestrelio.LineIter`` on builds without it: every step is slow."""

    __slots__ = ("data", "index", "hold", "left", "_slow")

    def __init__(self, slow: Callable[[], Awaitable[Any]]) -> None:
        self.data: Union[str, bytes] = b""
        self.index = 0
        self.hold = 0
        self.left = 0
        self._slow = slow

    def __aiter__(self) -> _PyLineIter:
        return self

    def __anext__(self) -> Awaitable[Any]:
        return self._slow()


_LINE_ITER: Callable[[Callable[[], Awaitable[Any]]], Any] = getattr(_kestrelio, "LineIter", _PyLineIter)


def line_iter(slow: Callable[[], Awaitable[Any]]) -> Any:
    """A line iterator whose slow steps call ``slow()``."""
    return _LINE_ITER(slow)


class GatedTurns(Turns):
    """Turns that keep a LineIter's ``hold`` set while any call has or waits for the turn.

    The fast step of ``async for`` then runs only when the iterating task is
    the file's one user, and every other step takes its turn like any call.
    """

    __slots__ = ("_gate",)

    def __init__(self, gate: Any) -> None:
        super().__init__()
        self._gate = gate

    def take(self) -> bool:
        # Turns.take written out, as take_shared: every read and seek passes here.
        if self._exclusive or self._shared or self._queue:
            return False
        self._exclusive = True
        self._gate.hold = 1
        return True

    def take_shared(self) -> bool:
        # Turns.take_shared written out: every unbuffered append passes here.
        if self._exclusive or self._queue or self._woken:
            return False
        self._shared += 1
        self._gate.hold = 1
        return True

    async def _wait(self, shared: bool) -> None:
        self._gate.hold = 1
        try:
            await super()._wait(shared)
        finally:
            self._gate.hold = int(self.busy)

    def give(self) -> None:
        self._exclusive = False
        if self._queue:
            self._grant()
        elif self._idle is not None:
            self._wake_idle()
        self._gate.hold = 1 if self._shared or self._queue or self._free or self._exclusive else 0

    def give_shared(self) -> None:
        # Turns.give_shared written out, as take_shared.
        self._shared -= 1
        if self._queue and not self._shared:
            self._grant()
        elif self._idle is not None:
            self._wake_idle()
        self._gate.hold = 1 if self._exclusive or self._shared or self._queue or self._free else 0

    def enter(self) -> None:
        # Turns.enter and leave written out, as take_shared: every pread passes here.
        self._free += 1
        self._gate.hold = 1

    def leave(self) -> None:
        self._free -= 1
        if self._idle is not None:
            self._wake_idle()
        self._gate.hold = 1 if self._exclusive or self._shared or self._queue or self._free else 0


class FileBuffer:
    """Read-ahead copy and pending writes of one file."""

    __slots__ = ("lines", "start", "wbuf", "wstart", "wsize", "patched")

    def __init__(self, lines: Any, wsize: int) -> None:
        #: The LineIter holding the read-ahead copy in ``data`` (bytes) and the position in ``index``.
        self.lines = lines
        #: File offset of ``lines.data[0]``.
        self.start = 0
        self.wbuf = bytearray()
        self.wstart = 0
        #: Write buffer size; 0 writes straight through.
        self.wsize = wsize
        #: Set when ``overlay`` changed buffered bytes (a flush in flight writes them again).
        self.patched = False

    # Read-ahead.

    def active(self) -> bool:
        return len(self.lines.data) > 0

    def position(self) -> int:
        """The file position while the copy is in use."""
        return self.start + int(self.lines.index)

    def end(self) -> int:
        return self.start + len(self.lines.data)

    def available(self) -> bytes:
        """The copied bytes from the position on (a copy of a slice)."""
        data: bytes = self.lines.data
        i = int(self.lines.index)
        return data[i:] if i else data

    def move(self, pos: int) -> bool:
        """Put the position at ``pos`` if the copy covers it; else drop the copy. Returns whether it stayed."""
        if self.start <= pos <= self.end() and self.active():
            self.lines.index = pos - self.start
            return True
        self.drop()
        return False

    def drop(self) -> None:
        self.lines.data = b""
        self.lines.index = 0
        self.start = 0

    def refill(self, pos: int, data: bytes) -> None:
        """The copy becomes ``data`` read at ``pos``, with the position at ``pos``."""
        self.lines.data = data
        self.lines.index = 0
        self.start = pos

    def take(self, n: int) -> bytes:
        """Up to ``n`` copied bytes at the position (all of them when ``n`` is negative); the position follows."""
        data: bytes = self.lines.data
        i = int(self.lines.index)
        j = len(data) if n < 0 else min(len(data), i + n)
        self.lines.index = j
        return data[i:j]

    def take_line(self, limit: int, at_eof: bool) -> Optional[bytes]:
        """The next line (at most ``limit`` bytes when ``limit`` >= 0) if the copy holds all of it, else None.

        At end of file the rest of the copy is a line.
        """
        data: bytes = self.lines.data
        i = int(self.lines.index)
        stop = len(data) if limit < 0 else min(len(data), i + limit)
        nl = data.find(b"\n", i, stop)
        if nl >= 0:
            j = nl + 1
        elif (limit >= 0 and stop - i >= limit) or at_eof:
            j = stop
        else:
            return None
        self.lines.index = j
        return data[i:j]

    # Writes.

    def pending(self) -> bool:
        return bool(self.wbuf)

    def overlay(self, pos: int, data: memoryview) -> None:
        """``data`` is written at ``pos`` past the buffer: put it over the buffered bytes it covers."""
        wbuf = self.wbuf
        lo = max(pos, self.wstart)
        hi = min(pos + data.nbytes, self.wstart + len(wbuf))
        if lo < hi:
            with data.cast("B") as flat:
                wbuf[lo - self.wstart:hi - self.wstart] = flat[lo - pos:hi - pos]
            self.patched = True

    def collect(self, pos: int, data: memoryview) -> bool:
        """Add ``data`` written at ``pos`` to the buffer if it fits and continues it. Returns whether it did."""
        if self.wsize <= 0 or len(self.wbuf) + data.nbytes > self.wsize:
            return False
        if not self.wbuf:
            self.wstart = pos
        elif self.wstart + len(self.wbuf) != pos:
            return False
        self.wbuf += data
        return True
