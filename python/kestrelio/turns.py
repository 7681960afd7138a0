"""Turn-taking for the calls that share one file, as io's buffered objects keep one lock per file.

A call that uses or moves the file position takes the turn alone (exclusive).
An append takes it together with the appends right before and after it
(shared): the kernel puts appended bytes at the end whatever the position, so
appends only have to be submitted in call order, not finished one by one.
Turns are granted strictly in call order; a call that finds the turn free and
nobody waiting takes it without suspending.

Every call in progress, whether it takes a turn or not, is counted, so that
closing the file can wait for all of them.
"""

from __future__ import annotations

import asyncio
from collections import deque
from typing import Deque, Optional, Tuple

__all__ = ["Turns"]


class Turns:
    """The turn of one file, and the count of its calls in progress.

    Use ``take()`` and, when it answers False, ``await wait()``; then
    ``give()`` once the call is done (``take_shared``/``wait_shared``/
    ``give_shared`` for appends). Calls that take no turn bracket their work
    with ``enter()`` and ``leave()``.
    """

    __slots__ = ("_queue", "_exclusive", "_shared", "_woken", "_free", "_idle")

    def __init__(self) -> None:
        # Waiters in call order: their future and whether they share the turn.
        self._queue: Deque[Tuple[asyncio.Future[None], bool]] = deque()
        self._exclusive = False  # an exclusive holder has the turn
        self._shared = 0  # shared holders that have the turn
        # Holders granted the turn whose tasks have not run yet: a newcomer
        # must not overtake them, or shared calls would submit out of order.
        self._woken = 0
        self._free = 0  # calls in progress that take no turn
        self._idle: Optional[asyncio.Future[None]] = None

    def take(self) -> bool:
        """Take the turn alone if it is free and nobody waits; False otherwise."""
        if self._exclusive or self._shared or self._queue:
            return False
        self._exclusive = True
        return True

    def take_shared(self) -> bool:
        """Share the turn if only shared holders have it and nobody waits; False otherwise."""
        if self._exclusive or self._queue or self._woken:
            return False
        self._shared += 1
        return True

    async def wait(self) -> None:
        """Wait for the turn alone, after every call made before; see ``take``."""
        await self._wait(False)

    async def wait_shared(self) -> None:
        """Wait to share the turn, after every call made before; see ``take_shared``."""
        await self._wait(True)

    def give(self) -> None:
        """Hand back the turn taken alone."""
        self._exclusive = False
        if self._queue:
            self._grant()
        elif self._idle is not None:
            self._wake_idle()

    def give_shared(self) -> None:
        """Hand back a shared turn."""
        self._shared -= 1
        if self._queue and not self._shared:
            self._grant()
        elif self._idle is not None:
            self._wake_idle()

    def enter(self) -> None:
        """Count a call that takes no turn (``pread``, ``size``, ...)."""
        self._free += 1

    def leave(self) -> None:
        self._free -= 1
        if self._idle is not None:
            self._wake_idle()

    @property
    def busy(self) -> bool:
        """Whether any call is in progress or waiting."""
        return bool(self._exclusive or self._shared or self._queue or self._free)

    async def idle(self) -> None:
        """Wait until no call is in progress; calls that start meanwhile count too."""
        if not self.busy:
            return
        if self._idle is None:
            self._idle = asyncio.get_running_loop().create_future()
        await asyncio.shield(self._idle)

    async def _wait(self, shared: bool) -> None:
        fut: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._queue.append((fut, shared))
        self._grant()
        try:
            if not fut.done():
                await fut
            elif self._woken > 1:
                # Granted at once, but holders granted earlier have not run
                # yet: let them submit first.
                await asyncio.sleep(0)
        except asyncio.CancelledError:
            if fut.done() and not fut.cancelled():
                self._woken -= 1  # granted, but the task leaves: pass the turn on
                if shared:
                    self.give_shared()
                else:
                    self.give()
            else:
                try:
                    self._queue.remove((fut, shared))
                except ValueError:
                    pass  # already dropped by _grant
                self._grant()  # an exclusive waiter that leaves may let shared ones behind it go
                if self._idle is not None:
                    self._wake_idle()
            raise
        self._woken -= 1

    def _grant(self) -> None:
        """Give the turn to the waiters at the head of the queue that may have it now."""
        q = self._queue
        while q:
            fut, shared = q[0]
            if fut.done():  # cancelled; its task has not run to take itself out yet
                q.popleft()
                continue
            if shared:
                if self._exclusive:
                    return
                self._shared += 1
            else:
                if self._exclusive or self._shared:
                    return
                self._exclusive = True
            q.popleft()
            self._woken += 1
            fut.set_result(None)
            if not shared:
                return

    def _wake_idle(self) -> None:
        idle = self._idle
        if idle is not None and not self.busy:
            self._idle = None
            if not idle.done():
                idle.set_result(None)
