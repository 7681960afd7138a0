"""``BinaryFile``: an asyncio file object in the conventions of :class:`io.FileIO`.

Cancellation
------------
Cancelling a task that waits in any method raises :class:`asyncio.CancelledError`
in it only after the kernel has let go of the memory involved: once it is raised,
no buffer passed to :meth:`BinaryFile.readinto` or :meth:`BinaryFile.write` is
touched any more. The file stays open and usable, and its position is kept
consistent with what reached the file:

* a cancelled read never moves the position, even when the kernel had already
  finished it: the caller never received those bytes, so the next read returns
  them again (reads have no side effect on the file, so this is always safe);
* a cancelled write moves the position exactly when the bytes reached the file
  (the kernel had finished it before the abort): the position then follows the
  written data as for a normal write, so a later write never overwrites it.
  A write that was aborted leaves both the file and the position unchanged.

In both cases the cancelled call raises ``CancelledError`` rather than returning.
"""

from __future__ import annotations

import asyncio
import errno
import io
import os
import stat
import warnings
from types import TracebackType
from typing import TYPE_CHECKING, Any, AsyncIterator, Generator, Optional, Tuple, Type, TypeVar, Union

import _kestrelio

from .modes import Mode, parse_mode

if TYPE_CHECKING:
    from typing_extensions import Buffer
else:  # only a name in annotations; any object with the buffer protocol will do
    Buffer = object

__all__ = ["BinaryFile", "open", "StrOrBytesPath", "CHUNK_SIZE", "PARALLEL_MIN"]

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
T = TypeVar("T")

#: Chunk size for :func:`_kestrelio.read_parallel`. bench/chunk_size.py on a
#: 2-core VM (ext4, 256 MiB file) put every size from 512 KiB to 8 MiB within
#: a few percent of each other, warm (about 1.7-1.8 GiB/s) and cold (about
#: 1.0 GiB/s), on both backends; 256 KiB lost 5-10 % cold. 1 MiB is the
#: smallest size at full speed, which keeps medium files split across
#: several requests and lets a cancellation stop after little work.
CHUNK_SIZE = 1 << 20
#: A read of at least this many bytes is split into CHUNK_SIZE pieces that the
#: backend runs concurrently; smaller reads are one operation.
PARALLEL_MIN = 4 * CHUNK_SIZE
#: Default chunk size of ``async for chunk in f``.
ITER_CHUNK = 1 << 20

_CLOSED_MSG = "I/O operation on closed file."


def _closed_error() -> ValueError:
    return ValueError(_CLOSED_MSG)


async def _await_op(fut: "asyncio.Future[T]") -> T:
    """Await a kernel future; on cancellation wait until the kernel let go.

    ``KernelFuture.cancel`` asks the backend to abort and leaves the future
    pending until the backend answers, so the CancelledError normally reaches
    us with ``fut`` already done. Should it arrive earlier, keep waiting
    (absorbing further cancellations) until the future is settled, then raise.
    """
    try:
        return await fut
    except asyncio.CancelledError:
        while not fut.done():
            try:
                await asyncio.wait([fut])
            except asyncio.CancelledError:
                pass
        raise


def _completed_result(fut: "asyncio.Future[T]") -> Optional[Tuple[T]]:
    """``(result,)`` when ``fut`` finished normally, else ``None``."""
    if fut.done() and not fut.cancelled() and fut.exception() is None:
        return (fut.result(),)
    return None


def _discard(fut: "asyncio.Future[Any]") -> None:
    """Let a fire-and-forget future finish without an unretrieved-exception warning."""

    def done(f: "asyncio.Future[Any]") -> None:
        if not f.cancelled():
            f.exception()

    fut.add_done_callback(done)


class BinaryFile:
    """An open regular file with non-blocking reads and writes.

    Obtain one with :func:`kestrelio.open`. The methods mirror :class:`io.FileIO`
    (``read``, ``readinto``, ``write``, ``seek``, ``truncate``, ...) but are
    coroutines; ``tell``, ``fileno``, ``closed``, ``name`` and ``mode`` are
    plain. ``pread``/``pwrite`` work at an explicit position and leave the file
    position alone. There is no buffer: ``flush`` does nothing, ``sync`` makes
    the data durable.

    Reads of data already in the page cache are served at once on the calling
    thread; everything else goes to the backend without blocking the loop.

    One file position is shared by all users of the object: do not run
    position-based calls of one file concurrently from several tasks (use
    ``pread``/``pwrite`` for that).
    """

    __slots__ = ("_handle", "_fd", "_name", "_mode", "_pos", "_closed", "_fast", "__weakref__")

    def __init__(self, handle: int, fd: int, name: Any, mode: Mode, pos: int) -> None:
        self._handle = handle
        self._fd = fd
        self._name = name
        self._mode = mode
        self._pos = pos
        self._closed = False
        self._fast: Optional[_kestrelio.FastPath] = _kestrelio.FastPath(fd) if mode.read else None

    # -- plain attributes -------------------------------------------------

    @property
    def name(self) -> Any:
        """The path the file was opened with."""
        return self._name

    @property
    def mode(self) -> str:
        """The canonical mode string, as :attr:`io.FileIO.mode` spells it."""
        return self._mode.name

    @property
    def closed(self) -> bool:
        return self._closed

    def fileno(self) -> int:
        self._check_open()
        return self._fd

    def readable(self) -> bool:
        self._check_open()
        return self._mode.read

    def writable(self) -> bool:
        self._check_open()
        return self._mode.write

    def seekable(self) -> bool:
        self._check_open()
        return True

    def tell(self) -> int:
        """The current position."""
        self._check_open()
        return self._pos

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return f"<kestrelio.BinaryFile name={self._name!r} mode={self.mode!r}{state}>"

    # -- checks -------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise _closed_error()

    def _check_readable(self) -> None:
        self._check_open()
        if not self._mode.read:
            raise io.UnsupportedOperation("File not open for reading")

    def _check_writable(self) -> None:
        self._check_open()
        if not self._mode.write:
            raise io.UnsupportedOperation("File not open for writing")

    # -- the fast path --------------------------------------------------------

    def _fast_path(self) -> Optional[_kestrelio.FastPath]:
        return self._fast

    def _fast_missed(self) -> None:
        """A fast-path call said None: drop the FastPath if it can never apply."""
        fp = self._fast
        if fp is not None and not fp.supported():
            self._fast = None

    def _fast_read(self, pos: int, n: int) -> Optional[bytes]:
        fp = self._fast
        if fp is None:
            return None
        data = fp.read(pos, n)
        if data is None:
            self._fast_missed()
        return data

    # -- reading --------------------------------------------------------------

    async def _pread(self, n: int, pos: int) -> bytes:
        if n == 0:
            return b""
        if n > CHUNK_SIZE:
            # The result is allocated up front, so a read(n) far beyond the
            # end of file is cut to the size seen now; a short result still
            # means end of file, as with io.
            size = await self.size()
            n = max(0, min(n, size - pos))
            if n == 0:
                return b""
        data = self._fast_read(pos, n)
        if data is not None:
            return data
        if n >= PARALLEL_MIN:
            return await _await_op(_kestrelio.read_parallel(self._handle, pos, n, CHUNK_SIZE))
        return await _await_op(_kestrelio.read(self._handle, pos, n))

    async def _read_all(self, pos: int) -> bytes:
        fp = self._fast
        if fp is not None:
            data = fp.read_all(pos)
            if data is not None:
                return data
            self._fast_missed()
        fp = self._fast
        if fp is None:
            # Not a regular file (or no mapping): one read to the end of file.
            return await _await_op(_kestrelio.read_to_end(self._handle, pos))
        parts = []
        while True:
            size = fp.size()
            if size is None:
                size = await _await_op(_kestrelio.size(self._handle))
            want = size - pos
            if want <= 0:
                break
            part = await self._pread(want, pos)
            parts.append(part)
            pos += len(part)
            if len(part) < want:
                break
            # Got everything up to the size snapshot: loop once more to see
            # whether the file grew meanwhile (an inline fstat, no round trip).
        return parts[0] if len(parts) == 1 else b"".join(parts)

    async def read(self, n: Optional[int] = -1) -> bytes:
        """Read up to ``n`` bytes from the position; all to end of file when ``n`` is negative or None.

        Returns fewer bytes only at end of file, and ``b""`` there.
        """
        self._check_readable()
        if n is None or n < 0:
            data = await self._read_all(self._pos)
        else:
            n = n.__index__()
            data = await self._pread(n, self._pos)
        self._pos += len(data)
        return data

    async def readall(self) -> bytes:
        """Read from the position to end of file."""
        return await self.read(-1)

    async def readinto(self, b: Buffer) -> int:
        """Fill the writable buffer ``b`` from the position; returns the number of bytes read."""
        self._check_readable()
        n = await self._preadinto(b, self._pos)
        self._pos += n
        return n

    async def _preadinto(self, b: Buffer, pos: int) -> int:
        fp = self._fast
        if fp is not None:
            got = fp.readinto(pos, b)
            if got is not None:
                return got
            if memoryview(b).nbytes == 0:
                return 0
            self._fast_missed()
        return await _await_op(_kestrelio.readinto(self._handle, pos, b))

    async def pread(self, n: int, pos: int) -> bytes:
        """Read up to ``n`` bytes at ``pos`` without moving the file position."""
        self._check_readable()
        if n < 0 or pos < 0:
            raise ValueError("negative size or position")
        return await self._pread(n, pos)

    async def preadinto(self, b: Buffer, pos: int) -> int:
        """Fill ``b`` from ``pos`` without moving the file position."""
        self._check_readable()
        if pos < 0:
            raise ValueError("negative position")
        return await self._preadinto(b, pos)

    def chunks(self, size: int = ITER_CHUNK) -> AsyncIterator[bytes]:
        """Iterate from the position to end of file in chunks of ``size`` bytes (the last may be shorter)."""
        if size <= 0:
            raise ValueError("chunk size must be positive")
        self._check_readable()
        return self._chunks(size)

    async def _chunks(self, size: int) -> AsyncIterator[bytes]:
        while True:
            chunk = await self.read(size)
            if not chunk:
                return
            yield chunk

    def __aiter__(self) -> AsyncIterator[bytes]:
        return self.chunks(ITER_CHUNK)

    # -- writing --------------------------------------------------------------

    async def write(self, b: Buffer) -> int:
        """Write all of ``b`` at the position (at the end in append mode); returns ``len(b)`` in bytes."""
        self._check_writable()
        if memoryview(b).nbytes == 0:
            return 0  # nothing written, nothing moved (append mode included), as io does
        append = self._mode.append
        fut = _kestrelio.write(self._handle, self._pos, b, append)
        try:
            n, end = await _await_op(fut)
        except asyncio.CancelledError:
            done = _completed_result(fut)
            if done is not None:
                # The bytes reached the file: the position follows them.
                self._pos = done[0][1]
            raise
        self._pos = end
        return int(n)

    async def pwrite(self, b: Buffer, pos: int) -> int:
        """Write ``b`` at ``pos`` without moving the file position; returns the byte count.

        On Linux a file opened in append mode appends regardless of ``pos``, as
        :func:`os.pwrite` does.
        """
        self._check_writable()
        if pos < 0:
            raise ValueError("negative position")
        n, _end = await _await_op(_kestrelio.write(self._handle, pos, b, False))
        return int(n)

    async def truncate(self, size: Optional[int] = None) -> int:
        """Resize the file to ``size`` bytes (default: the position); the position stays. Returns the size."""
        self._check_writable()
        if size is None:
            size = self._pos
        size = size.__index__()
        if size < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        await _await_op(_kestrelio.set_len(self._handle, size))
        return size

    async def flush(self) -> None:
        """Nothing to flush: kestrelio keeps no buffer. Use :meth:`sync` for durability."""
        self._check_open()

    async def sync(self, data_only: bool = False) -> None:
        """Make written data durable (``fsync``; ``fdatasync`` with ``data_only``)."""
        self._check_open()
        await _await_op(_kestrelio.sync(self._handle, bool(data_only)))

    async def size(self) -> int:
        """The file's current size in bytes."""
        self._check_open()
        fp = self._fast
        if fp is not None:
            s = fp.size()
            if s is not None:
                return s
        return await _await_op(_kestrelio.size(self._handle))

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position as :meth:`io.FileIO.seek` does; returns the new position."""
        self._check_open()
        offset = offset.__index__()
        if whence == os.SEEK_SET:
            new = offset
        elif whence == os.SEEK_CUR:
            new = self._pos + offset
        elif whence == os.SEEK_END:
            new = await self.size() + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if new < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        self._pos = new
        return new

    # -- closing ----------------------------------------------------------------

    async def close(self) -> None:
        """Close the file. Closing a closed file does nothing."""
        if self._closed:
            return
        self._closed = True
        self._fast = None  # the FastPath borrows the descriptor: drop it first
        await _await_op(_kestrelio.close(self._handle))

    async def __aenter__(self) -> "BinaryFile":
        return self

    async def __aexit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        await self.close()

    def __del__(self) -> None:
        if getattr(self, "_closed", True):
            return
        self._closed = True
        self._fast = None
        warnings.warn(f"unclosed file {self!r}", ResourceWarning, source=self, stacklevel=2)
        try:
            _discard(_kestrelio.close(self._handle))
        except Exception:  # no running loop: the handle stays with the driver
            pass


class _Opener:
    """What :func:`open` returns: await it, or use it with ``async with``."""

    __slots__ = ("_path", "_mode", "_file")

    def __init__(self, path: StrOrBytesPath, mode: Mode) -> None:
        self._path = path
        self._mode = mode
        self._file: Optional[BinaryFile] = None

    async def _open(self) -> BinaryFile:
        m = self._mode
        fut = _kestrelio.open(self._path, m.read, m.write, m.append, m.truncate, m.create, m.create_new)
        try:
            handle, size, fd = await _await_op(fut)
        except asyncio.CancelledError:
            done = _completed_result(fut)
            if done is not None:  # opened anyway: give the handle back
                _discard(_kestrelio.close(done[0][0]))
            raise
        try:
            if stat.S_ISDIR(os.fstat(fd).st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self._path)
            f = BinaryFile(handle, fd, self._path, m, size if m.append else 0)
        except BaseException:
            _discard(_kestrelio.close(handle))
            raise
        return f

    def __await__(self) -> Generator[Any, None, BinaryFile]:
        return self._open().__await__()

    async def __aenter__(self) -> BinaryFile:
        self._file = await self._open()
        return self._file

    async def __aexit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        f, self._file = self._file, None
        if f is not None:
            await f.close()


def open(path: StrOrBytesPath, mode: str = "rb") -> _Opener:
    """Open a file in a binary mode of :func:`io.open`.

    ``mode`` is one of ``"rb"``, ``"wb"``, ``"ab"``, ``"xb"``, with an optional
    ``+`` for reading and writing (``"r+b"``, ``"w+b"``, ``"a+b"``, ``"x+b"``).
    Text modes raise :class:`ValueError`.

    Use as ``async with kestrelio.open(path, "rb") as f:`` or
    ``f = await kestrelio.open(path, "rb")`` (then ``await f.close()``).
    Errors are the usual :class:`OSError` subclasses: ``FileNotFoundError``,
    ``FileExistsError`` (mode ``x``), ``IsADirectoryError``, ``PermissionError``.
    """
    parsed = parse_mode(mode)
    os.fspath(path)  # type check now, like io.open
    return _Opener(path, parsed)
