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

At exit the interpreter waits for the writes on ``stdout`` and ``stderr`` that
are running or still queued, as it waits for what ``print`` buffered: none is
cut short. (A write whose caller was cancelled before its turn, as
``asyncio.run`` cancels the tasks left at its end, is not made.) A read
of ``stdin`` still waiting is left waiting; the text stream over the buffer it
reads stays alive meanwhile, so the interpreter never closes that buffer under
it (which would end the process with a fatal error).
"""

from __future__ import annotations

import asyncio
import os
import queue
import sys
import threading
from typing import Any, Callable, Iterable, List, Optional, Tuple

__all__ = ["StdStream", "stdin", "stdout", "stderr", "stdin_bytes", "stdout_bytes", "stderr_bytes"]

# The loop and future to answer, the call, and the stream that must outlive it.
_Job = Tuple[asyncio.AbstractEventLoop, "asyncio.Future[Any]", Callable[..., Any], Tuple[Any, ...], Any]


_all_turns: List[_Turns] = []


class _Turns:
    """One daemon thread that runs a stream's calls in call order."""

    def __init__(self, name: str, drain_at_exit: bool) -> None:
        self._name = name
        self._drain_at_exit = drain_at_exit
        self._lock = threading.Lock()
        self._jobs: Optional[queue.SimpleQueue[_Job]] = None
        self._pid = -1
        _all_turns.append(self)

    def _after_fork_in_child(self) -> None:
        # Another thread of the parent may have held the lock at the fork:
        # it never lets go here.
        self._lock = threading.Lock()
        self._jobs = None

    def run(self, fn: Callable[..., Any], args: Tuple[Any, ...], keep: Any) -> asyncio.Future[Any]:
        loop = asyncio.get_running_loop()
        fut: asyncio.Future[Any] = loop.create_future()
        self._queue().put((loop, fut, fn, args, keep))
        return fut

    def _queue(self) -> queue.SimpleQueue[_Job]:
        pid = os.getpid()
        with self._lock:
            # After a fork the queue's thread is gone: the child starts its own.
            if self._jobs is None or self._pid != pid:
                jobs: queue.SimpleQueue[_Job] = queue.SimpleQueue()
                threading.Thread(target=_serve, args=(jobs,), name=self._name, daemon=True).start()
                self._jobs, self._pid = jobs, pid
                if self._drain_at_exit:
                    try:
                        threading._register_atexit(self._drain, jobs)  # type: ignore[attr-defined]
                    except (AttributeError, RuntimeError):
                        pass  # the interpreter is already shutting down
            return self._jobs

    def _drain(self, jobs: queue.SimpleQueue[_Job]) -> None:
        """At exit: wait until the calls queued so far have run (a forked child's copy has no thread)."""
        if self._pid != os.getpid() or self._jobs is not jobs:
            return
        done = threading.Event()
        jobs.put((None, None, done.set, (), None))  # type: ignore[arg-type]
        done.wait()


def _serve(jobs: queue.SimpleQueue[_Job]) -> None:
    while True:
        # `keep` holds the stream over the one called (sys.stdin over sys.stdin.buffer)
        # until the call returns: a daemon thread's call may outlive the interpreter's
        # own references to it, and finalizing that stream would close the buffer
        # while the call holds its lock.
        loop, fut, fn, args, keep = jobs.get()
        if fut is None:
            fn()  # the exit's marker: every call queued before it has run
            continue
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

    __slots__ = ("_stream", "_turns", "_binary")

    def __init__(self, stream: Callable[[], Any], turns: _Turns, binary: bool) -> None:
        self._stream = stream  # the text stream; a ``_bytes`` form calls its buffer
        self._turns = turns
        self._binary = binary

    def _target(self) -> Any:
        stream = self._stream()
        return stream.buffer if self._binary else stream

    def _call(self, method: str, *args: Any) -> asyncio.Future[Any]:
        # Looked up now, not when the stream's thread gets to it: a call made
        # before a redirection (or after one ended) must not follow it.
        stream = self._stream()
        target = stream.buffer if self._binary else stream
        return self._turns.run(getattr(target, method), args, stream)

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

_in = _Turns("kestrelio-stdin", False)
_out, _err = _Turns("kestrelio-stdout", True), _Turns("kestrelio-stderr", True)
_stdin, _stdout, _stderr = (lambda: sys.stdin), (lambda: sys.stdout), (lambda: sys.stderr)
stdin = StdStream(_stdin, _in, False)
stdout = StdStream(_stdout, _out, False)
stderr = StdStream(_stderr, _err, False)
stdin_bytes = StdStream(_stdin, _in, True)
stdout_bytes = StdStream(_stdout, _out, True)
stderr_bytes = StdStream(_stderr, _err, True)
