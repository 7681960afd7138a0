"""The read calls of ``BinaryFile``: ``read``, ``readall``, ``readinto``, ``pread`` and ``preadinto``, served by the
FastPath where the page cache holds the bytes and by the driver otherwise, and the read-ahead that lines use."""

from __future__ import annotations

import asyncio
import operator
from typing import TYPE_CHECKING, Callable, Optional

import _kestrelio

from . import fast_reads
from .buffered import READ_AHEAD
from .driver_calls import (CHUNK_SIZE, PARALLEL_MIN, _await_op, _index, _invalid_argument, _read_op, _read_to_eof,
                           _target_size, _until_let_go)
from .fast_reads import FastPathLike
from .file_parts import FileParts

if TYPE_CHECKING:
    from typing_extensions import Buffer
else:  # only a name in annotations; any object with the buffer protocol will do
    Buffer = object


# Older builds of the extension have no FastPath; every read then takes the driver.
_FAST_PATH: Optional[Callable[[int], FastPathLike]] = getattr(_kestrelio, "FastPath", None)
#: After the FastPath declined this many reads in a row, a file asks it only
#: once in 2 ** (MISS_STREAK_MAX - 1) reads until it serves one again: each
#: declined attempt costs a cold random read about 3 us of the loop thread's
#: time, while a single miss among cached reads costs no later read its chance.
MISS_STREAK_MAX = 5


class BinaryReads(FileParts):
    """The read calls of :class:`kestrelio.BinaryFile`."""

    __slots__ = ()  # a part holds no state of its own

    def _fast_missed(self) -> None:
        """The FastPath declined: ask once whether it can ever serve, and drop it if not."""
        fp = self._fast
        if fp is None or self._fast_confirmed:
            return
        if fp.supported():
            self._fast_confirmed = True
        else:
            self._fast = None

    def _fast_declined(self) -> None:
        """The FastPath declined a read: count the streak and skip attempts while it lasts."""
        self._fast_missed()
        m = self._fast_misses = min(self._fast_misses + 1, MISS_STREAK_MAX)
        self._fast_skip = (1 << (m - 1)) - 1

    async def _size(self) -> int:
        fp = self._fast
        if fp is not None:
            s = fp.size()
            if s is not None:
                return s
        size: int = await _await_op(_kestrelio.size(self._handle))
        return size

    def _size_is_length(self) -> bool:
        """Whether the size fstat gives is where reads end: true of files the page cache maps."""
        fp = self._fast
        if fp is not None and not self._fast_confirmed:
            self._fast_missed()
        return self._fast is not None

    async def _read_at(self, pos: int, n: int) -> bytes:
        if n == 0:
            return b""
        if n > CHUNK_SIZE and self._regular:
            # The result is allocated up front, so a read(n) far beyond the
            # end of file is cut to the size seen now; a short result still
            # means end of file, as with io.
            size = await self._size()
            if size == 0 and not self._size_is_length():  # procfs says 0 whatever it holds
                return await _read_to_eof(self._handle, pos, self._size, False, n)
            n = max(0, min(n, size - pos))
            if n == 0:
                return b""
        fp = self._fast
        if fp is not None:
            if self._fast_skip:
                self._fast_skip -= 1
            else:
                if fast_reads.turn_due(n):
                    await fast_reads.take_turn()
                data = fast_reads.read(fp, pos, n)
                if data is not None:
                    if self._fast_misses:
                        self._fast_misses = 0
                    return data
                self._fast_declined()
        if n >= PARALLEL_MIN:
            return await _read_op(self._handle, pos, n)
        # _read_op written out: every read the page cache cannot serve passes here.
        fut = _kestrelio.read(self._handle, pos, n)
        try:
            data = await fut
        except asyncio.CancelledError:
            await _until_let_go(fut)
            raise
        return data

    async def _read_all(self, pos: int) -> bytes:
        fp = self._fast
        if fp is not None:
            if fast_reads.turn_due(fast_reads.FAST_MAX):
                await fast_reads.take_turn()
            data = fast_reads.read_all(fp, pos)
            # An empty answer comes from fstat alone; trust it only from a
            # file the fast path can map (procfs files say 0 whatever they hold).
            if data is not None and (data or self._size_is_length()):
                return data
            self._fast_missed()
        if not self._regular:
            whole: bytes = await _await_op(_kestrelio.read_to_end(self._handle, pos))
            return whole
        return await _read_to_eof(self._handle, pos, self._size, self._size_is_length())

    async def read(self, n: Optional[int] = -1) -> bytes:
        """Read up to ``n`` bytes at the position; to end of file when ``n`` is negative or None.

        Fewer bytes come back only at end of file, and ``b""`` there. The
        position moves by the length of the result.
        """
        self._check_readable()
        if n is None:
            n = -1
        else:
            try:
                n = operator.index(n)
            except TypeError:
                raise TypeError(f"argument should be integer or None, not '{type(n).__name__}'") from None
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            buf = self._buf
            if buf.wbuf:
                await self._flush_writes()
            if not buf.lines.data:  # no read-ahead copy: the common case, kept short
                start = self._pos
                data = await (self._read_all(start) if n < 0 else self._read_at(start, n))
                self._pos = start + len(data)
                self._appended = False
                return data
            start = buf.position()
            head = buf.take(n)
            try:
                pos = start + len(head)
                rest = await (self._read_all(pos) if n < 0 else self._read_at(pos, n - len(head)))
            except BaseException:
                self._move(start)
                raise
            self._move(pos + len(rest))
            return head + rest if head else rest
        finally:
            turns.give()

    async def readall(self) -> bytes:
        """Read from the position to end of file."""
        return await self.read(-1)

    async def _readinto_at(self, b: Buffer, pos: int, nbytes: int) -> int:
        fp = self._fast
        if fp is not None:
            if self._fast_skip:
                self._fast_skip -= 1
            else:
                if fast_reads.turn_due(nbytes):
                    await fast_reads.take_turn()
                got = fast_reads.readinto(fp, pos, b, nbytes)
                if got is not None:
                    if self._fast_misses:
                        self._fast_misses = 0
                    return got
                self._fast_declined()
        fut = _kestrelio.readinto(self._handle, pos, b)
        try:
            n: int = await fut
        except asyncio.CancelledError:
            await _until_let_go(fut)
            raise
        return n

    async def readinto(self, b: Buffer) -> int:
        """Fill the writable buffer ``b`` from the position; returns the number of bytes read.

        Don't touch ``b`` until the call has returned (or raised).
        """
        self._check_readable()
        nbytes = _target_size(b)
        if nbytes == 0:
            return 0
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
            if not self._buf.lines.data:  # no read-ahead copy: the common case, kept short
                start = self._pos
                n = await self._readinto_at(b, start, nbytes)
                self._pos = start + n
                self._appended = False
                return n
            start = self._buf.position()
            try:
                with memoryview(b) as view, view.cast("B") as target:
                    head = self._buf.take(target.nbytes)
                    k = len(head)
                    target[:k] = head
                    if k == target.nbytes:
                        n = k
                    else:
                        with target[k:] as rest:
                            n = k + await self._readinto_at(rest, start + k, rest.nbytes)
            except BaseException:
                self._move(start)
                raise
            self._move(start + n)
            return n
        finally:
            turns.give()

    async def pread(self, n: int, pos: int) -> bytes:
        """Read up to ``n`` bytes at ``pos`` without moving the file position, like :func:`os.pread`."""
        if self._closed or not self._mode.read:
            self._check_readable()
        if type(n) is not int or type(pos) is not int:
            n, pos = _index(n, "size"), _index(pos, "position")
        if n < 0 or pos < 0:
            raise _invalid_argument()
        if self._buf.wbuf:
            await self._flush_in_turn()
        turns = self._turns
        turns.enter()
        try:
            return await self._read_at(pos, n)
        finally:
            turns.leave()

    async def preadinto(self, b: Buffer, pos: int) -> int:
        """Fill ``b`` from ``pos`` without moving the file position."""
        if self._closed or not self._mode.read:
            self._check_readable()
        if type(pos) is not int:
            pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        nbytes = _target_size(b)
        if nbytes == 0:
            return 0
        if self._buf.wbuf:
            await self._flush_in_turn()
        turns = self._turns
        turns.enter()
        try:
            return await self._readinto_at(b, pos, nbytes)
        finally:
            turns.leave()

    async def _read_ahead(self) -> bool:
        """Extend the read-ahead copy from the position; False at end of file."""
        buf = self._buf
        pos = self._where()
        rest = buf.available() if buf.active() else b""
        chunk = await self._read_at(pos + len(rest), max(READ_AHEAD, len(rest)))
        if not chunk:
            return False
        buf.refill(pos, rest + chunk if rest else chunk)
        return True
