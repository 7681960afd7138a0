"""``BinaryFile``: an asyncio file object in the conventions of :class:`io.FileIO`.

Cancellation
------------
Cancelling a task that waits in any method raises :class:`asyncio.CancelledError`
in it only after the kernel has let go of the memory involved: once it is raised,
no buffer passed to :meth:`BinaryFile.readinto` or :meth:`BinaryFile.write` is
touched any more. The file stays open and usable, and its position is what the
completed work implies:

* a cancelled read (``read``, ``readinto``, ``readall``, ``readline``, a step
  of ``async for``) never moves the position, even when the kernel had already finished it: the
  caller never received those bytes, so the next read returns them again. The
  buffer of a cancelled ``readinto`` may hold some or all of the data.
* a cancelled ``write`` moves the position when the kernel had finished it
  before the abort: the bytes are in the file and the position follows them,
  as after a normal write, so a later write never overwrites them. A write
  the backend aborted leaves the position where it was. An abort is not
  transactional: a large write aborted half way may have written a prefix,
  so a caller that needs the file exact retries the same write at the same
  position (which the unchanged position makes the default).
* a cancelled ``seek``, ``truncate`` or ``size`` leaves the position alone; a
  cancelled ``truncate`` may or may not have resized the file.

Cancelling a task in ``open`` closes the file again if the open had finished.

Sharing a file between tasks
----------------------------
One ``BinaryFile`` may be used by many tasks at once. The calls that use or
move the position (``read``, ``readinto``, ``readall``, ``read1``, ``peek``,
``readline``, ``write``, ``flush``, ``seek``, ``truncate``, each step of
``async for`` or ``chunks``) take effect one after
another in the order they were called, as io's buffered objects do under their
lock: no byte is lost, duplicated or overwritten. A task cancelled while it
waits for its turn leaves without effect, and the calls behind it go on.

* In append mode a write does not wait for the appends called before it to
  finish; appends reach the kernel in call order, and a position call after
  them sees all of them. Unbuffered appends go out in batches, one queue per
  file and loop (:mod:`kestrelio.append_batches` tells what cancelling one does).
* ``flush`` and ``sync`` cover every write called before them, ``pwrite``
  included.
* ``close`` lets every call already made finish first; calls made after it
  raise ``ValueError``.
* ``tell`` gives the position after the calls that have completed.
* ``size``, ``pread``, ``preadinto``, ``pwrite``, ``pread_many`` and
  ``pwrite_many`` do not wait for a turn: they run concurrently with
  everything else.

A task that uses the file alone never suspends for its turn.
"""

from __future__ import annotations

import asyncio
import atexit
import io
import os
import warnings
import weakref
from types import TracebackType
from typing import Any, Awaitable, Callable, Optional, Set, Type

import _kestrelio

from .binary_lines import ITER_CHUNK, BinaryLines
from .binary_reads import _FAST_PATH, BinaryReads
from .append_batches import AppendQueue
from .binary_writes import BinaryWrites
from .buffered import WRITE_BUFFER, FileBuffer, GatedTurns, line_iter
from .fast_reads import FastPathLike
from .driver_calls import (
    CHUNK_SIZE, PARALLEL_MIN, StrOrBytesPath, _await_op, _close_handle, _discard, _index, _invalid_argument,
)
from .modes import Mode
from .positional_batches import PositionalBatches
from .turns import Turns

__all__ = ["BinaryFile", "StrOrBytesPath", "CHUNK_SIZE", "PARALLEL_MIN", "ITER_CHUNK"]

_CLOSED_MSG = "I/O operation on closed file."
_WHENCES = (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END)

# The buffered writable files this process opened, for the exit hook below.
_buffered: "weakref.WeakSet[BinaryFile]" = weakref.WeakSet()


def _write_out_at_exit() -> None:
    """Put the bytes still buffered in open files into them, as io does at exit.

    A file is normally seen to by ``close`` or, when it is collected, by
    ``__del__``. But a program that ends without finishing its loop (an
    exception out of ``run_until_complete``, a loop never closed) while an
    operation is still in flight leaves that operation's task, and every file
    it holds, alive to the end: nothing would write their buffers. A file with
    a call in progress is left alone, since its own write may be on its way;
    so are files inherited across ``fork``, whose bytes the parent writes.
    """
    for f in list(_buffered):
        if not f._closed and f._buf.wbuf and not f._turns.busy:
            f._write_out()


def _forget_inherited() -> None:
    global _buffered
    _buffered = weakref.WeakSet()


atexit.register(_write_out_at_exit)
os.register_at_fork(after_in_child=_forget_inherited)


class BinaryFile(BinaryReads, BinaryLines, BinaryWrites, PositionalBatches):
    """An open regular file with non-blocking reads and writes.

    Obtain one with :func:`kestrelio.open` in a binary mode. The methods mirror
    :class:`io.BufferedRandom` (``read``, ``read1``, ``readinto``, ``readline``,
    ``readlines``, ``peek``, ``write``, ``writelines``, ``seek``, ``truncate``,
    ``flush``, ...) but are coroutines; ``tell``, ``fileno``, ``closed``,
    ``name`` and ``mode`` are plain. ``pread``/``pwrite`` work at an explicit
    position and leave the file position alone. ``async for line in f`` yields
    lines as io does; ``f.chunks(size)`` yields chunks of bytes.

    Writes collect in a buffer (unless the file was opened with
    ``buffering=0``) and reach the file on ``flush``, ``close``, when the buffer
    fills, or before any call that reads or resizes the file; ``sync`` makes
    them durable. Reads of data already in the page cache are served at once on
    the calling thread; everything else goes to the backend without blocking
    the loop.

    Tasks may share the object: calls that use the position take turns in
    call order, ``pread``/``pwrite``/``size`` run concurrently, ``close``
    waits for the calls already made. See the module documentation for the
    details and for what cancellation does to the position.
    """

    __slots__ = ("_handle", "_fd", "_name", "_mode", "_pos", "_closed", "_regular", "_fast", "_fast_confirmed",
                 "_fast_misses", "_fast_skip",
                 "_turns", "_pwrites", "_appended", "_appends", "_closing", "_buf", "_closefd", "_yield_at", "on_close",
                 "keep_offset", "__weakref__")

    def __init__(self, handle: int, fd: int, name: Any, mode: Mode, pos: int, regular: bool = True,
                 buffer_size: int = WRITE_BUFFER, closefd: bool = True) -> None:
        self._handle = handle
        self._fd = fd
        self._name = name
        self._mode = mode
        self._pos = pos
        self._closed = False
        self._regular = regular
        # The FastPath borrows ``fd``; it is dropped before the file is closed.
        self._fast: Optional[FastPathLike] = _FAST_PATH(fd) if mode.read and _FAST_PATH is not None else None
        self._fast_confirmed = False
        self._fast_misses = 0  # reads the FastPath declined in a row
        self._fast_skip = 0  # reads left to send to the driver without asking it
        self._buf = FileBuffer(line_iter(self._next_line), buffer_size)
        # The fast step of ``async for`` runs only while no call has or waits for the turn.
        self._turns: Turns = GatedTurns(self._buf.lines)
        self._pwrites: Set[asyncio.Future[Any]] = set()  # in flight, for flush and sync to wait on
        # Whether the position is the end of an append that ran since the
        # last position call: concurrent appends may finish in any order.
        self._appended = False
        self._appends: Optional[AppendQueue] = None  # the file's append queue, on the first unbuffered append
        self._closing: Optional[asyncio.Future[None]] = None
        self._closefd = closefd
        self._yield_at = 0.0
        #: Awaited once the file is closed (a temporary file removes itself there).
        self.on_close: Optional[Callable[[], Awaitable[None]]] = None
        #: Set when the descriptor stays open for its owner: close leaves its offset at the position.
        self.keep_offset = False
        if mode.write and buffer_size:
            _buffered.add(self)

    @property
    def name(self) -> Any:
        """The path the file was opened with (or the descriptor number)."""
        return self._name

    @property
    def mode(self) -> str:
        """The mode as :attr:`io.FileIO.mode` spells it ("rb", "rb+", "ab", ...)."""
        return self._mode.name

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def raw(self) -> BinaryFile:
        """The file itself: kestrelio has no separate raw layer."""
        return self

    def fileno(self) -> int:
        self._check_open()
        return self._fd

    def isatty(self) -> bool:
        self._check_open()
        return False

    def readable(self) -> bool:
        self._check_open()
        return self._mode.read

    def writable(self) -> bool:
        self._check_open()
        return self._mode.write

    def seekable(self) -> bool:
        self._check_open()
        return True

    def tell(self) -> int:
        """The position after the calls that have completed (buffered writes included)."""
        self._check_open()
        return self._where()

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return f"<kestrelio.BinaryFile name={self._name!r} mode={self.mode!r}{state}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(_CLOSED_MSG)

    def _check_readable(self) -> None:
        self._check_open()
        if not self._mode.read:
            raise io.UnsupportedOperation("File not open for reading")

    def _check_writable(self) -> None:
        self._check_open()
        if not self._mode.write:
            raise io.UnsupportedOperation("File not open for writing")

    # The position, the read-ahead copy and the write buffer; callers hold the turn.

    def _where(self) -> int:
        buf = self._buf
        return buf.position() if buf.active() else self._pos

    def _move(self, pos: int) -> None:
        self._buf.move(pos)
        self._pos = pos
        self._appended = False

    def _drop_read_ahead(self) -> None:
        if self._buf.active():
            self._pos = self._buf.position()
            self._buf.drop()

    async def _settle(self) -> None:
        """Write out the buffered bytes and drop the read-ahead copy: the file as it is now, for a position call."""
        if self._buf.wbuf:
            await self._flush_writes()
        self._drop_read_ahead()

    def _forget_copy(self, pos: int, n: int) -> None:
        """Drop the read-ahead copy if ``n`` bytes written at ``pos`` overlap it."""
        buf = self._buf
        if buf.active() and pos < buf.end() and pos + n > buf.start:
            self._drop_read_ahead()

    async def _flush_in_turn(self) -> None:
        """For the calls that take no turn: write out the buffered bytes first, in turn."""
        if not self._buf.wbuf:
            return
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
        finally:
            self._turns.give()

    async def truncate(self, size: Optional[int] = None) -> int:
        """Resize the file to ``size`` bytes (default: the position); the position stays. Returns the size."""
        self._check_writable()
        if size is not None:
            size = _index(size, "size")
            if size < 0:
                raise _invalid_argument()
        turns = self._turns
        if not self._turns.take():
            await self._turns.wait()
        try:
            await self._settle()
            if size is None:
                size = self._pos
            # A later append must not take the end of one before this as the position.
            self._appended = False
            await _await_op(_kestrelio.set_len(self._handle, size))
            return size
        finally:
            turns.give()

    async def size(self) -> int:
        """The file's current size in bytes, buffered writes included."""
        self._check_open()
        await self._flush_in_turn()
        turns = self._turns
        turns.enter()
        try:
            return await self._size()
        finally:
            turns.leave()

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position as :meth:`io.BufferedRandom.seek` does; returns the new position.

        Seeking past the end is allowed; a write there leaves a hole, a read
        returns ``b""``. Buffered writes reach the file first, and read-ahead
        bytes are dropped, so reads after a seek see the file as it is now.
        """
        self._check_open()
        if type(offset) is not int:
            offset = _index(offset, "offset")
        if whence not in _WHENCES:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            # _settle written out: a seek before every read is a common pattern.
            if self._buf.wbuf:
                await self._flush_writes()
            self._drop_read_ahead()
            if whence == os.SEEK_SET:
                new = offset
            elif whence == os.SEEK_CUR:
                new = self._pos + offset
            else:
                new = await self._size() + offset
            if new < 0:
                raise _invalid_argument()
            self._pos = new
            self._appended = False
            return new
        finally:
            turns.give()

    async def close(self) -> None:
        """Write out the buffered bytes and close the file. Closing a closed file does nothing.

        The calls already made, of this task or others, finish first; a task
        cancelled while close waits for them still gets the file closed. A
        file opened over a descriptor with ``closefd=False`` leaves that
        descriptor open.
        """
        if self._closed:
            closing = self._closing
            if closing is not None:
                await asyncio.shield(closing)  # a close still waiting for calls in flight
            return
        cancelled = False
        try:
            if self._buf.wbuf:
                await self._flush_in_turn()
        except asyncio.CancelledError:
            cancelled = True
            raise
        finally:
            self._closed = True
            self._pos = self._where()
            self._buf.drop()
            # Cancelled, the flush leaves the bytes the kernel did not take: they still go out before the close.
            rest = cancelled and bool(self._buf.wbuf)
            if self._turns.busy or rest:
                closing = self._closing = asyncio.ensure_future(self._close_when_idle(rest))
                _discard(closing)
                await asyncio.shield(closing)
            else:
                await self._close_now()

    async def _close_when_idle(self, flush: bool = False) -> None:
        await self._turns.idle()
        try:
            if flush and self._buf.wbuf:
                await self._flush_writes()
        finally:
            await self._close_now()

    async def _close_now(self) -> None:
        self._fast = None  # the FastPath borrows the descriptor: drop it first
        appends = self._appends
        if appends is not None:
            # Appends of other objects on the same file may be riding on this descriptor.
            self._appends = None
            await appends.release(self)
        if self.keep_offset:
            # The descriptor's owner carries on where this file stopped, as after io.
            try:
                os.lseek(self._fd, self._pos, os.SEEK_SET)
            except OSError:
                pass
        try:
            await _close_handle(self._handle)
        finally:
            on_close, self.on_close = self.on_close, None
            if on_close is not None:
                await on_close()

    async def __aenter__(self) -> BinaryFile:
        return self

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.close()

    def _write_out(self) -> None:
        """Write the buffered bytes with plain system calls, for when no loop will."""
        buf = self._buf
        data = bytes(buf.wbuf)
        buf.wbuf.clear()
        pos = buf.wstart
        try:
            while data:
                n = os.write(self._fd, data) if self._mode.append else os.pwrite(self._fd, data, pos)
                if n <= 0:
                    break
                data = data[n:]
                pos += n
        except OSError:
            pass

    def __del__(self) -> None:
        if getattr(self, "_closed", True):
            return
        message = f"unclosed file {self!r}"  # before _closed is set, or the repr says "closed"
        self._closed = True
        self._fast = None
        if self._buf.wbuf:
            self._write_out()  # the loop may be gone: put the bytes in the file here rather than lose them
        try:
            _discard(_kestrelio.close(self._handle))
        except Exception:  # no running loop: the handle stays with the driver
            pass
        if self._closefd:  # as io: a descriptor kept by its owner is not this file's to leak
            # Last: where warnings are errors the data and the handle are already seen to.
            warnings.warn(message, ResourceWarning, source=self, stacklevel=2)
