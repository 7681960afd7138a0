"""Batched positional I/O of ``BinaryFile``: ``pread_many`` and ``pwrite_many``.

Each is one call into the driver: the reads (or writes) are submitted
together behind one future, so a batch of small requests costs one
submission and one wake-up of the loop instead of one of each per request.
Like ``pread`` and ``pwrite`` they take no turn and leave the position alone.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple

import _kestrelio

from . import fast_reads
from .driver_calls import _await_op
from .file_parts import FileParts

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from .fast_reads import FastPathLike

__all__ = ["PositionalBatches", "MANY_MAX"]

#: Most spans (or pairs) one call takes; the driver refuses more with ValueError.
MANY_MAX = 1024


class PositionalBatches(FileParts):
    """``pread_many`` and ``pwrite_many`` of :class:`kestrelio.BinaryFile`."""

    __slots__ = ()  # a part holds no state of its own

    async def pread_many(self, spans: Iterable[Tuple[int, int]]) -> List[bytes]:
        """Read at each ``(pos, len)`` of ``spans``; a list of ``bytes`` in the same order.

        A result is short only at end of file, as with :meth:`pread`. The
        reads the page cache holds are served at once; the others go to the
        backend together, behind one future. Raises ``TypeError``,
        ``OverflowError`` (a negative number) or ``ValueError`` (more than
        ``MANY_MAX`` spans) before reading anything. Cancelling the call
        aborts the reads still pending.
        """
        self._check_readable()
        await self._flush_in_turn()
        fp = self._fast
        if fp is not None and type(spans) in (list, tuple):
            if self._fast_skip:
                # Batches of late found no span cached: asking the FastPath
                # span by span would only cost this one time.
                self._fast_skip -= 1
            else:
                found = _plain_spans(spans)  # type: ignore[arg-type]
                if found is not None:
                    if fast_reads.turn_due(found):
                        await fast_reads.take_turn()
                    return await self._pread_cached(fp, spans)  # type: ignore[arg-type]
        turns = self._turns
        turns.enter()
        try:
            got: List[bytes] = await _await_op(_kestrelio.read_many(self._handle, spans))
            return got
        finally:
            turns.leave()

    async def _pread_cached(self, fp: FastPathLike, spans: Sequence[Tuple[int, int]]) -> List[bytes]:
        out: List[Optional[bytes]] = [fp.read(pos, n) for pos, n in spans]
        missed = [i for i, d in enumerate(out) if d is None]
        if missed:
            if len(missed) == len(out):
                self._fast_declined()  # a batch counts as one read in the miss streak
            else:
                self._fast_missed()
                self._fast_misses = 0
            turns = self._turns
            turns.enter()
            try:
                rest: List[bytes] = await _await_op(_kestrelio.read_many(self._handle, [spans[i] for i in missed]))
            finally:
                turns.leave()
            for i, d in zip(missed, rest):
                out[i] = d
        elif self._fast_misses:
            self._fast_misses = 0
        return out  # type: ignore[return-value]

    async def pwrite_many(self, pairs: Iterable[Tuple[int, Buffer]]) -> List[int]:
        """Write each ``(pos, data)`` of ``pairs``; a list of the byte counts in the same order.

        The writes are submitted together behind one future and run
        concurrently, so overlapping ones land in no particular order. They
        leave the position alone; ``flush`` and ``sync`` wait for them. Don't
        change the buffers until the call has returned (or raised).
        Validation errors come before anything is written. Cancelling the
        call aborts the writes still pending; those already done stay done.
        In append mode each is appended in turn, as :meth:`pwrite` does.
        """
        self._check_writable()
        if self._mode.append:
            return [await self.pwrite(b, pos) for pos, b in pairs]
        buf = self._buf
        touched = buf.wbuf or buf.active()
        if touched:
            pairs = list(pairs)
        fut = _kestrelio.write_many(self._handle, pairs)  # validates and submits
        spans: List[Tuple[int, int]] = []
        if touched:
            for pos, b in pairs:
                with memoryview(b) as view:
                    # A later flush must not put older bytes back over these.
                    buf.overlay(pos, view)
                    spans.append((pos, view.nbytes))
                    self._forget_copy(pos, view.nbytes)
        turns = self._turns
        turns.enter()
        pwrites = self._pwrites
        pwrites.add(fut)
        try:
            counts: List[int] = await _await_op(fut)
            return counts
        finally:
            pwrites.discard(fut)
            for pos, n in spans:
                self._forget_copy(pos, n)
            turns.leave()


def _plain_spans(spans: Sequence[Any]) -> Optional[int]:
    """The total length of ``spans`` if they are (int, int) pairs the fast path may serve, else None."""
    if len(spans) > MANY_MAX:
        return None
    total = 0
    for s in spans:
        if type(s) is not tuple or len(s) != 2:
            return None
        pos, n = s
        if type(pos) is not int or type(n) is not int or pos < 0 or n < 0:
            return None
        total += n
    return total if total <= fast_reads.FAST_MAX else None
