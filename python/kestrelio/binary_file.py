"""``BinaryFile``: an asyncio file object in the conventions of :class:`io.FileIO`.

Cancellation
------------
Cancelling a task that waits in any method raises :class:`asyncio.CancelledError`
in it only after the kernel has let go of the memory involved: once it is raised,
no buffer passed to :meth:`BinaryFile.readinto` or :meth:`BinaryFile.write` is
touched any more. The file stays open and usable, and its position is what the
completed work implies:

* a cancelled read (``read``, ``readinto``, ``readall``, a step of ``async for``)
  never moves the position, even when the kernel had already finished it: the
  caller never received those bytes, so the next read returns them again. The
  buffer of a cancelled ``readinto`` may hold some or all of the data.
* a cancelled ``write`` moves the position when the kernel had finished it
  before the abort: the bytes are in the file and the position follows them,
  as after a normal write, so a later write never overwrites them. A write
  the backend aborted leaves the position where it was. An abort is not
  transactional: a large write aborted half way may have written a prefix,
  so a caller that needs the file exact retries the same write at the same
  position (which the unchanged position makes the default).
* a cancelled ``seek``, ``truncate`` or ``size`` leaves the position alone; a
  cancelled ``truncate`` may or may not have resized the file.

Cancelling a task in ``open`` closes the file again if the open had finished.
"""

from __future__ import annotations

import asyncio
import errno
import io
import operator
import os
import stat
import warnings
from types import TracebackType
from typing import (
    TYPE_CHECKING, Any, AsyncIterator, Callable, Generator, Optional, Protocol, Tuple, Type, TypeVar,
    Union,
)

import _kestrelio

from .modes import Mode, parse_mode

if TYPE_CHECKING:
    from typing_extensions import Buffer
else:  # only a name in annotations; any object with the buffer protocol will do
    Buffer = object

__all__ = ["BinaryFile", "open", "StrOrBytesPath", "CHUNK_SIZE", "PARALLEL_MIN", "ITER_CHUNK"]

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
#: Default chunk size of ``async for chunk in f``: one operation, never split.
ITER_CHUNK = CHUNK_SIZE

_CLOSED_MSG = "I/O operation on closed file."


class _FastPathLike(Protocol):
    """What a file needs of ``_kestrelio.FastPath``; every read answers None when it declines."""

    def read(self, pos: int, n: int, /) -> Optional[bytes]: ...
    def readinto(self, pos: int, buffer: Buffer, /) -> Optional[int]: ...
    def read_all(self, pos: int, /) -> Optional[bytes]: ...
    def size(self) -> Optional[int]: ...
    def supported(self) -> bool: ...


# Older builds of the extension have no FastPath; every read then takes the driver.
_FAST_PATH: Optional[Callable[[int], _FastPathLike]] = getattr(_kestrelio, "FastPath", None)


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
        while not fut.done():
            try:
                await asyncio.wait([fut])
            except asyncio.CancelledError:
                pass
        raise


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
        await _await_op(fut)
    except asyncio.CancelledError:
        if fut.cancelled():  # the backend aborted the close itself: close anyway
            _discard(_kestrelio.close(handle))
        raise


def _with_filename(exc: OSError, path: StrOrBytesPath) -> OSError:
    """``exc`` worded as io words it: "[Errno 2] No such file or directory: 'x'"."""
    if exc.errno is None or exc.filename is not None:
        return exc
    return type(exc)(exc.errno, os.strerror(exc.errno), os.fspath(path))


def _invalid_argument() -> OSError:
    return OSError(errno.EINVAL, os.strerror(errno.EINVAL))


def _index(value: Any, what: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} should be integer, not '{type(value).__name__}'") from None


class BinaryFile:
    """An open regular file with non-blocking reads and writes.

    Obtain one with :func:`kestrelio.open`. The methods mirror :class:`io.FileIO`
    (``read``, ``readinto``, ``write``, ``seek``, ``truncate``, ...) but are
    coroutines; ``tell``, ``fileno``, ``closed``, ``name`` and ``mode`` are
    plain. ``pread``/``pwrite`` work at an explicit position and leave the file
    position alone. There is no buffer: ``flush`` does nothing, ``sync`` makes
    the data durable. ``async for chunk in f`` yields chunks of bytes up to end
    of file (not lines, as io's iteration does).

    Reads of data already in the page cache are served at once on the calling
    thread; everything else goes to the backend without blocking the loop.

    One file position is shared by all users of the object: do not run
    position-based calls of one file concurrently from several tasks (use
    ``pread``/``pwrite`` for that). See the module documentation for what
    cancellation does to the position.
    """

    __slots__ = ("_handle", "_fd", "_name", "_mode", "_pos", "_closed", "_regular", "_fast", "_fast_confirmed",
                 "__weakref__")

    def __init__(self, handle: int, fd: int, name: Any, mode: Mode, pos: int, regular: bool = True) -> None:
        self._handle = handle
        self._fd = fd
        self._name = name
        self._mode = mode
        self._pos = pos
        self._closed = False
        self._regular = regular
        # The FastPath borrows ``fd``; it is dropped before the file is closed.
        self._fast: Optional[_FastPathLike] = _FAST_PATH(fd) if mode.read and _FAST_PATH is not None else None
        self._fast_confirmed = False

    @property
    def name(self) -> Any:
        """The path the file was opened with."""
        return self._name

    @property
    def mode(self) -> str:
        """The mode as :attr:`io.FileIO.mode` spells it ("rb", "rb+", "ab", ...)."""
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

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(_CLOSED_MSG)

    def _check_readable(self) -> None:
        self._check_open()
        if not self._mode.read:
            raise io.UnsupportedOperation("File not open for reading")

    def _check_writable(self) -> None:
        self._check_open()
        if not self._mode.write:
            raise io.UnsupportedOperation("File not open for writing")

    def _fast_missed(self) -> None:
        """The FastPath declined: ask once whether it can ever serve, and drop it if not."""
        fp = self._fast
        if fp is None or self._fast_confirmed:
            return
        if fp.supported():
            self._fast_confirmed = True
        else:
            self._fast = None

    async def _size(self) -> int:
        fp = self._fast
        if fp is not None:
            s = fp.size()
            if s is not None:
                return s
        size: int = await _await_op(_kestrelio.size(self._handle))
        return size

    async def _driver_read(self, pos: int, n: int) -> bytes:
        if n >= PARALLEL_MIN:
            fut = _kestrelio.read_parallel(self._handle, pos, n, CHUNK_SIZE)
        else:
            fut = _kestrelio.read(self._handle, pos, n)
        data: bytes = await _await_op(fut)
        return data

    async def _read_at(self, pos: int, n: int) -> bytes:
        if n == 0:
            return b""
        if n > CHUNK_SIZE and self._regular:
            # The result is allocated up front, so a read(n) far beyond the
            # end of file is cut to the size seen now; a short result still
            # means end of file, as with io.
            n = max(0, min(n, await self._size() - pos))
            if n == 0:
                return b""
        fp = self._fast
        if fp is not None:
            data = fp.read(pos, n)
            if data is not None:
                return data
            self._fast_missed()
        return await self._driver_read(pos, n)

    async def _read_all(self, pos: int) -> bytes:
        fp = self._fast
        if fp is not None:
            data = fp.read_all(pos)
            if data is not None:
                return data
            self._fast_missed()
        if not self._regular:
            whole: bytes = await _await_op(_kestrelio.read_to_end(self._handle, pos))
            return whole
        parts = []
        while True:
            want = await self._size() - pos
            if want <= 0:
                break
            part = await self._driver_read(pos, want)
            parts.append(part)
            pos += len(part)
            if len(part) < want:
                break  # the file shrank meanwhile: this is its end
            # Read up to the size snapshot: look once more in case it grew.
        return parts[0] if len(parts) == 1 else b"".join(parts)

    async def read(self, n: Optional[int] = -1) -> bytes:
        """Read up to ``n`` bytes at the position; to end of file when ``n`` is negative or None.

        Fewer bytes come back only at end of file, and ``b""`` there. The
        position moves by the length of the result.
        """
        self._check_readable()
        start = self._pos
        if n is None:
            data = await self._read_all(start)
        else:
            try:
                n = operator.index(n)
            except TypeError:
                raise TypeError(f"argument should be integer or None, not '{type(n).__name__}'") from None
            data = await (self._read_all(start) if n < 0 else self._read_at(start, n))
        self._pos = start + len(data)
        return data

    async def readall(self) -> bytes:
        """Read from the position to end of file."""
        return await self.read(-1)

    async def _readinto_at(self, b: Buffer, pos: int) -> int:
        with memoryview(b) as view:
            if view.readonly:
                raise TypeError(f"readinto() argument must be read-write bytes-like object, not {type(b).__name__}")
            if view.nbytes == 0:
                return 0
        fp = self._fast
        if fp is not None:
            got = fp.readinto(pos, b)
            if got is not None:
                return got
            self._fast_missed()
        n: int = await _await_op(_kestrelio.readinto(self._handle, pos, b))
        return n

    async def readinto(self, b: Buffer) -> int:
        """Fill the writable buffer ``b`` from the position; returns the number of bytes read.

        Don't touch ``b`` until the call has returned (or raised).
        """
        self._check_readable()
        start = self._pos
        n = await self._readinto_at(b, start)
        self._pos = start + n
        return n

    async def pread(self, n: int, pos: int) -> bytes:
        """Read up to ``n`` bytes at ``pos`` without moving the file position, like :func:`os.pread`."""
        self._check_readable()
        n, pos = _index(n, "size"), _index(pos, "position")
        if n < 0 or pos < 0:
            raise _invalid_argument()
        return await self._read_at(pos, n)

    async def preadinto(self, b: Buffer, pos: int) -> int:
        """Fill ``b`` from ``pos`` without moving the file position."""
        self._check_readable()
        pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        return await self._readinto_at(b, pos)

    def chunks(self, size: int = ITER_CHUNK) -> AsyncIterator[bytes]:
        """Iterate from the position to end of file in chunks of ``size`` bytes (the last may be shorter).

        Each chunk moves the position as ``read(size)`` does.
        """
        size = _index(size, "chunk size")
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

    async def write(self, b: Buffer) -> int:
        """Write all of ``b`` at the position (at the end in append mode); returns its length in bytes.

        The position moves past the written bytes. Don't change ``b`` until
        the call has returned (or raised); a ``bytearray`` cannot be resized
        meanwhile.
        """
        self._check_writable()
        try:
            view = memoryview(b)
        except TypeError:
            raise TypeError(f"a bytes-like object is required, not '{type(b).__name__}'") from None
        with view:
            if view.nbytes == 0:
                return 0  # as with io, not even an append moves the position
        fut = _kestrelio.write(self._handle, self._pos, b, self._mode.append)
        try:
            n, end = await _await_op(fut)
        except asyncio.CancelledError:
            done = _completed_result(fut)
            if done is not None:
                self._pos = done[0][1]  # the bytes reached the file: follow them
            raise
        self._pos = end
        return int(n)

    async def pwrite(self, b: Buffer, pos: int) -> int:
        """Write ``b`` at ``pos`` without moving the file position; returns the byte count.

        On Linux a file opened in append mode appends regardless of ``pos``, as
        :func:`os.pwrite` does.
        """
        self._check_writable()
        pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        n, _end = await _await_op(_kestrelio.write(self._handle, pos, b, False))
        return int(n)

    async def truncate(self, size: Optional[int] = None) -> int:
        """Resize the file to ``size`` bytes (default: the position); the position stays. Returns the size."""
        self._check_writable()
        size = self._pos if size is None else _index(size, "size")
        if size < 0:
            raise _invalid_argument()
        await _await_op(_kestrelio.set_len(self._handle, size))
        return size

    async def flush(self) -> None:
        """Nothing to flush: kestrelio keeps no buffer. Use :meth:`sync` for durability."""
        self._check_open()

    async def sync(self, data_only: bool = False) -> None:
        """Make written data durable (``fsync``).

        With ``data_only`` the backend may flush the data alone, as ``fdatasync``
        does; the runtime backend does so, the POSIX-AIO one always syncs fully.
        """
        self._check_open()
        await _await_op(_kestrelio.sync(self._handle, bool(data_only)))

    async def size(self) -> int:
        """The file's current size in bytes."""
        self._check_open()
        return await self._size()

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position as :meth:`io.FileIO.seek` does; returns the new position.

        Seeking past the end is allowed; a write there leaves a hole, a read
        returns ``b""``.
        """
        self._check_open()
        offset = _index(offset, "offset")
        if whence == os.SEEK_SET:
            new = offset
        elif whence == os.SEEK_CUR:
            new = self._pos + offset
        elif whence == os.SEEK_END:
            new = await self._size() + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if new < 0:
            raise _invalid_argument()
        self._pos = new
        return new

    async def close(self) -> None:
        """Close the file. Closing a closed file does nothing.

        Operations of other tasks still in flight finish first.
        """
        if self._closed:
            return
        self._closed = True
        self._fast = None  # the FastPath borrows the descriptor: drop it first
        await _close_handle(self._handle)

    async def __aenter__(self) -> BinaryFile:
        return self

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.close()

    def __del__(self) -> None:
        if getattr(self, "_closed", True):
            return
        message = f"unclosed file {self!r}"  # before _closed is set, or the repr says "closed"
        self._closed = True
        self._fast = None
        warnings.warn(message, ResourceWarning, source=self, stacklevel=2)
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
        except OSError as e:
            raise _with_filename(e, self._path) from None
        try:
            st_mode = os.fstat(fd).st_mode
            if stat.S_ISDIR(st_mode):
                # A read-only open of a directory succeeds; io refuses it here.
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(self._path))
            return BinaryFile(handle, fd, os.fspath(self._path), m, size if m.append else 0, stat.S_ISREG(st_mode))
        except BaseException:
            _discard(_kestrelio.close(handle))
            raise

    def __await__(self) -> Generator[Any, None, BinaryFile]:
        return self._open().__await__()

    async def __aenter__(self) -> BinaryFile:
        self._file = await self._open()
        return self._file

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        f, self._file = self._file, None
        if f is not None:
            await f.close()


def open(path: StrOrBytesPath, mode: str = "rb") -> _Opener:
    """Open a file in a binary mode of :func:`io.open`.

    ``mode`` is one of ``"rb"``, ``"wb"``, ``"ab"``, ``"xb"``, with an optional
    ``+`` for reading and writing (``"r+b"``, ``"w+b"``, ``"a+b"``, ``"x+b"``).
    Text modes and malformed modes raise :class:`ValueError` at once, as does
    :func:`io.open`.

    Use as ``async with kestrelio.open(path, "rb") as f:`` or
    ``f = await kestrelio.open(path, "rb")`` (then ``await f.close()``).
    Errors are the usual :class:`OSError` subclasses, naming the path:
    ``FileNotFoundError``, ``FileExistsError`` (mode ``x``),
    ``IsADirectoryError``, ``PermissionError``.
    """
    parsed = parse_mode(mode)
    os.fspath(path)  # type check now, like io.open
    return _Opener(path, parsed)
