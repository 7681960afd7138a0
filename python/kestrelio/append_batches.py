"""Group commit for appends: the appends queued for one file go to the kernel as one write.

While an append of a file is in flight, the appends called after it wait in a
queue; when it completes, the queue goes out as one write of their bytes
joined in call order (up to ``BATCH_MAX`` bytes; a payload larger than
``JOIN_MAX``, or one that is not ``bytes``/``bytearray``, goes alone and is
lent to the kernel uncopied). Each caller still learns its own result: its
byte count and where its bytes end, or its own exception. One write per file
is in flight at a time, so the bytes reach the file in call order.

The queue belongs to the file, not to the object: every unbuffered
``BinaryFile`` in append mode on one event loop whose descriptor has
``O_APPEND`` and refers to the same file (``st_dev``, ``st_ino``) shares one,
and a batch is written through the descriptor of its first caller. With
``O_APPEND`` the kernel puts the bytes at the end whichever descriptor
carries them. That caller's object holds its turn until the batch has
answered (the turn is given back only once the caller has its result), so
its ``close`` waits for the batch and the descriptor stays open under it.

Cancellation: an append still waiting in the queue leaves it at once and
nothing of it is written. An append whose bytes were already submitted is
not withdrawn (that would take its neighbours with it): the caller waits for
the write and then gets ``CancelledError``, with its bytes in the file, as
after a ``write`` the kernel had finished before the abort.

A failed batch of several appends: the file's size after the failure tells
how far the write came (from where the previous batch of the queue ended).
The callers whose bytes lie wholly within the written part succeed; the
others get the error, each its own exception object. No byte is written twice
and none is reported written that is not. A writer outside the queue that
appends at the same moment may blur that split; if the size cannot be read
either, every caller of the batch gets the error.
"""

from __future__ import annotations

import asyncio
import os
import weakref
from collections import deque
from typing import TYPE_CHECKING, Any, Deque, List, Optional, Tuple

import _kestrelio

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["Append", "AppendQueue", "BATCH_MAX", "JOIN_MAX", "queue_for"]

#: Most bytes one batch joins. bench/appends.py: 64 tasks of 100-byte lines
#: fill at most about 6 KiB per batch; the cap only bounds the copy.
BATCH_MAX = 64 * 1024
#: Payloads larger than this are written alone, lent rather than copied.
JOIN_MAX = 4 * 1024

_QUEUED, _SUBMITTED = 0, 1


class Append(asyncio.Future):  # type: ignore[type-arg]
    """One caller's append: a future that answers ``(n, end)``.

    Cancelling it while it waits in the queue takes it out (nothing is
    written); once submitted it cannot be withdrawn, and ``cancel`` answers
    False so the awaiting task is cancelled only when the write has answered.
    """

    # Class defaults rather than an __init__ of Python: one is made per append.
    data: Any = None
    nbytes = 0
    handle = 0
    state = _QUEUED
    queue: Optional[AppendQueue] = None

    def cancel(self, msg: Optional[Any] = None) -> bool:
        if self.done():
            return False
        if self.state == _SUBMITTED:
            return False
        q = self.queue
        if q is not None:
            q.withdraw(self)
        self.data = None
        if msg is None:
            return super().cancel()
        return super().cancel(msg=msg)


class AppendQueue:
    """The appends of one file on one event loop, written a batch at a time."""

    __slots__ = ("_loop", "_pending", "_batch", "_known_end", "__weakref__")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._pending: Deque[Append] = deque()
        self._batch: Optional[List[Append]] = None  # the entries of the write in flight
        # Where the previous batch ended, for splitting a failed one; None when unknown.
        self._known_end: Optional[int] = None

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        return self._loop

    def add(self, handle: int, data: Buffer, nbytes: int) -> Append:
        """Queue ``nbytes`` bytes of ``data`` to append through ``handle``; the future answers ``(n, end)``."""
        entry = Append(loop=self._loop)
        entry.data = data
        entry.nbytes = nbytes
        entry.handle = handle
        entry.queue = self
        self._pending.append(entry)
        if self._batch is None:
            self._submit()
        return entry

    def withdraw(self, entry: Append) -> None:
        try:
            self._pending.remove(entry)
        except ValueError:
            pass

    @property
    def busy(self) -> bool:
        return self._batch is not None or bool(self._pending)

    def _submit(self) -> None:
        """Send the next batch from the queue (the queue has no write in flight)."""
        pending = self._pending
        while pending:
            first = pending.popleft()
            batch = [first]
            data: Any = first.data
            size = first.nbytes
            if size <= JOIN_MAX and type(data) in (bytes, bytearray):
                while pending:
                    nxt = pending[0]
                    if size + nxt.nbytes > BATCH_MAX or nxt.nbytes > JOIN_MAX or type(nxt.data) not in (
                            bytes, bytearray):
                        break
                    batch.append(pending.popleft())
                    size += nxt.nbytes
                if len(batch) > 1:
                    data = b"".join([e.data for e in batch])
            for e in batch:
                e.state = _SUBMITTED
                e.data = None
            try:
                fut = _kestrelio.write(first.handle, 0, data, True)
            except BaseException as exc:  # a bad buffer (or no driver): its callers learn it, the rest go on
                for e in batch:
                    _fail(e, exc)
                continue
            self._batch = batch
            fut.add_done_callback(self._written)
            return

    def _written(self, fut: asyncio.Future[Tuple[int, int]]) -> None:
        batch = self._batch
        assert batch is not None
        if fut.cancelled():
            self._known_end = None
            for e in batch:
                if not e.done():
                    asyncio.Future.cancel(e)
        else:
            exc = fut.exception()
            if exc is None:
                _n, end = fut.result()
                self._known_end = end
                for e in reversed(batch):
                    if not e.done():
                        e.set_result((e.nbytes, end))
                    end -= e.nbytes
            elif len(batch) == 1:
                self._known_end = None
                _fail(batch[0], exc)
            else:
                # Keep the queue closed until the split is known.
                asyncio.ensure_future(self._split(batch, exc), loop=self._loop)
                return
        self._batch = None
        if self._pending:
            self._submit()

    async def _split(self, batch: List[Append], exc: BaseException) -> None:
        """A batch of several failed: those wholly within the written part succeed, the rest get ``exc``."""
        start = self._known_end
        written = 0
        try:
            size: int = await _kestrelio.size(batch[0].handle)
            self._known_end = size
            if start is not None:
                written = size - start
        except BaseException:
            self._known_end = None
        end = start if start is not None else 0
        for e in batch:
            end += e.nbytes
            if e.done():
                continue
            if written >= e.nbytes:
                written -= e.nbytes
                e.set_result((e.nbytes, end))
            else:
                written = 0
                _fail(e, exc)
        self._batch = None
        if self._pending:
            self._submit()


def _fail(entry: Append, exc: BaseException) -> None:
    if entry.done():
        return
    if isinstance(exc, OSError) and exc.args:
        exc = type(exc)(*exc.args)  # each caller gets its own exception object
    entry.set_exception(exc)


# The queues of each loop by file identity; a queue lives while an object holds it.
_queues: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.WeakValueDictionary[Tuple[int, int], AppendQueue]]" = (
    weakref.WeakKeyDictionary())


def queue_for(fd: int, loop: asyncio.AbstractEventLoop) -> AppendQueue:
    """The queue of the file behind ``fd`` on ``loop``: shared by every ``O_APPEND`` descriptor of that file."""
    key: Optional[Tuple[int, int]] = None
    try:
        import fcntl

        if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND:
            st = os.fstat(fd)
            key = (st.st_dev, st.st_ino)
    except (ImportError, OSError):
        pass
    if key is None:
        return AppendQueue(loop)  # not shareable: the object's own
    try:
        by_file = _queues[loop]
    except KeyError:
        by_file = _queues[loop] = weakref.WeakValueDictionary()
    except TypeError:  # a loop type without weak references: no sharing
        return AppendQueue(loop)
    q = by_file.get(key)
    if q is None:
        q = by_file[key] = AppendQueue(loop)
    return q

