"""Awaiting the driver's calls: a cancelled wait still lets the kernel finish first, and the read loops and
argument checks the file objects share."""

from __future__ import annotations

import asyncio
import errno
import operator
import os
from typing import TYPE_CHECKING, Any, Awaitable, Callable, List, Optional, Tuple, TypeVar, Union

import _kestrelio

if TYPE_CHECKING:
    from typing_extensions import Buffer

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
T = TypeVar("T")

#: Chunk size for ``_kestrelio.read_parallel``. bench/chunk_size.py on the
#: 2-core development VM (ext4, 256 MiB file, both backends): 1 MiB is the
#: smallest chunk at full speed, warm (about 1.7 GB/s) and cold (about
#: 1.0-1.07 GB/s); 128-512 KiB lose up to 7 % warm and up to 25 % cold, and
#: 2-8 MiB gain nothing. The smallest full-speed size keeps files of a few MiB
#: split across several requests and lets a cancellation stop after little work.
CHUNK_SIZE = 1 << 20
#: Reads of at least this many bytes are split into CHUNK_SIZE pieces that the
#: backend runs concurrently. The same benchmark has the split read level with
#: one operation at 2 MiB and 25-45 % faster from 4 MiB on; below two chunks
#: there is nothing to overlap.
PARALLEL_MIN = 2 * CHUNK_SIZE

async def _await_op(fut: asyncio.Future[T]) -> T:
    """Await a kernel future; on cancellation wait until the kernel let go.

    ``KernelFuture.cancel`` asks the backend to abort and leaves the future
    pending until the backend answers, so the CancelledError normally reaches
    us with ``fut`` already done. Should it arrive earlier, keep waiting
    (absorbing further cancellations) until the future is settled, then raise.
    """
    try:
        return await fut
    except asyncio.CancelledError:
        await _until_let_go(fut)
        raise


async def _until_let_go(fut: asyncio.Future[Any]) -> None:
    """After a cancellation reached the caller of ``fut``: wait, absorbing further ones, until it is settled.

    Hot paths inline ``_await_op`` as ``try: await fut`` with this in the handler.
    """
    while not fut.done():
        try:
            await asyncio.wait([fut])
        except asyncio.CancelledError:
            pass


def _completed_result(fut: asyncio.Future[T]) -> Optional[Tuple[T]]:
    """``(result,)`` when ``fut`` finished normally, else ``None``."""
    if fut.done() and not fut.cancelled() and fut.exception() is None:
        return (fut.result(),)
    return None


def _discard(fut: asyncio.Future[Any]) -> None:
    """Let a fire-and-forget future finish without an unretrieved-exception warning."""

    def done(f: asyncio.Future[Any]) -> None:
        if not f.cancelled():
            f.exception()

    fut.add_done_callback(done)


async def _close_handle(handle: int) -> None:
    """Close ``handle``; a cancelled task still gets it closed."""
    fut = _kestrelio.close(handle)
    try:
        await fut
    except asyncio.CancelledError:
        await _until_let_go(fut)
        if fut.cancelled():  # the backend aborted the close itself: close anyway
            _discard(_kestrelio.close(handle))
        raise


def _with_filename(exc: OSError, path: StrOrBytesPath) -> Exception:
    """``exc`` worded as io words it: "[Errno 2] No such file or directory: 'x'".

    The backends refuse a name holding a NUL byte with an error that has no
    number; io refuses it with ``ValueError`` before any system call.
    """
    if exc.errno is None:
        name = os.fspath(path)
        if "\0" in name if isinstance(name, str) else b"\0" in name:
            return ValueError("embedded null byte")
        return exc
    if exc.filename is not None:
        return exc
    return type(exc)(exc.errno, os.strerror(exc.errno), os.fspath(path))


def _invalid_argument() -> OSError:
    return OSError(errno.EINVAL, os.strerror(errno.EINVAL))


#: The first read past the size fstat gave, for files whose size is not their
#: length; it doubles while data keeps coming. io starts at its buffer size too.
_PAST_SIZE = 8192


async def _read_op(handle: int, pos: int, n: int) -> bytes:
    """Up to ``n`` bytes at ``pos`` through the driver; short only at end of file."""
    if n >= PARALLEL_MIN:
        fut = _kestrelio.read_parallel(handle, pos, n, CHUNK_SIZE)
    else:
        fut = _kestrelio.read(handle, pos, n)
    data: bytes = await _await_op(fut)
    return data


async def _read_to_eof(
    handle: int, pos: int, size: Callable[[], Awaitable[int]], size_is_length: bool, limit: int = -1
) -> bytes:
    """Everything from ``pos`` to end of file (at most ``limit`` bytes when that is not negative).

    ``size()`` sizes the reads, and a file that grows meanwhile is read on.
    A file that says its size is 0 is read until a read comes back short, as
    io reads every file, unless ``size_is_length`` vouches for it: procfs
    files say 0 whatever they hold.
    """
    parts: List[bytes] = []
    got = 0
    past = _PAST_SIZE
    end_unknown: Optional[bool] = None
    while got != limit:
        s = await size()
        if end_unknown is None:
            end_unknown = s == 0 and not size_is_length
        want = s - pos
        if want > 0:
            n = want
        elif end_unknown:
            n, past = past, min(2 * past, CHUNK_SIZE)
        else:
            break
        if limit >= 0:
            n = min(n, limit - got)
        part = await _read_op(handle, pos, n)
        parts.append(part)
        pos += len(part)
        got += len(part)
        if len(part) < n:
            break  # short: the end of file
    return parts[0] if len(parts) == 1 else b"".join(parts)


def _byte_buffer(b: Any) -> Any:
    """``b`` as the driver lends it: itself, or a flat view of its bytes when its items are not bytes.

    The driver takes only buffers of unsigned bytes; io writes any C-contiguous
    buffer's bytes (an ``array('i')``, a ctypes array). Anything else is left
    for the driver to refuse with its own error.
    """
    if type(b) is bytes or type(b) is bytearray:
        return b
    try:
        view = memoryview(b)
    except TypeError:
        return b
    if view.itemsize == 1 and view.format in ("B", "c") or not view.c_contiguous:
        view.release()
        return b
    return view.cast("B")


def _target_size(b: Buffer) -> int:
    """The size in bytes of the buffer for a ``readinto``; raises TypeError if it is read-only."""
    with memoryview(b) as view:
        if view.readonly:
            raise TypeError(f"readinto() argument must be read-write bytes-like object, not {type(b).__name__}")
        return view.nbytes


def _index(value: Any, what: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} should be integer, not '{type(value).__name__}'") from None
