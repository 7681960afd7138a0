"""``kestrelio.stdin``, ``stdout`` and ``stderr``, and their ``_bytes`` forms, as aiofiles names them.

A terminal or a pipe is no regular file: it has no pages to cache and no
positions, and the kernel's asynchronous file reads do not apply to it. So each
call runs the same call of the current ``sys.stdin`` (``sys.stdout``,
``sys.stderr``, or their ``buffer`` for the ``_bytes`` forms) on a thread of the
stream's own. The object is looked up at each call, so a redirection
(``contextlib.redirect_stdout``) is followed, and what ``print`` buffered
keeps its place among the writes.

The calls on one stream (``stdout`` and ``stdout_bytes`` are one stream) run one
at a time, in call order: two tasks' writes never mix, and they come out in the
order they were made. The thread is a daemon, so a read still waiting for input
does not keep the interpreter from exiting; a forked child starts a thread of
its own. A call cancelled before its turn does not run; one cancelled while it
runs finishes, and what it read is lost, as with any blocking read that cannot
be withdrawn.
"""

from __future__ import annotations

import asyncio
import os
import queue
import sys
import threading
from typing import Any, Callable, Iterable, List, Optional, Tuple

__all__ = ["StdStream", "stdin", "stdout", "stderr", "stdin_bytes", "stdout_bytes", "stderr_bytes"]

_Job = Tuple[asyncio.AbstractEventLoop, "asyncio.Future[Any]", Callable[..., Any], Tuple[Any, ...]]


_all_turns: List[_Turns] = []


class _Turns:
    """One daemon thread that runs a stream's calls in call order."""

    def __init__(self, name: str) -> None:
        self._name = name
        self._lock = threading.Lock()
        self._jobs: Optional[queue.SimpleQueue[_Job]] = None
        self._pid = -1
        _all_turns.append(self)

    def _after_fork_in_child(self) -> None:
        # Another thread of the parent may have held the lock at the fork:
        # it never lets go here.
        self._lock = threading.Lock()
        self._jobs = None

    def run(self, fn: Callable[..., Any], args: Tuple[Any, ...]) -> asyncio.Future[Any]:
        loop = asyncio.get_running_loop()
        fut: asyncio.Future[Any] = loop.create_future()
        self._queue().put((loop, fut, fn, args))
        return fut

    def _queue(self) -> queue.SimpleQueue[_Job]:
        pid = os.getpid()
        with self._lock:
            # After a fork the queue's thread is gone: the child starts its own.
            if self._jobs is None or self._pid != pid:
                jobs: queue.SimpleQueue[_Job] = queue.SimpleQueue()
                threading.Thread(target=_serve, args=(jobs,), name=self._name, daemon=True).start()
                self._jobs, self._pid = jobs, pid
            return self._jobs


def _serve(jobs: queue.SimpleQueue[_Job]) -> None:
    while True:
        loop, fut, fn, args = jobs.get()
        if fut.cancelled():
            continue  # its caller left before its turn: don't consume input for nobody
        ok = True
        try:
            res: Any = fn(*args)
        except BaseException as exc:  # the caller's to see, whatever it is
            ok, res = False, exc
        try:
            loop.call_soon_threadsafe(_settle, fut, ok, res)
        except RuntimeError:
            pass  # the loop closed meanwhile; nobody is waiting


def _settle(fut: asyncio.Future[Any], ok: bool, res: Any) -> None:
    if fut.done():
        return
    if ok:
        fut.set_result(res)
    else:
        fut.set_exception(res)


class StdStream:
    """An asynchronous view of one of ``sys``'s standard streams (see the module)."""

    __slots__ = ("_target", "_turns")

    def __init__(self, target: Callable[[], Any], turns: _Turns) -> None:
        self._target = target
        self._turns = turns

    def _call(self, method: str, *args: Any) -> asyncio.Future[Any]:
        # Looked up now, not when the stream's thread gets to it: a call made
        # before a redirection (or after one ended) must not follow it.
        return self._turns.run(getattr(self._target(), method), args)

    async def read(self, size: int = -1) -> Any:
        return await self._call("read", size)

    async def read1(self, size: int = -1) -> bytes:
        return await self._call("read1", size)  # type: ignore[no-any-return]

    async def readinto(self, b: Any) -> int:
        return await self._call("readinto", b)  # type: ignore[no-any-return]

    async def readline(self, size: int = -1) -> Any:
        return await self._call("readline", size)

    async def readlines(self, hint: int = -1) -> List[Any]:
        return await self._call("readlines", hint)  # type: ignore[no-any-return]

    async def write(self, data: Any) -> int:
        return await self._call("write", data)  # type: ignore[no-any-return]

    async def writelines(self, lines: Iterable[Any]) -> None:
        await self._call("writelines", list(lines))

    async def flush(self) -> None:
        await self._call("flush")

    async def close(self) -> None:
        await self._call("close")

    async def isatty(self) -> bool:
        return await self._call("isatty")  # type: ignore[no-any-return]

    async def seekable(self) -> bool:
        return await self._call("seekable")  # type: ignore[no-any-return]

    async def seek(self, offset: int, whence: int = 0) -> int:
        return await self._call("seek", offset, whence)  # type: ignore[no-any-return]

    async def tell(self) -> int:
        return await self._call("tell")  # type: ignore[no-any-return]

    async def truncate(self, size: Optional[int] = None) -> int:
        return await self._call("truncate", size)  # type: ignore[no-any-return]

    def readable(self) -> bool:
        return bool(self._target().readable())

    def writable(self) -> bool:
        return bool(self._target().writable())

    def fileno(self) -> int:
        return int(self._target().fileno())

    @property
    def name(self) -> Any:
        return self._target().name

    @property
    def closed(self) -> bool:
        return bool(self._target().closed)

    def __getattr__(self, name: str) -> Any:
        # encoding, errors, newlines, buffer, raw, mode, ...: the stream's own, read now.
        return getattr(self._target(), name)

    def __aiter__(self) -> StdStream:
        return self

    async def __anext__(self) -> Any:
        line = await self.readline()
        if line:
            return line
        raise StopAsyncIteration

    def __repr__(self) -> str:
        return f"<kestrelio.StdStream over {self._target()!r}>"


def _after_fork_in_child() -> None:
    for turns in _all_turns:
        turns._after_fork_in_child()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)

_in, _out, _err = _Turns("kestrelio-stdin"), _Turns("kestrelio-stdout"), _Turns("kestrelio-stderr")
stdin = StdStream(lambda: sys.stdin, _in)
stdout = StdStream(lambda: sys.stdout, _out)
stderr = StdStream(lambda: sys.stderr, _err)
stdin_bytes = StdStream(lambda: sys.stdin.buffer, _in)
stdout_bytes = StdStream(lambda: sys.stdout.buffer, _out)
stderr_bytes = StdStream(lambda: sys.stderr.buffer, _err)
