"""The write calls of ``BinaryFile``: ``write``, ``writelines``, ``pwrite``, ``flush`` and ``sync``, and the
write buffer they fill and write out."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, Iterable, List

import _kestrelio

from .append_batches import queue_for
from .driver_calls import _await_op, _byte_buffer, _completed_result, _index, _invalid_argument
from .file_parts import FileParts

_running_loop = asyncio.get_running_loop

if TYPE_CHECKING:
    from typing_extensions import Buffer


class BinaryWrites(FileParts):
    """The write calls of :class:`kestrelio.BinaryFile`."""

    __slots__ = ()  # a part holds no state of its own

    async def _flush_writes(self) -> None:
        """Write out the buffered bytes; on cancellation keep those the kernel did not take."""
        buf = self._buf
        while buf.wbuf:
            buf.patched = False
            data = bytes(buf.wbuf)
            fut = _kestrelio.write(self._handle, buf.wstart, data, self._mode.append)
            try:
                _n, end = await _await_op(fut)
            except asyncio.CancelledError:
                done = _completed_result(fut)
                if done is not None and not buf.patched:
                    del buf.wbuf[:len(data)]
                    self._pos = done[0][1]
                raise
            if buf.patched:
                continue  # a pwrite changed bytes while they were on their way: write them again
            del buf.wbuf[:len(data)]
            self._pos = end

    async def write(self, b: Buffer) -> int:
        """Write all of ``b`` at the position (at the end in append mode); returns its length in bytes.

        The bytes are buffered unless the file is unbuffered or they fill the
        buffer; the position moves past them at once. Don't change ``b`` until
        the call has returned (or raised); a ``bytearray`` cannot be resized
        meanwhile.
        """
        if self._closed or not self._mode.write:
            self._check_writable()
        if type(b) is bytes:
            nbytes = len(b)
        else:
            try:
                view = memoryview(b)
            except TypeError:
                raise TypeError(f"a bytes-like object is required, not '{type(b).__name__}'") from None
            with view:
                nbytes = view.nbytes
            b = _byte_buffer(b)
        if nbytes == 0:
            return 0  # as with io, not even an append moves the position
        if self._buf.wsize <= 0:
            if not self._mode.append:
                return await self._write_through(b)
            # Appends share the turn: each joins the file's append queue in
            # call order and the next one is queued without waiting for it to
            # finish; the queue writes them out a batch at a time.
            turns = self._turns
            if not turns.take_shared():
                await turns.wait_shared()
            try:
                if self._buf.lines.data:
                    self._drop_read_ahead()
                queue = self._appends
                if queue is None or queue.loop is not _running_loop():
                    queue = self._appends = queue_for(self._fd, _running_loop())
                fut = queue.add(self, b, nbytes)
                try:
                    n, end = await fut
                except asyncio.CancelledError:
                    at = await queue.cancelled(fut)
                    if at is not None:
                        self._appended_to(at)  # its bytes went out with a batch: follow them
                    raise
                # Appends in flight together may finish in any order: the
                # position is the furthest end among them.
                if self._appended:
                    if end > self._pos:
                        self._pos = end
                else:
                    self._pos = end
                    self._appended = True
                return n
            finally:
                turns.give_shared()
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            self._drop_read_ahead()
            buf = self._buf
            if self._mode.append and not buf.wbuf:
                # Appended bytes land at the end: the position follows them from the start.
                self._pos = await self._size()
            with memoryview(b) as view:
                nbytes = view.nbytes
                if buf.collect(self._pos, view):
                    self._pos += nbytes
                    return nbytes
            if self._buf.wbuf:
                await self._flush_writes()
            with memoryview(b) as view:
                if buf.collect(self._pos, view):
                    self._pos += nbytes
                    return nbytes
            return await self._write_op(b)
        finally:
            turns.give()

    async def _write_through(self, b: Buffer) -> int:
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            self._drop_read_ahead()
            return await self._write_op(b)
        finally:
            turns.give()

    async def _write_op(self, b: Buffer) -> int:
        fut = _kestrelio.write(self._handle, self._pos, b, self._mode.append)
        try:
            n, end = await _await_op(fut)
        except asyncio.CancelledError:
            done = _completed_result(fut)
            if done is not None:
                self._move(done[0][1])  # the bytes reached the file: follow them
            raise
        self._move(end)
        return int(n)

    def _appended_to(self, end: int) -> None:
        # Appends in flight together may finish in any order: the position
        # is the furthest end among them.
        self._pos = max(self._pos, end) if self._appended else end
        self._appended = True

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Write each of ``lines`` in turn (no separators are added).

        Unbuffered in append mode, the lines go out as one append.
        """
        if self._buf.wsize <= 0 and self._mode.append:
            self._check_writable()
            lines = list(lines)
            try:
                joined = b"".join(lines)
            except TypeError:
                pass  # one that is no bytes-like object: line by line, to fail where io fails
            else:
                await self.write(joined)
                return
        for line in lines:
            await self.write(line)

    async def pwrite(self, b: Buffer, pos: int) -> int:
        """Write ``b`` at ``pos`` without moving the file position; returns the byte count.

        On Linux a file opened in append mode appends regardless of ``pos``, as
        :func:`os.pwrite` does. A read-ahead copy of those bytes is dropped.
        """
        self._check_writable()
        pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        if type(b) is not bytes:
            b = _byte_buffer(b)
        if self._mode.append:
            return await self._pwrite_append(b)
        with memoryview(b) as view:
            nbytes = view.nbytes
            self._buf.overlay(pos, view)  # a later flush must not put older bytes back over these
        turns = self._turns
        turns.enter()
        try:
            self._forget_copy(pos, nbytes)
            fut = _kestrelio.write(self._handle, pos, b, False)
            pwrites = self._pwrites
            pwrites.add(fut)
            try:
                n, _end = await _await_op(fut)
            finally:
                pwrites.discard(fut)
                self._forget_copy(pos, nbytes)
            return int(n)
        finally:
            turns.leave()

    async def _pwrite_append(self, b: Buffer) -> int:
        # The kernel appends it like a write: it takes its turn after the writes buffered before it.
        if not self._turns.take():
            await self._turns.wait()
        try:
            await self._settle()
            n, _end = await _await_op(_kestrelio.write(self._handle, self._pos, b, True))
            return int(n)
        finally:
            self._turns.give()

    async def _writes_done(self) -> None:
        """Write out the buffer and wait until every write called so far has finished (for flush and sync)."""
        pending: List[asyncio.Future[Any]] = list(self._pwrites)
        # The turn comes after every position call and append made before.
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self._buf.wbuf:
                await self._flush_writes()
        finally:
            self._turns.give()
        if pending:
            await asyncio.wait(pending)

    async def flush(self) -> None:
        """Write out the buffered bytes and wait for every write called before. Use :meth:`sync` for durability."""
        self._check_open()
        turns = self._turns
        turns.enter()
        try:
            await self._writes_done()
        finally:
            turns.leave()

    async def sync(self, data_only: bool = False) -> None:
        """Make the data of every write called before durable (``fsync``), buffered bytes included.

        With ``data_only`` the backend may flush the data alone, as ``fdatasync``
        does; the runtime backend does so, the POSIX-AIO one always syncs fully.
        """
        self._check_open()
        turns = self._turns
        turns.enter()
        try:
            await self._writes_done()
            await _await_op(_kestrelio.sync(self._handle, bool(data_only)))
        finally:
            turns.leave()
