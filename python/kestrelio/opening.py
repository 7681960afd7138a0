"""``kestrelio.open``: :func:`io.open`'s signature, modes and errors, returning asynchronous files."""

from __future__ import annotations

import asyncio
import errno
import os
import stat
import warnings
from types import TracebackType
from typing import Any, Awaitable, Callable, Generator, Optional, Tuple, Type, Union

import _kestrelio

from .binary_file import BinaryFile
from .driver_calls import StrOrBytesPath, _await_op, _completed_result, _discard, _until_let_go, _with_filename
from .buffered import WRITE_BUFFER
from .modes import Mode, parse_mode
from .text_file import TextFile, check_newline

__all__ = ["open", "AnyFile", "adopt", "file_over", "raw_file"]

AnyFile = Union[BinaryFile, TextFile]
Opener = Callable[[Any, int], int]


async def adopt(fd: int, close: bool, owned: bool = False) -> Tuple[int, int, int]:
    """Put the open descriptor ``fd`` in the driver's file table; ``(handle, size, fd)``.

    With ``close`` the file's close closes ``fd``; without, ``fd`` stays open for its owner.
    With ``owned`` as well, a failed or cancelled call closes ``fd`` too, exactly once.
    """
    fut = _kestrelio.adopt(fd, close)
    try:
        opened: Tuple[int, int, int] = await _await_op(fut)
    except BaseException as e:
        done = _completed_result(fut)
        if done is not None:  # adopted anyway: give it back (closing fd only if it was ours to close)
            _discard(_kestrelio.close(done[0][0]))
        elif owned:
            try:
                os.close(fd)
            except OSError:
                pass
        if isinstance(e, OSError) and e.errno is not None:
            raise OSError(e.errno, os.strerror(e.errno)) from None  # worded as io words it
        raise
    return opened


def raw_file(f: AnyFile) -> BinaryFile:
    """The BinaryFile of ``f`` (itself, or the buffer under a TextFile)."""
    return f if isinstance(f, BinaryFile) else f.buffer


def _buffer_size(buffering: int, text: bool) -> int:
    if buffering == 1 and text:
        return WRITE_BUFFER  # line buffering flushes at each newline, in the text layer
    return WRITE_BUFFER if buffering < 0 or buffering == 1 else buffering


def file_over(handle: int, size: int, fd: int, name: Any, m: Mode, mode: str, buffering: int = -1,
              encoding: Optional[str] = None, errors: Optional[str] = None, newline: Optional[str] = None,
              closefd: bool = True, pos: Optional[int] = None) -> AnyFile:
    """The kestrelio file over an open driver handle: a BinaryFile, with a TextFile on top in text modes.

    On failure the handle is closed.
    """
    try:
        st_mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(st_mode):
            # A read-only open of a directory succeeds; io refuses it here.
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        if pos is None:
            pos = size if m.append else 0
        raw = BinaryFile(handle, fd, name, m, pos, stat.S_ISREG(st_mode),
                         _buffer_size(buffering, m.text), closefd)
        if not m.text:
            return raw
        return TextFile(raw, encoding, errors, newline, line_buffering=buffering == 1, mode=mode)
    except BaseException:
        _discard(_kestrelio.close(handle))
        raise


class FileContext:
    """An opening of a file: await it for the file, or use it with ``async with`` to have the file closed after."""

    __slots__ = ("_result",)

    def __init__(self) -> None:
        self._result: Optional[AnyFile] = None

    def _open(self) -> Awaitable[AnyFile]:
        raise NotImplementedError

    def __await__(self) -> Generator[Any, None, AnyFile]:
        return self._open().__await__()

    async def __aenter__(self) -> Any:
        self._result = await self._open()
        return self._result

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        f, self._result = self._result, None
        if f is not None:
            await f.close()


class _Opener(FileContext):
    """What :func:`open` returns: await it, or use it with ``async with``."""

    __slots__ = ("_file", "_m", "_args", "_opener", "_loop")

    def __init__(self, file: Union[StrOrBytesPath, int], m: Mode, args: Tuple[Any, ...], opener: Optional[Opener],
                 loop: Optional[asyncio.AbstractEventLoop]) -> None:
        self._file = file
        self._m = m
        self._args = args  # mode, buffering, encoding, errors, newline, closefd
        self._opener = opener
        self._loop = loop
        super().__init__()

    async def _open(self) -> AnyFile:
        if self._loop is not None and self._loop is not asyncio.get_running_loop():
            raise ValueError("loop must be the running event loop")
        m, file = self._m, self._file
        mode, buffering, encoding, errors, newline, closefd = self._args
        name: Any
        pos: Optional[int] = None
        if isinstance(file, int):
            handle, size, fd = await adopt(file, closefd)
            name = file
            if not m.append:
                try:
                    pos = os.lseek(fd, 0, os.SEEK_CUR)  # io starts at the descriptor's offset
                except OSError:
                    pass
        elif self._opener is not None:
            name = os.fspath(file)
            fd = self._opener(file, m.os_flags())  # on the calling thread, as io.open does
            if not isinstance(fd, int):
                raise TypeError(f"expected an integer from opener, not {type(fd).__name__}")
            if fd < 0:
                raise ValueError(f"opener returned {fd}")
            handle, size, fd = await adopt(fd, True, owned=True)
        else:
            name = os.fspath(file)
            fut = _kestrelio.open(file, m.read, m.write, m.append, m.truncate, m.create, m.create_new)
            try:
                handle, size, fd = await fut
            except asyncio.CancelledError:
                await _until_let_go(fut)
                done = _completed_result(fut)
                if done is not None:  # opened anyway: give the handle back
                    _discard(_kestrelio.close(done[0][0]))
                raise
            except OSError as e:
                raise _with_filename(e, file) from None
        f = file_over(handle, size, fd, name, m, mode, buffering, encoding, errors, newline, closefd, pos)
        raw_file(f).keep_offset = pos is not None and not closefd
        return f


def open(file: Union[StrOrBytesPath, int], mode: str = "r", buffering: int = -1, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None, closefd: bool = True,
         opener: Optional[Opener] = None, *, loop: Optional[asyncio.AbstractEventLoop] = None,
         executor: Any = None) -> _Opener:
    """Open a file as :func:`io.open` does, for ``async with`` or ``await``.

    Text modes (the default ``"r"``, ``"w"``, ``"a"``, ``"x"``, with ``+`` and
    ``t``) give a :class:`~kestrelio.TextFile`, binary modes (with ``b``) a
    :class:`~kestrelio.BinaryFile`. ``buffering``, ``encoding``, ``errors``,
    ``newline``, ``closefd`` and ``opener`` mean what they mean to io.open:
    writes are buffered unless ``buffering=0`` (binary), ``buffering=1``
    flushes text at each newline. ``file`` may be a path or an open
    descriptor. ``opener`` runs on the calling thread, as with io.open.

    ``loop``, if given, must be the running loop. ``executor`` is accepted for
    aiofiles programs and ignored: every operation goes through kestrelio's
    driver, none through an executor.

    Errors are io.open's: :class:`ValueError` and :class:`TypeError` at once for
    bad arguments, and the :class:`OSError` subclasses naming the path when
    awaited (``FileNotFoundError``, ``FileExistsError``, ``IsADirectoryError``,
    ``PermissionError``).
    """
    if not isinstance(file, int):
        file = os.fspath(file)
    if not isinstance(file, (str, bytes, int)):
        raise TypeError(f"invalid file: {file!r}")
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    if not isinstance(buffering, int):
        raise TypeError(f"'{type(buffering).__name__}' object cannot be interpreted as an integer")
    if encoding is not None and not isinstance(encoding, str):
        raise TypeError(f"open() argument 'encoding' must be str or None, not {type(encoding).__name__}")
    if errors is not None and not isinstance(errors, str):
        raise TypeError(f"open() argument 'errors' must be str or None, not {type(errors).__name__}")
    m = parse_mode(mode)
    if not m.text:
        if encoding is not None:
            raise ValueError("binary mode doesn't take an encoding argument")
        if errors is not None:
            raise ValueError("binary mode doesn't take an errors argument")
        if newline is not None:
            raise ValueError("binary mode doesn't take a newline argument")
        if buffering == 1:
            warnings.warn("line buffering (buffering=1) isn't supported in binary mode, the default buffer size "
                          "will be used", RuntimeWarning, stacklevel=2)
    else:
        check_newline(newline)
        if buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
    if not closefd and not isinstance(file, int):
        raise ValueError("Cannot use closefd=False with file name")
    if isinstance(file, int) and file < 0:
        raise ValueError("negative file descriptor")
    return _Opener(file, m, (mode, buffering, encoding, errors, newline, closefd), opener, loop)
