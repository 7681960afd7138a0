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

Sharing a file between tasks
----------------------------
One ``BinaryFile`` may be used by many tasks at once. The calls that use or
move the position (``read``, ``readinto``, ``readall``, ``write``, ``seek``,
``truncate``, each step of ``async for`` or ``chunks``) take effect one after
another in the order they were called, as io's buffered objects do under their
lock: no byte is lost, duplicated or overwritten. A task cancelled while it
waits for its turn leaves without effect, and the calls behind it go on.

* In append mode a write does not wait for the appends called before it to
  finish; appends reach the kernel in call order, and a position call after
  them sees all of them.
* ``flush`` and ``sync`` cover every write called before them, ``pwrite``
  included.
* ``close`` lets every call already made finish first; calls made after it
  raise ``ValueError``.
* ``tell`` gives the position after the calls that have completed.
* ``size``, ``pread``, ``preadinto`` and ``pwrite`` do not wait for a turn:
  they run concurrently with everything else.

A task that uses the file alone never suspends for its turn.
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
    TYPE_CHECKING, Any, AsyncIterator, Awaitable, Callable, Generator, List, Optional, Protocol, Set, Tuple, Type,
    TypeVar, Union,
)

import _kestrelio

from . import fast_reads
from .modes import Mode, parse_mode
from .turns import Turns

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
_WHENCES = (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END)


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

    Tasks may share the object: calls that use the position take turns in
    call order, ``pread``/``pwrite``/``size`` run concurrently, ``close``
    waits for the calls already made. See the module documentation for the
    details and for what cancellation does to the position.
    """

    __slots__ = ("_handle", "_fd", "_name", "_mode", "_pos", "_closed", "_regular", "_fast", "_fast_confirmed",
                 "_turns", "_pwrites", "_appended", "_closing", "__weakref__")

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
        self._turns = Turns()
        self._pwrites: Set[asyncio.Future[Any]] = set()  # in flight, for flush and sync to wait on
        # Whether the position is the end of an append that ran since the
        # last position call: concurrent appends may finish in any order.
        self._appended = False
        self._closing: Optional[asyncio.Future[None]] = None

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
        """The position after the calls that have completed."""
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
        return await _read_op(self._handle, pos, n)

    def _size_is_length(self) -> bool:
        """Whether the size fstat gives is where reads end: true of files the page cache maps."""
        fp = self._fast
        if fp is not None and not self._fast_confirmed:
            self._fast_missed()
        return self._fast is not None

    async def _read_at(self, pos: int, n: int) -> bytes:
        if n == 0:
            return b""
        if n > CHUNK_SIZE and self._regular:
            # The result is allocated up front, so a read(n) far beyond the
            # end of file is cut to the size seen now; a short result still
            # means end of file, as with io.
            size = await self._size()
            if size == 0 and not self._size_is_length():  # procfs says 0 whatever it holds
                return await _read_to_eof(self._handle, pos, self._size, False, n)
            n = max(0, min(n, size - pos))
            if n == 0:
                return b""
        fp = self._fast
        if fp is not None:
            if fast_reads.turn_due(n):
                await fast_reads.take_turn()
            data = fast_reads.read(fp, pos, n)
            if data is not None:
                return data
            self._fast_missed()
        return await self._driver_read(pos, n)

    async def _read_all(self, pos: int) -> bytes:
        fp = self._fast
        if fp is not None:
            if fast_reads.turn_due(fast_reads.FAST_MAX):
                await fast_reads.take_turn()
            data = fast_reads.read_all(fp, pos)
            # An empty answer comes from fstat alone; trust it only from a
            # file the fast path can map (procfs files say 0 whatever they hold).
            if data is not None and (data or self._size_is_length()):
                return data
            self._fast_missed()
        if not self._regular:
            whole: bytes = await _await_op(_kestrelio.read_to_end(self._handle, pos))
            return whole
        return await _read_to_eof(self._handle, pos, self._size, self._size_is_length())

    async def read(self, n: Optional[int] = -1) -> bytes:
        """Read up to ``n`` bytes at the position; to end of file when ``n`` is negative or None.

        Fewer bytes come back only at end of file, and ``b""`` there. The
        position moves by the length of the result.
        """
        self._check_readable()
        if n is None:
            n = -1
        else:
            try:
                n = operator.index(n)
            except TypeError:
                raise TypeError(f"argument should be integer or None, not '{type(n).__name__}'") from None
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            start = self._pos
            data = await (self._read_all(start) if n < 0 else self._read_at(start, n))
            self._pos = start + len(data)
            self._appended = False
            return data
        finally:
            turns.give()

    async def readall(self) -> bytes:
        """Read from the position to end of file."""
        return await self.read(-1)

    def _move(self, pos: int) -> None:
        """Set the position after a position call (the hot ones do this inline)."""
        self._pos = pos
        self._appended = False

    async def _readinto_at(self, b: Buffer, pos: int, nbytes: int) -> int:
        fp = self._fast
        if fp is not None:
            if fast_reads.turn_due(nbytes):
                await fast_reads.take_turn()
            got = fast_reads.readinto(fp, pos, b, nbytes)
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
        nbytes = _target_size(b)
        if nbytes == 0:
            return 0
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            start = self._pos
            n = await self._readinto_at(b, start, nbytes)
            self._pos = start + n
            self._appended = False
            return n
        finally:
            turns.give()

    async def pread(self, n: int, pos: int) -> bytes:
        """Read up to ``n`` bytes at ``pos`` without moving the file position, like :func:`os.pread`."""
        self._check_readable()
        n, pos = _index(n, "size"), _index(pos, "position")
        if n < 0 or pos < 0:
            raise _invalid_argument()
        turns = self._turns
        turns.enter()
        try:
            return await self._read_at(pos, n)
        finally:
            turns.leave()

    async def preadinto(self, b: Buffer, pos: int) -> int:
        """Fill ``b`` from ``pos`` without moving the file position."""
        self._check_readable()
        pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        nbytes = _target_size(b)
        if nbytes == 0:
            return 0
        turns = self._turns
        turns.enter()
        try:
            return await self._readinto_at(b, pos, nbytes)
        finally:
            turns.leave()

    def chunks(self, size: int = ITER_CHUNK) -> AsyncIterator[bytes]:
        """Iterate from the position to end of file in chunks of ``size`` bytes (the last may be shorter).

        Each chunk moves the position as ``read(size)`` does, and takes its
        turn as that call would.
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
        with memoryview(b) as view:
            if view.nbytes == 0:
                return 0  # as with io, not even an append moves the position
        if self._mode.append:
            return await self._append(b)
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            fut = _kestrelio.write(self._handle, self._pos, b, False)
            try:
                n, end = await _await_op(fut)
            except asyncio.CancelledError:
                done = _completed_result(fut)
                if done is not None:
                    self._move(done[0][1])  # the bytes reached the file: follow them
                raise
            self._move(end)
            return int(n)
        finally:
            turns.give()

    async def _append(self, b: Buffer) -> int:
        # Appends share the turn: each is submitted in call order and the
        # next one goes out without waiting for it to finish.
        turns = self._turns
        if not turns.take_shared():
            await turns.wait_shared()
        try:
            fut = _kestrelio.write(self._handle, self._pos, b, True)
            try:
                n, end = await _await_op(fut)
            except asyncio.CancelledError:
                done = _completed_result(fut)
                if done is not None:
                    self._appended_to(done[0][1])
                raise
            self._appended_to(end)
            return int(n)
        finally:
            turns.give_shared()

    def _appended_to(self, end: int) -> None:
        # Appends in flight together may finish in any order: the position
        # is the furthest end among them.
        self._pos = max(self._pos, end) if self._appended else end
        self._appended = True

    async def pwrite(self, b: Buffer, pos: int) -> int:
        """Write ``b`` at ``pos`` without moving the file position; returns the byte count.

        On Linux a file opened in append mode appends regardless of ``pos``, as
        :func:`os.pwrite` does.
        """
        self._check_writable()
        pos = _index(pos, "position")
        if pos < 0:
            raise _invalid_argument()
        turns = self._turns
        turns.enter()
        try:
            fut = _kestrelio.write(self._handle, pos, b, False)
            pwrites = self._pwrites
            pwrites.add(fut)
            try:
                n, _end = await _await_op(fut)
            finally:
                pwrites.discard(fut)
            return int(n)
        finally:
            turns.leave()

    async def truncate(self, size: Optional[int] = None) -> int:
        """Resize the file to ``size`` bytes (default: the position); the position stays. Returns the size."""
        self._check_writable()
        if size is not None:
            size = _index(size, "size")
            if size < 0:
                raise _invalid_argument()
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            if size is None:
                size = self._pos
            # A later append must not take the end of one before this as the position.
            self._appended = False
            await _await_op(_kestrelio.set_len(self._handle, size))
            return size
        finally:
            turns.give()

    async def _writes_done(self) -> None:
        """Wait until every write called so far has finished (for flush and sync)."""
        pending: List[asyncio.Future[Any]] = list(self._pwrites)
        turns = self._turns
        # The turn comes after every position call and append made before.
        if not turns.take():
            await turns.wait()
        turns.give()
        if pending:
            await asyncio.wait(pending)

    async def flush(self) -> None:
        """Wait for every write called before; kestrelio keeps no buffer. Use :meth:`sync` for durability."""
        self._check_open()
        turns = self._turns
        turns.enter()
        try:
            await self._writes_done()
        finally:
            turns.leave()

    async def sync(self, data_only: bool = False) -> None:
        """Make the data of every write called before durable (``fsync``).

        With ``data_only`` the backend may flush the data alone, as ``fdatasync``
        does; the runtime backend does so, the POSIX-AIO one always syncs fully.
        """
        self._check_open()
        turns = self._turns
        turns.enter()
        try:
            await self._writes_done()
            await _await_op(_kestrelio.sync(self._handle, bool(data_only)))
        finally:
            turns.leave()

    async def size(self) -> int:
        """The file's current size in bytes."""
        self._check_open()
        turns = self._turns
        turns.enter()
        try:
            return await self._size()
        finally:
            turns.leave()

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position as :meth:`io.FileIO.seek` does; returns the new position.

        Seeking past the end is allowed; a write there leaves a hole, a read
        returns ``b""``.
        """
        self._check_open()
        offset = _index(offset, "offset")
        if whence not in _WHENCES:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        turns = self._turns
        if not turns.take():
            await turns.wait()
        try:
            if whence == os.SEEK_SET:
                new = offset
            elif whence == os.SEEK_CUR:
                new = self._pos + offset
            else:
                new = await self._size() + offset
            if new < 0:
                raise _invalid_argument()
            self._pos = new
            self._appended = False
            return new
        finally:
            turns.give()

    async def close(self) -> None:
        """Close the file. Closing a closed file does nothing.

        The calls already made, of this task or others, finish first; a task
        cancelled while close waits for them still gets the file closed.
        """
        if self._closed:
            closing = self._closing
            if closing is not None:
                await asyncio.shield(closing)  # a close still waiting for calls in flight
            return
        self._closed = True
        if self._turns.busy:
            closing = self._closing = asyncio.ensure_future(self._close_when_idle())
            _discard(closing)
            await asyncio.shield(closing)
            return
        self._fast = None  # the FastPath borrows the descriptor: drop it first
        await _close_handle(self._handle)

    async def _close_when_idle(self) -> None:
        await self._turns.idle()
        self._fast = None
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
