"""Whole-file helpers in the manner of :class:`pathlib.Path`.

``read_bytes`` is one submission for a file of at most ``INLINE_MAX`` bytes:
the backend opens, reads and closes it. A larger file comes back open; it is
served from the page cache when every page is resident, and otherwise read
in ``CHUNK_SIZE`` pieces that the backend runs concurrently.
"""

from __future__ import annotations

import asyncio
import io
from typing import Optional, Union

import _kestrelio

from .binary_file import CHUNK_SIZE, StrOrBytesPath, _await_op, _completed_result, _discard

__all__ = ["read_bytes", "write_bytes", "read_text", "write_text", "INLINE_MAX"]

#: Files up to this size are read in one submission, open to close.
INLINE_MAX = 1 << 20


async def _read_open_file(handle: int, fd: int) -> bytes:
    try:
        fast = _kestrelio.FastPath(fd).read_all(0)
        if fast is not None:
            return fast
        parts = []
        pos = 0
        while True:
            size = await _await_op(_kestrelio.size(handle))
            if size <= pos:
                break
            want = size - pos
            part = await _await_op(_kestrelio.read_parallel(handle, pos, want, CHUNK_SIZE))
            parts.append(part)
            pos += len(part)
            if len(part) < want:
                break  # the file shrank under us: this is its end
            # Read up to the size snapshot; look once more in case it grew.
        return parts[0] if len(parts) == 1 else b"".join(parts)
    finally:
        _discard(_kestrelio.close(handle))


async def read_bytes(path: StrOrBytesPath) -> bytes:
    """The whole file as ``bytes``, like :meth:`pathlib.Path.read_bytes`."""
    fut = _kestrelio.read_file(path, INLINE_MAX)
    try:
        result = await _await_op(fut)
    except asyncio.CancelledError:
        done = _completed_result(fut)
        if done is not None and not isinstance(done[0], bytes):
            _discard(_kestrelio.close(done[0][0]))  # opened anyway: give it back
        raise
    if isinstance(result, bytes):
        return result
    handle, _size, fd = result
    return await _read_open_file(handle, fd)


async def write_bytes(path: StrOrBytesPath, data: Union[bytes, bytearray, memoryview]) -> int:
    """Create or truncate ``path`` and write ``data``; returns the byte count.

    Like :meth:`pathlib.Path.write_bytes`. The buffer must not be changed
    until the call returns; a ``bytearray`` cannot be resized meanwhile.
    """
    n: int = await _await_op(_kestrelio.write_file(path, data))
    return n


async def read_text(
    path: StrOrBytesPath, encoding: Optional[str] = "utf-8", errors: Optional[str] = None,
    newline: Optional[str] = None
) -> str:
    """The whole file decoded, like :meth:`pathlib.Path.read_text`.

    ``newline`` works as for :func:`io.open`: ``None`` (the default) turns
    ``"\\r\\n"`` and ``"\\r"`` into ``"\\n"``.
    """
    data = await read_bytes(path)
    with io.TextIOWrapper(io.BytesIO(data), encoding=encoding, errors=errors, newline=newline) as text:
        return text.read()


async def write_text(
    path: StrOrBytesPath, data: str, encoding: Optional[str] = "utf-8", errors: Optional[str] = None,
    newline: Optional[str] = None
) -> int:
    """Encode ``data`` and write it, like :meth:`pathlib.Path.write_text`.

    Returns the number of characters written, as pathlib does.
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
