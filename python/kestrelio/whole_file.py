"""Whole-file helpers in the manner of :class:`pathlib.Path`.

``read_bytes`` is one submission for a file of at most ``INLINE_MAX`` bytes:
the backend opens, reads and closes it. A larger file comes back open; it is
served from the page cache when every page is resident, and otherwise read
with one operation, or in ``CHUNK_SIZE`` pieces that the backend runs
concurrently from ``PARALLEL_MIN`` bytes on.

Cancelling a task in one of these raises ``CancelledError`` once the backend
has let go of the data; a file opened on the way is closed again. A cancelled
``write_bytes`` may or may not have created, truncated or written the file.
"""

from __future__ import annotations

import asyncio
import io
from typing import TYPE_CHECKING, Optional

import _kestrelio

from . import fast_reads
from .binary_reads import _FAST_PATH
from .driver_calls import (
    CHUNK_SIZE, StrOrBytesPath, _await_op, _byte_buffer, _close_handle, _completed_result, _discard, _read_to_eof,
    _until_let_go, _with_filename,
)

if TYPE_CHECKING:
    from typing_extensions import Buffer
else:  # only a name in annotations; any object with the buffer protocol will do
    Buffer = object

__all__ = ["read_bytes", "write_bytes", "read_text", "write_text", "INLINE_MAX"]

#: Files up to this size are read in one submission, open to close. Up to one
#: chunk, splitting has nothing to overlap and the open and close round trips
#: of the split path cost more than they save (bench/chunk_size.py).
INLINE_MAX = CHUNK_SIZE


async def _read_to_end(handle: int, fd: int) -> bytes:
    fast = _FAST_PATH(fd) if _FAST_PATH is not None else None
    if fast is not None:
        if fast_reads.turn_due(fast_reads.FAST_MAX):
            await fast_reads.take_turn()
        data = fast_reads.read_all(fast, 0)
        # An empty answer comes from fstat alone: trust it only from a file
        # the fast path can map (procfs files say 0 whatever they hold).
        if data is not None and (data or fast.supported()):
            return data
        if not fast.supported():
            fast = None

    async def size() -> int:
        s = fast.size() if fast is not None else None
        if s is None:
            s = await _await_op(_kestrelio.size(handle))
        return s

    return await _read_to_eof(handle, 0, size, fast is not None)


async def _read_open_file(handle: int, fd: int) -> bytes:
    """Everything in the open file ``handle``, which is closed afterwards."""
    try:
        data = await _read_to_end(handle, fd)
    except BaseException:
        _discard(_kestrelio.close(handle))
        raise
    await _close_handle(handle)
    return data


async def read_bytes(path: StrOrBytesPath) -> bytes:
    """The whole file as ``bytes``, like :meth:`pathlib.Path.read_bytes`."""
    fut = _kestrelio.read_file(path, INLINE_MAX)
    try:
        result = await fut
    except asyncio.CancelledError:
        await _until_let_go(fut)
        done = _completed_result(fut)
        if done is not None and not isinstance(done[0], bytes):
            _discard(_kestrelio.close(done[0][0]))  # opened anyway: give it back
        raise
    except OSError as e:
        raise _with_filename(e, path) from None
    if isinstance(result, bytes):
        return result
    handle, _size, fd = result
    return await _read_open_file(handle, fd)


async def write_bytes(path: StrOrBytesPath, data: Buffer) -> int:
    """Create or truncate ``path`` and write ``data``; returns the byte count.

    Like :meth:`pathlib.Path.write_bytes`, ``data`` is any C-contiguous
    bytes-like object. It is lent to the backend, not copied: don't change it
    until the call returns (a ``bytearray`` cannot be resized meanwhile).
    """
    try:
        n = await _await_op(_kestrelio.write_file(path, _byte_buffer(data)))
    except OSError as e:
        raise _with_filename(e, path) from None
    return n


async def read_text(
    path: StrOrBytesPath, encoding: Optional[str] = "utf-8", errors: Optional[str] = None,
    newline: Optional[str] = None,
) -> str:
    """The whole file decoded, like :meth:`pathlib.Path.read_text`.

    ``newline`` works as for :func:`io.open`: ``None`` (the default) turns
    ``"\\r\\n"`` and ``"\\r"`` into ``"\\n"``, ``""`` leaves line ends alone.
    """
    data = await read_bytes(path)
    with io.TextIOWrapper(io.BytesIO(data), encoding=encoding, errors=errors, newline=newline) as text:
        return text.read()


async def write_text(
    path: StrOrBytesPath, data: str, encoding: Optional[str] = "utf-8", errors: Optional[str] = None,
    newline: Optional[str] = None,
) -> int:
    """Encode ``data`` and write it, like :meth:`pathlib.Path.write_text`.

    Returns the number of characters written, as pathlib does. ``newline``
    works as for :func:`io.open`: ``None`` writes ``"\\n"`` as ``os.linesep``.
    """
    if not isinstance(data, str):
        raise TypeError(f"data must be str, not {type(data).__name__}")
    raw = io.BytesIO()
    with io.TextIOWrapper(raw, encoding=encoding, errors=errors, newline=newline, write_through=True) as text:
        text.write(data)
        text.flush()
        encoded = raw.getvalue()
    await write_bytes(path, encoded)
    return len(data)
