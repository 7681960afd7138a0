"""Group commit for appends: the appends queued for one file go to the kernel as one write.

An append joins the file's queue and waits. At the end of the pass of the
event loop in which it was called, if fewer than ``DEPTH`` writes of the queue
are in flight, everything queued goes out as one write of their bytes joined
in call order (up to ``BATCH_MAX`` bytes; a payload larger than ``JOIN_MAX``,
or one that is not ``bytes``/``bytearray``, goes alone and is lent to the
kernel uncopied). Each caller still learns its own result: its byte count and
where its bytes end, or its own exception, and callers are answered in call
order. The batches in flight all go through one descriptor, whose appends
every backend keeps in submission order, so the bytes reach the file in call
order. With many tasks appending lines, the callers of one batch append again
while the other batch is written (``STAGGER_MIN`` tells how that rhythm
starts).

The queue belongs to the file, not to the object: every unbuffered
``BinaryFile`` in append mode on one event loop whose descriptor has
``O_APPEND`` and refers to the same file (``st_dev``, ``st_ino``) shares one.
A batch is written through the descriptor of its first caller; with
``O_APPEND`` the kernel puts the bytes at the end whichever descriptor
carries them. That caller's object holds its turn until the batch has
answered, so its ``close`` waits for the batch. A batch sent while another
is in flight rides on the same descriptor (the "carrier"), which may belong
to an object none of whose appends is in it: closing that object waits until
no batch in flight is carried by it (``release``), and meanwhile no further
batch takes it.

Cancellation: an append still waiting in the queue leaves it at once and
nothing of it is written. An append whose bytes were already submitted is
not withdrawn (that would take its neighbours with it): the caller waits for
the write and then gets ``CancelledError``, with its bytes in the file and
the position after them, as after a ``write`` the kernel had finished before
the abort.

A failed batch: nothing more goes out until every batch in flight has
answered; then the file's size says how far the writes came from where the
batches answered before ended. The callers whose bytes lie wholly within the
written part succeed; the others get the error, each its own exception
object. No byte is written twice and none is reported written that is not. A
writer outside the queue that appends at the same moment may blur that split;
if the size cannot be read either, every caller of a failed batch gets the
error.
"""

from __future__ import annotations

import asyncio
import os
import weakref
from asyncio import InvalidStateError
from collections import deque
from typing import TYPE_CHECKING, Any, Deque, Dict, List, Optional, Tuple

import _kestrelio

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["AppendQueue", "BATCH_MAX", "JOIN_MAX", "DEPTH", "STAGGER_MIN", "queue_for"]

#: Most bytes one batch joins. bench/appends.py: 64 tasks of 100-byte lines
#: fill at most about 6 KiB per batch; the cap only bounds the copy.
BATCH_MAX = 64 * 1024
#: Payloads larger than this are written alone, lent rather than copied.
JOIN_MAX = 4 * 1024
#: Batches of one queue in flight at once, all through one descriptor, whose
#: appends every backend keeps in submission order.
DEPTH = 2
#: A batch of at least this many callers that answers while no other batch is
#: in flight wakes them in two halves, one pass of the loop apart: the first
#: half's next appends go out while the second half runs, and from then on one
#: batch is written while the callers of the other run. bench/appends.py, 64
#: tasks: 15-25 % more lines/s than one batch at a time (DEPTH 1), on both
#: backends; splitting every batch (not only lone ones) was no better than 1.
STAGGER_MIN = 16
_JOINABLE = (bytes, bytearray)
_Future = asyncio.Future

# A queued append: its future, the bytes, their length, and the object that appends.
_Entry = Tuple["asyncio.Future[Tuple[int, int]]", Any, int, Any]


class _Batch:
    """One write of the queue: its callers in call order and the kernel future."""

    __slots__ = ("entries", "fut", "nbytes", "waiter", "ends")

    def __init__(self, entries: List[_Entry], fut: asyncio.Future[Tuple[int, int]], nbytes: int) -> None:
        self.entries = entries
        self.fut = fut
        self.nbytes = nbytes
        # For callers cancelled after submission: settled with the batch, and where each caller's bytes end.
        self.waiter: Optional[asyncio.Future[None]] = None
        self.ends: List[Optional[int]] = []


class AppendQueue:
    """The appends of one file on one event loop, written a batch at a time."""

    __slots__ = ("_depth", "loop", "_loop", "_pending", "_flying", "_carrier", "_retiring", "_scheduled", "_failed", "_splitting",
                 "_known_end", "_due", "__weakref__")

    def __init__(self, loop: asyncio.AbstractEventLoop, size: Optional[int]) -> None:
        self.loop = loop  #: the event loop the queue belongs to
        # darwin-aio cannot tell where an AIO append landed: it answers the
        # size when it reaps it, which would count a second batch already
        # written. One batch at a time keeps each answered end its own.
        name = getattr(_kestrelio, "backend_name", None)
        self._depth = 1 if name is not None and name() == "darwin-aio" else DEPTH
        self._loop = loop
        self._pending: Deque[_Entry] = deque()
        self._flying: Deque[_Batch] = deque()  # submitted, settled in this order
        # The object whose descriptor carries the batches in flight: one
        # descriptor at a time keeps them in call order in the backend.
        self._carrier: Any = None
        self._retiring: Optional[asyncio.Future[None]] = None  # the carrier's close waits for its batches
        self._scheduled = False  # a send is due at the end of this pass of the loop
        self._failed = False  # a batch failed: nothing more goes out until the split is known
        # The split of a failed batch has been started. Several batches may answer
        # in one pass; only one split may run, or a second one would settle the
        # same batches again after the first had let new batches go out.
        self._splitting = False
        # Where the batches settled so far end, for splitting a failed one; None when unknown.
        self._known_end = size
        # Where the bytes of callers whose batch answered end, until they have their answer:
        # the later half of a staggered batch, and callers cancelled as their batch answered.
        self._due: Dict[asyncio.Future[Tuple[int, int]], int] = {}

    def add(self, file: Any, data: Buffer, nbytes: int) -> asyncio.Future[Tuple[int, int]]:
        """Queue ``nbytes`` bytes of ``data`` appended by ``file``; the future answers ``(n, end)``.

        A caller cancelled while it awaits the future calls :meth:`cancelled`.
        """
        fut: asyncio.Future[Tuple[int, int]] = _Future(loop=self._loop)
        self._pending.append((fut, data, nbytes, file))
        if not self._scheduled and len(self._flying) < self._depth:
            # The appends called in this pass of the loop go out together after it.
            self._scheduled = True
            self._loop.call_soon(self._send_due)
        return fut

    async def cancelled(self, fut: asyncio.Future[Tuple[int, int]]) -> Optional[int]:
        """For a caller cancelled while awaiting ``fut``: where its bytes end, or None if none were written.

        An append still queued leaves the queue. One already submitted waits
        (absorbing further cancellations) until its batch has answered.
        """
        if fut.done() and not fut.cancelled():
            return fut.result()[1] if fut.exception() is None else None
        if fut in self._due:
            return self._due.pop(fut)
        for i, e in enumerate(self._pending):
            if e[0] is fut:
                del self._pending[i]
                return None
        for b in self._flying:
            for i, e in enumerate(b.entries):
                if e[0] is fut:
                    if b.waiter is None:
                        b.waiter = self._loop.create_future()
                    while not b.waiter.done():
                        try:
                            await asyncio.shield(b.waiter)
                        except asyncio.CancelledError:
                            pass
                    return b.ends[i]
        return None

    async def release(self, file: Any) -> None:
        """Wait until no batch in flight is carried by ``file``'s descriptor (before it is closed)."""
        while self._carrier is file and self._flying:
            if self._retiring is None:
                self._retiring = self._loop.create_future()
            await asyncio.shield(self._retiring)

    def _send_due(self) -> None:
        self._scheduled = False
        self._send()

    def _send(self) -> None:
        """Send batches from the queue while fewer than ``DEPTH`` are in flight."""
        pending = self._pending
        flying = self._flying
        while pending and len(flying) < self._depth and not self._failed:
            if flying:
                if self._retiring is not None:
                    return  # the carrier is closing: the rest goes once its batches are in
                carrier = self._carrier
            else:
                carrier = pending[0][3]
            first = pending.popleft()
            if first[0].done():
                continue  # cancelled while queued
            entries = [first]
            data: Any = first[1]
            size = first[2]
            if size <= JOIN_MAX and type(data) in _JOINABLE:
                parts = [data]
                while pending:
                    nxt = pending[0]
                    n = nxt[2]
                    if size + n > BATCH_MAX or n > JOIN_MAX or type(nxt[1]) not in _JOINABLE:
                        break
                    pending.popleft()
                    if nxt[0].done():
                        continue
                    entries.append(nxt)
                    parts.append(nxt[1])
                    size += n
                if len(parts) > 1:
                    data = b"".join(parts)
            try:
                fut = _kestrelio.write(carrier._handle, 0, data, True)
            except BaseException as exc:  # a bad buffer (or no driver): its callers learn it, the rest go on
                for e in entries:
                    _fail(e[0], exc)
                continue
            self._carrier = carrier
            flying.append(_Batch(entries, fut, size))
            fut.add_done_callback(self._written)

    def _written(self, _fut: asyncio.Future[Tuple[int, int]]) -> None:
        """A batch answered: settle the answered ones in submission order."""
        flying = self._flying
        while flying and not self._failed:
            b = flying[0]
            fut = b.fut
            if not fut.done():
                return
            if fut.cancelled() or fut.exception() is not None:
                self._failed = True
                break
            flying.popleft()
            self._known_end = self._settle(b, fut.result()[1], not flying)
        if self._failed:
            if not self._splitting and all(b.fut.done() for b in flying):
                self._splitting = True
                asyncio.ensure_future(self._split(), loop=self._loop)
            return
        self._drained()

    def _drained(self) -> None:
        if not self._flying:
            self._carrier = None
            retiring, self._retiring = self._retiring, None
            if retiring is not None and not retiring.done():
                retiring.set_result(None)
        if self._pending and not self._scheduled:
            # After the callers just answered have run: their next appends go in the same batch.
            self._scheduled = True
            self._loop.call_soon(self._send_due)

    def _settle(self, b: _Batch, end: int, alone: bool) -> int:
        """Answer the callers of a batch that wrote all of it, ending at ``end``; returns ``end``.

        They are answered in call order, so they resume (and append again) in
        that order; a large batch that answers ``alone`` wakes in two halves
        (``STAGGER_MIN``).
        """
        at = end - b.nbytes
        entries = b.entries
        due = self._due
        if b.waiter is None:
            now = len(entries) // 2 if alone and len(entries) >= STAGGER_MIN and self._depth > 1 else len(entries)
            for i, e in enumerate(entries):
                at += e[2]
                if i >= now:
                    due[e[0]] = at
                    continue
                try:
                    e[0].set_result((e[2], at))
                except InvalidStateError:  # cancelled after it went out; its task has yet to ask
                    due[e[0]] = at
            if now < len(entries):
                self._loop.call_soon(self._answer_due, entries[now:])
            return end
        ends: List[Optional[int]] = []
        for e in entries:
            at += e[2]
            ends.append(at)
            if not e[0].done():
                e[0].set_result((e[2], at))
        _wake(b, ends)
        return end

    def _answer_due(self, entries: List[_Entry]) -> None:
        due = self._due
        for e in entries:
            fut = e[0]
            if not fut.done():
                fut.set_result((e[2], due.pop(fut)))
            # else: cancelled meanwhile; its task takes the end from ``due``

    async def _split(self) -> None:
        """Some batch failed and all in flight have answered: who got written.

        The file's size says how far the writes came from where the batches
        settled before ended. A batch that succeeded counts whole; the bytes
        left are the failed batches' written prefix, given to their callers in
        call order: those wholly inside it succeed, the rest get the error.
        """
        batches = list(self._flying)
        start = self._known_end
        size: Optional[int] = None
        try:
            size = await _kestrelio.size(self._carrier._handle)
        except Exception:
            size = None
        left = 0
        if size is not None and start is not None:
            left = size - start - sum(b.nbytes for b in batches if _ok(b.fut))
        pos = start if start is not None else 0
        for b in batches:
            fut = b.fut
            if _ok(fut):
                pos = self._settle(b, fut.result()[1], False)
                continue
            exc: BaseException = asyncio.CancelledError() if fut.cancelled() else fut.exception()  # type: ignore[assignment]
            ends: List[Optional[int]] = []
            for e in b.entries:
                n = e[2]
                if left >= n:
                    left -= n
                    pos += n
                    ends.append(pos)
                    if not e[0].done():
                        e[0].set_result((n, pos))
                else:
                    left = 0
                    ends.append(None)
                    _fail(e[0], exc)
            _wake(b, ends)
        self._flying.clear()
        self._known_end = size
        self._failed = False
        self._splitting = False
        self._drained()


def _wake(b: _Batch, ends: List[Optional[int]]) -> None:
    if b.waiter is not None:
        b.ends = ends
        if not b.waiter.done():
            b.waiter.set_result(None)


def _ok(fut: asyncio.Future[Any]) -> bool:
    return not fut.cancelled() and fut.exception() is None


def _fail(fut: asyncio.Future[Any], exc: BaseException) -> None:
    if fut.done():
        return
    if isinstance(exc, OSError) and exc.args:
        exc = type(exc)(*exc.args)  # each caller gets its own exception object
    fut.set_exception(exc)


# The queues of each loop by file identity; a queue lives while an object holds it.
_queues: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.WeakValueDictionary[Tuple[int, int], AppendQueue]]" = (
    weakref.WeakKeyDictionary())


def queue_for(fd: int, loop: asyncio.AbstractEventLoop) -> AppendQueue:
    """The queue of the file behind ``fd`` on ``loop``: shared by every ``O_APPEND`` descriptor of that file."""
    key: Optional[Tuple[int, int]] = None
    size: Optional[int] = None
    try:
        st = os.fstat(fd)
        size = st.st_size
        import fcntl

        if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND:
            key = (st.st_dev, st.st_ino)
    except (ImportError, OSError):
        pass
    if key is None:
        return AppendQueue(loop, size)  # not shareable: the object's own
    try:
        by_file = _queues[loop]
    except KeyError:
        by_file = _queues[loop] = weakref.WeakValueDictionary()
    except TypeError:  # a loop type without weak references: no sharing
        return AppendQueue(loop, size)
    q = by_file.get(key)
    if q is None:
        q = by_file[key] = AppendQueue(loop, size)
    return q
