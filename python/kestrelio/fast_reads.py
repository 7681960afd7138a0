"""Fair use of the fast path: cached reads that never hold the event loop for long.

A read served by ``_kestrelio.FastPath`` finishes on the loop thread without
suspending, so a task reading cached data would otherwise keep every other
task and callback waiting for as long as it reads. Three rules bound that:

* one call copies at most ``FAST_MAX`` bytes on the loop; larger reads go to
  the backend, whose threads copy while the loop runs (``bench`` has them
  level with the fast path, since faulting in the new buffer dominates);
* fast-path work on one loop is metered: after ``BUDGET`` seconds of it the
  next fast read waits its turn, in first-come order among the tasks that
  want one, and the loop runs timers, I/O and other tasks in between;
* a file found cold is asked about with ``mincore`` before the next no-wait
  read, since a refused no-wait read starts the kernel's readahead from the
  calling thread; and a sequential stream that met cold pages stays with the
  backend until it breaks off (the ``FastPath`` does both itself).

A caller checks ``turn_due()`` before each fast read and awaits
``take_turn()`` when it says so; the read functions answer ``None`` when the
fast path does not serve the read, and the caller then takes the backend.
"""

from __future__ import annotations

import asyncio
import collections
import threading
import weakref
from time import perf_counter
from typing import TYPE_CHECKING, Callable, Deque, Optional, Protocol

if TYPE_CHECKING:
    from typing_extensions import Buffer
else:  # only a name in annotations; any object with the buffer protocol will do
    Buffer = object

__all__ = ["turn_due", "take_turn", "read", "readinto", "read_all", "FAST_MAX", "BUDGET"]

#: Largest read served on the loop in one call: about a quarter of a
#: millisecond to fault in and copy on the development VM.
FAST_MAX = 1 << 20
#: Fast-path time one loop gives its readers before the others get a turn.
BUDGET = 0.001
#: Bytes read between looks at the clock, which costs more than a small read
#: here: about every 30 reads of 4 KiB, and before every read of 128 KiB or more.
CLOCK_BYTES = 128 << 10


class FastPathLike(Protocol):
    """What the package needs of ``_kestrelio.FastPath``; every read answers None when it declines."""

    def read(self, pos: int, n: int, /) -> Optional[bytes]: ...
    def readinto(self, pos: int, buffer: Buffer, /) -> Optional[int]: ...
    def read_all(self, pos: int, /) -> Optional[bytes]: ...
    def size(self) -> Optional[int]: ...
    def supported(self) -> bool: ...


class _Meter:
    """Fast-path time of one loop, and the tasks waiting for a fresh budget."""

    __slots__ = ("_loop", "deadline", "credit", "_waiters", "waking")

    def __init__(self, loop: Optional[asyncio.AbstractEventLoop]) -> None:
        # Held weakly: a meter outlives its loop, and a dropped loop must be
        # collectable (its bridge's descriptors go with it).
        self._loop: Callable[[], Optional[asyncio.AbstractEventLoop]] = _weak(loop)
        self.deadline = 0.0  # a spent budget: the first read takes a turn and starts one
        self.credit = 0  # bytes to read before the clock is looked at again
        # The line is held weakly too: its futures hold the loop. The waiting
        # tasks and the scheduled wake-up hold it while the loop lives.
        self._waiters: Callable[[], Optional[Deque[asyncio.Future[None]]]] = _gone
        self.waking = False  # a wake-up of the first waiter is scheduled

    @property
    def loop(self) -> Optional[asyncio.AbstractEventLoop]:
        return self._loop()

    @property
    def waiters(self) -> Deque[asyncio.Future[None]]:
        """The tasks waiting for a fresh budget, first come first."""
        q = self._waiters()
        if q is None:
            q = collections.deque()
            self._waiters = weakref.ref(q)
        return q


def _gone() -> None:
    return None


def _weak(loop: Optional[asyncio.AbstractEventLoop]) -> Callable[[], Optional[asyncio.AbstractEventLoop]]:
    if loop is None:
        return lambda: None
    try:
        return weakref.ref(loop)
    except TypeError:  # a loop type without weak references is held
        return lambda: loop


class _Local(threading.local):
    # Each thread runs at most one loop at a time; a meter of another loop is replaced.
    meter = _Meter(None)


_local = _Local()
#: The meter of the loop that took the last turn, for the check before every
#: read. A loop in another thread may read against it until its own next
#: turn, which only moves that turn; waiters always wait on their own loop's.
_meter = _Meter(None)


def _wake_next(meter: _Meter, waiters: Deque[asyncio.Future[None]]) -> None:
    """On a later pass of the loop: hand the fresh budget to the longest waiter."""
    meter.waking = False
    while waiters:
        fut = waiters.popleft()
        if not fut.done():  # skip the ones whose task was cancelled meanwhile
            fut.set_result(None)
            return


def _schedule_wake(meter: _Meter, waiters: Deque[asyncio.Future[None]]) -> None:
    loop = meter.loop
    if not meter.waking and loop is not None:
        meter.waking = True
        loop.call_soon(_wake_next, meter, waiters)


async def take_turn() -> None:
    """Wait, behind any earlier waiters, for a pass of the loop; then start a fresh budget."""
    global _meter
    loop = asyncio.get_running_loop()
    meter = _local.meter
    if meter.loop is not loop:
        meter = _local.meter = _Meter(loop)
    _meter = meter
    waiters = meter.waiters
    fut = loop.create_future()
    waiters.append(fut)
    _schedule_wake(meter, waiters)
    try:
        await fut
    except asyncio.CancelledError:
        if fut.done() and not fut.cancelled():
            _schedule_wake(meter, waiters)  # the turn was ours: pass it on
        raise
    meter.deadline = perf_counter() + BUDGET
    meter.credit = CLOCK_BYTES
    _meter = meter
    if waiters:
        _schedule_wake(meter, waiters)


def turn_due(nbytes: int) -> bool:
    """Whether the loop's fast-path budget is spent: ``await take_turn()`` before reading ``nbytes``."""
    meter = _meter
    meter.credit -= nbytes
    if meter.credit > 0:
        return False
    meter.credit = CLOCK_BYTES
    return perf_counter() >= meter.deadline


def read(fp: FastPathLike, pos: int, n: int) -> Optional[bytes]:
    """Up to ``n`` bytes at ``pos`` from the page cache, or ``None``."""
    return fp.read(pos, n) if n <= FAST_MAX else None


def readinto(fp: FastPathLike, pos: int, buffer: Buffer, nbytes: int) -> Optional[int]:
    """Fill ``buffer`` (``nbytes`` long) from ``pos`` out of the page cache; the count, or ``None``."""
    return fp.readinto(pos, buffer) if nbytes <= FAST_MAX else None


def read_all(fp: FastPathLike, pos: int) -> Optional[bytes]:
    """Everything from ``pos`` to end of file out of the page cache, or ``None`` (also when it is large)."""
    size = fp.size()
    if size is None or size - pos > FAST_MAX:
        return None
    return fp.read_all(pos)
