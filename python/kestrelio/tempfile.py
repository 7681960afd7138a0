"""``kestrelio.tempfile``: the temporary files of :mod:`tempfile`, as kestrelio files.

Each function takes the arguments of its :mod:`tempfile` namesake and is used
as ``async with`` (or awaited). Files are created through the driver, with a
fresh name from :mod:`tempfile`'s generator and the exclusive-create mode, and
removed with :func:`kestrelio.os.unlink`, so the loop never blocks on them; a
temporary directory is made and removed with its tree in the loop's default
executor.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import sys
import tempfile as _tempfile
import weakref
from types import TracebackType
from typing import Any, AnyStr, Awaitable, Callable, Optional, Tuple, Type, TypeVar

from . import os as kos
from .driver_calls import _until_let_go
from .opening import AnyFile, FileContext, open, raw_file

__all__ = ["TemporaryFile", "NamedTemporaryFile", "SpooledTemporaryFile", "TemporaryDirectory", "gettempdir"]

gettempdir = _tempfile.gettempdir
T = TypeVar("T")


async def _in_executor(fn: Callable[..., Any], *args: Any) -> Any:
    # A directory tree is many calls; one executor job does them all.
    return await asyncio.get_running_loop().run_in_executor(None, fn, *args)


def _create_mode(mode: str) -> str:
    """``mode`` with its r/w/a/x replaced by x: a new name is always created exclusively."""
    return "x" + "".join(ch for ch in mode if ch not in "rwax")


async def _create(mode: str, buffering: int, encoding: Optional[str], newline: Optional[str], suffix: Any,
                  prefix: Any, dir: Any, errors: Optional[str]) -> AnyFile:
    prefix, suffix, dir, output_type = _tempfile._sanitize_params(prefix, suffix, dir)  # type: ignore[attr-defined]
    names = _tempfile._get_candidate_names()  # type: ignore[attr-defined]
    if output_type is bytes:
        names = map(os.fsencode, names)
    xmode = _create_mode(mode)
    for _ in range(_tempfile.TMP_MAX):
        path = os.path.join(dir, prefix + next(names) + suffix)
        try:
            opening = open(path, xmode, buffering, encoding, errors, newline)
            f: AnyFile = await _made_or_undone(opening, _close_and_remove)
        except FileExistsError:
            continue
        except PermissionError:
            # A directory of that name on Windows; elsewhere a real refusal.
            if os.name == "nt" and os.path.isdir(dir):
                continue
            raise
        return f
    raise FileExistsError("No usable temporary file name found")


async def _made_or_undone(make: Awaitable[T], undo: Callable[[T], Awaitable[None]]) -> T:
    """What ``make`` makes; a cancelled caller waits until it is made, has ``undo`` remove it, and is cancelled.

    The caller of a cancelled call never learns the name of what was made, so
    nothing else could ever remove it.
    """
    task = asyncio.ensure_future(make)
    try:
        await asyncio.wait([task])  # which leaves ``task`` alone when the caller is cancelled
    except asyncio.CancelledError:
        await _until_let_go(task)
        if not task.cancelled() and task.exception() is None:
            await undo(task.result())
        raise
    return task.result()


async def _close_and_remove(f: AnyFile) -> None:
    try:
        await f.close()
    finally:
        await _remove_quietly(f.name)


async def _remove_tree(name: Any) -> None:
    await _in_executor(shutil.rmtree, name, True)


class _Temporary(FileContext):
    """``async with`` or ``await`` of a temporary file; the file removes itself as asked."""

    __slots__ = ("_make", "_remove_at_exit", "leftover")

    def __init__(self, make: Callable[[], Awaitable[AnyFile]], remove_at_exit: bool = False) -> None:
        self._make = make
        self._remove_at_exit = remove_at_exit
        #: Removes the file if it is collected, or still there at exit, before the ``async with`` ends.
        self.leftover: Optional[weakref.finalize[[Any], Any]] = None
        super().__init__()

    def _open(self) -> Awaitable[AnyFile]:
        return self._make()

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        f = self._result
        await super().__aexit__(exc_type, exc, tb)
        if f is not None and self._remove_at_exit:
            if self.leftover is not None:
                self.leftover.detach()
            await _remove_quietly(f.name)


def _unlink_quietly(path: Any) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


async def _remove_quietly(path: Any) -> None:
    try:
        await kos.unlink(path)
    except FileNotFoundError:
        pass


def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: Optional[str] = None,
                  newline: Optional[str] = None, suffix: Optional[AnyStr] = None, prefix: Optional[AnyStr] = None,
                  dir: Any = None, *, errors: Optional[str] = None) -> _Temporary:
    """A file with no name in the file system: it is removed as soon as it is created."""

    async def make() -> AnyFile:
        f = await _create(mode, buffering, encoding, newline, suffix, prefix, dir, errors)
        try:
            await kos.unlink(f.name)
        except BaseException:
            await _close_and_remove(f)  # a cancelled unlink may not have run
            raise
        return f

    return _Temporary(make)


def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: Optional[str] = None,
                       newline: Optional[str] = None, suffix: Optional[AnyStr] = None,
                       prefix: Optional[AnyStr] = None, dir: Any = None, delete: bool = True, *,
                       errors: Optional[str] = None, delete_on_close: bool = True) -> _Temporary:
    """A temporary file with a name (``f.name``).

    With ``delete`` it is removed when closed, or, with ``delete_on_close=False``
    (Python 3.12 and later, as with :mod:`tempfile`), when the ``async with``
    block ends. Without ``delete`` it stays.
    """
    if sys.version_info < (3, 12) and not delete_on_close:
        raise TypeError("NamedTemporaryFile() got an unexpected keyword argument 'delete_on_close'")

    temp: _Temporary

    async def make() -> AnyFile:
        f = await _create(mode, buffering, encoding, newline, suffix, prefix, dir, errors)
        if delete:
            name = f.name
            # A file collected, or still open at exit, is removed then, as tempfile's is.
            leftover = temp.leftover = weakref.finalize(raw_file(f), _unlink_quietly, name)
            if delete_on_close:
                async def remove() -> None:
                    leftover.detach()
                    await _remove_quietly(name)

                raw_file(f).on_close = remove
        return f

    temp = _Temporary(make, remove_at_exit=delete and not delete_on_close)
    return temp


def SpooledTemporaryFile(max_size: int = 0, mode: str = "w+b", buffering: int = -1,
                         encoding: Optional[str] = None, newline: Optional[str] = None,
                         suffix: Optional[AnyStr] = None, prefix: Optional[AnyStr] = None, dir: Any = None, *,
                         errors: Optional[str] = None) -> _Temporary:
    """A :func:`TemporaryFile`: kestrelio files live in the file system from the start.

    Data that stays small stays in the page cache, which is what spooling in
    memory buys; ``max_size`` is accepted and has no effect.
    """
    return TemporaryFile(mode, buffering, encoding, newline, suffix, prefix, dir, errors=errors)


def _remove_leftover(name: Any, ignore_errors: bool, warning: str) -> None:
    # As tempfile's does: a directory whose ``async with`` never ended (its
    # object collected, or the interpreter exiting) is removed here, blocking.
    import warnings

    warnings.warn(warning, ResourceWarning, stacklevel=2)
    shutil.rmtree(name, ignore_errors=ignore_errors)


class TemporaryDirectory:
    """``async with TemporaryDirectory() as name``: a new directory, removed with its content at the end.

    One whose ``async with`` never ends is removed when the object is
    collected or the interpreter exits, with a ``ResourceWarning``, as
    :class:`tempfile.TemporaryDirectory` does.
    """

    def __init__(self, suffix: Optional[AnyStr] = None, prefix: Optional[AnyStr] = None, dir: Any = None,
                 ignore_cleanup_errors: bool = False, *, delete: bool = True) -> None:
        self._args: Tuple[Any, Any, Any] = (suffix, prefix, dir)
        self._ignore_cleanup_errors = ignore_cleanup_errors
        self._delete = delete
        self.name: Any = None
        self._leftover: Optional[weakref.finalize[[Any, bool, str], TemporaryDirectory]] = None

    async def __aenter__(self) -> Any:
        self.name = await _made_or_undone(_in_executor(_tempfile.mkdtemp, *self._args), _remove_tree)
        if self._delete:
            self._leftover = weakref.finalize(self, _remove_leftover, self.name, self._ignore_cleanup_errors,
                                              f"Implicitly cleaning up {self!r}")
        return self.name

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r}>"

    async def cleanup(self) -> None:
        if self._leftover is not None:
            self._leftover.detach()
            self._leftover = None
        if self.name is not None and self._delete:
            await _in_executor(shutil.rmtree, self.name, self._ignore_cleanup_errors)

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.cleanup()
