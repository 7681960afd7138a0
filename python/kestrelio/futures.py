"""The future type that the native module settles."""

from __future__ import annotations

import asyncio
import os
from typing import TYPE_CHECKING, Any, Optional, Sequence

import _kestrelio

__all__ = ["KernelFuture"]


class KernelFuture(asyncio.Future):  # type: ignore[type-arg]
    """Future of one kernel submission (or a group of them).

    ``op_ids`` holds the operation ids behind the future; the native module
    sets it right after submitting.

    Cancellation waits for the kernel. While an operation is in flight the
    kernel may still be writing into (or reading from) memory the caller
    handed over, so ``cancel()`` does not settle the future: it asks the
    backend to abort the operations (``_kestrelio.cancel_ops``) once and
    returns ``False``. The future is settled only when the backend answers:
    by ``settle_cancelled()`` when the abort took effect, or with the real
    result when the kernel had already finished. A task awaiting the future
    and cancelled meanwhile still receives ``CancelledError``, at that moment
    and not before, so by the time it runs its buffers are free again.

    In a forked child, a future made before the fork stands for operations of
    the parent: nothing in the child will ever answer them, and no kernel work
    of the child touches its copy of their buffers. Cancelling it there
    settles it at once and asks the child's own backend nothing (the same ids
    would name the child's own operations). The native module stamps the
    futures a forked child makes with its process id (``_pid``); the others
    keep the class's 0.
    """

    # Defaults on the class rather than set in an __init__: every submission
    # creates a future, and a Python-level constructor would double its cost.
    # The native module sets ``op_ids`` on each instance.
    op_ids: Sequence[int] = ()
    _cancel_requested: bool = False
    _cancel_message: Optional[Any] = None
    _pid: int = 0

    if TYPE_CHECKING:
        def __init__(self, *, loop: asyncio.AbstractEventLoop) -> None: ...

    def cancel(self, msg: Optional[Any] = None) -> bool:
        if self.done():
            return False
        if _forked and self._pid != os.getpid():
            return super().cancel() if msg is None else super().cancel(msg=msg)
        if not self._cancel_requested:
            self._cancel_requested = True
            self._cancel_message = msg
            _kestrelio.cancel_ops(self.op_ids)
        return False

    def settle_cancelled(self) -> None:
        """Called by the drain when the backend reports the abort."""
        if self.done():
            return
        if self._cancel_message is None:
            super().cancel()
        else:
            super().cancel(msg=self._cancel_message)


_forked = False


def _after_fork_in_child() -> None:
    global _forked
    _forked = True


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
