"""Coroutine versions of :mod:`os` functions, with the names, signatures and
results of ``aiofiles.os``: ``await kestrelio.os.stat(p)`` returns what
``os.stat(p)`` returns and raises what it raises (same exception class,
errno, ``filename`` and ``filename2``).

Each call is one operation of the driver. On ``compio-io-uring`` ``stat``,
``rename``/``replace``, ``remove``/``unlink``, ``rmdir``, ``mkdir``,
``symlink`` and ``link`` use the kernel's own asynchronous opcodes when the
ring offers them, and the runtime's blocking pool otherwise; ``statvfs``,
``readlink``, ``listdir``, ``scandir`` (one listing per call), ``access`` and
``sendfile`` always run on the pool. On ``darwin-aio`` every call runs on the
"kestrelio-open" helper threads. ``makedirs``, ``renames`` and
``removedirs`` are built from those calls as :mod:`os` builds them.

``getcwd`` calls :func:`os.getcwd` directly: it reads the process's own
state and never waits for a disk. The methods of the entries ``scandir``
returns are synchronous as :class:`os.DirEntry`'s are, and like them they
make a ``stat`` system call when the listing did not tell the type.

Every function also takes aiofiles' keyword arguments ``loop`` (if given, it
must be the running loop) and ``executor`` (accepted and ignored: nothing
here runs on an executor).

Cancelling a task that waits in one of these raises ``CancelledError`` once
the backend has answered; an operation the backend had already carried out
(a rename, say) stays done.
"""

from __future__ import annotations

import asyncio
import operator
import os
import sys
from typing import Any, Callable, List, Optional, Tuple, TypeVar, Union, overload

import _kestrelio

from .dir_entry import DirEntry, ScandirIterator

__all__ = [
    "path",
    "stat",
    "statvfs",
    "rename",
    "renames",
    "replace",
    "remove",
    "unlink",
    "mkdir",
    "makedirs",
    "rmdir",
    "removedirs",
    "link",
    "symlink",
    "readlink",
    "listdir",
    "scandir",
    "access",
    "getcwd",
    "sendfile",
    "DirEntry",
    "ScandirIterator",
]

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
FileDescriptorOrPath = Union[int, StrOrBytesPath]
T = TypeVar("T")

_NS = 1_000_000_000
_INT_MAX = 2**31 - 1
_INT_MIN = -(2**31)



def _check_loop(loop: Optional[asyncio.AbstractEventLoop]) -> None:
    if loop is not None and loop is not asyncio.get_running_loop():
        raise ValueError("loop must be the running event loop")


def _fd(value: int) -> int:
    if value > _INT_MAX:
        raise OverflowError("fd is greater than maximum")
    if value < _INT_MIN:
        raise OverflowError("fd is less than minimum")
    return value


def _path(function: str, arg: str, value: Any) -> bytes:
    """A name as the module takes it (file-system bytes), refused with the
    exception and text :mod:`os` uses."""
    return _encode(function, arg, value, "string, bytes or os.PathLike")


def _target(function: str, arg: str, value: Any) -> Union[bytes, int]:
    """A name, or an int naming an open descriptor."""
    if isinstance(value, int):
        return _fd(value)
    return _encode(function, arg, value, "string, bytes, os.PathLike or integer")


def _encode(function: str, arg: str, value: Any, kinds: str) -> bytes:
    try:
        text = os.fspath(value)
    except TypeError:
        raise TypeError(f"{function}: {arg} should be {kinds}, not {type(value).__name__}") from None
    if isinstance(text, str):
        if "\0" in text:
            if sys.version_info >= (3, 13):  # os names the function and argument from 3.13 on
                raise ValueError(f"{function}: embedded null character in {arg}")
            raise ValueError("embedded null byte")
        return os.fsencode(text)
    if not isinstance(text, bytes):
        raise TypeError(f"{function}: {arg} should be {kinds}, not {type(text).__name__}")
    if b"\0" in text:
        raise ValueError(f"{function}: embedded null character in {arg}")
    return text


def _dir_fd(value: Optional[int]) -> Optional[int]:
    if value is None:
        return None
    try:
        return _fd(operator.index(value))
    except TypeError:
        raise TypeError(f"argument should be integer or None, not {type(value).__name__}") from None


def _shown(name: Any) -> Any:
    """A name as os's exceptions carry it: a path-like object as its str or bytes."""
    return name if name is None or isinstance(name, int) else os.fspath(name)


def _os_error(exc: OSError, filename: Any = None, filename2: Any = None) -> OSError:
    """The exception :mod:`os` raises for the error number of ``exc``."""
    if exc.errno is None:
        return exc
    filename, filename2 = _shown(filename), _shown(filename2)
    if filename2 is not None:
        return OSError(exc.errno, os.strerror(exc.errno), filename, None, filename2)
    if filename is not None:
        return OSError(exc.errno, os.strerror(exc.errno), filename)
    return OSError(exc.errno, os.strerror(exc.errno))


async def _await(fut: "asyncio.Future[T]", filename: Any = None, filename2: Any = None) -> T:
    try:
        return await fut
    except OSError as exc:
        raise _os_error(exc, filename, filename2) from None


def _stat_result(t: Tuple[int, ...]) -> os.stat_result:
    mode, ino, dev, nlink, uid, gid, size, a_s, a_ns, m_s, m_ns, c_s, c_ns, blksize, blocks, rdev = t
    # The float times are computed as os computes them, so they compare equal.
    return os.stat_result(
        (mode, ino, dev, nlink, uid, gid, size, a_s, m_s, c_s),
        {
            "st_atime": a_s + a_ns * 1e-9,
            "st_mtime": m_s + m_ns * 1e-9,
            "st_ctime": c_s + c_ns * 1e-9,
            "st_atime_ns": a_s * _NS + a_ns,
            "st_mtime_ns": m_s * _NS + m_ns,
            "st_ctime_ns": c_s * _NS + c_ns,
            "st_blksize": blksize,
            "st_blocks": blocks,
            "st_rdev": rdev,
        },
    )


async def stat(
    path: FileDescriptorOrPath,
    *,
    dir_fd: Optional[int] = None,
    follow_symlinks: bool = True,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> os.stat_result:
    _check_loop(loop)
    target = _target("stat", "path", path)
    dir_number = _dir_fd(dir_fd)
    if isinstance(target, int) and dir_number is not None:
        raise ValueError("stat: can't specify dir_fd without matching path")
    fut = _kestrelio.stat(target, dir_number, bool(follow_symlinks))
    return _stat_result(await _await(fut, path))


async def _lstat(path: StrOrBytesPath) -> os.stat_result:
    """``os.lstat``: names only, never a descriptor."""
    target = _path("lstat", "path", path)
    return _stat_result(await _await(_kestrelio.stat(target, None, False), path))


async def _fstat(fd: int) -> os.stat_result:
    """``os.fstat``: its errors carry no file name."""
    target = _fd(operator.index(fd))
    return _stat_result(await _await(_kestrelio.stat(target, None, True)))


async def statvfs(
    path: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> os.statvfs_result:
    _check_loop(loop)
    target = _target("statvfs", "path", path)
    t = await _await(_kestrelio.statvfs(target), path)
    return os.statvfs_result(t[:10], {"f_fsid": t[10]})


async def _rename(
    function: str, src: StrOrBytesPath, dst: StrOrBytesPath, src_dir_fd: Optional[int], dst_dir_fd: Optional[int]
) -> None:
    a = _path(function, "src", src)
    b = _path(function, "dst", dst)
    await _await(_kestrelio.rename(a, b, _dir_fd(src_dir_fd), _dir_fd(dst_dir_fd)), src, dst)


async def rename(
    src: StrOrBytesPath,
    dst: StrOrBytesPath,
    *,
    src_dir_fd: Optional[int] = None,
    dst_dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    await _rename("rename", src, dst, src_dir_fd, dst_dir_fd)


async def replace(
    src: StrOrBytesPath,
    dst: StrOrBytesPath,
    *,
    src_dir_fd: Optional[int] = None,
    dst_dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    await _rename("replace", src, dst, src_dir_fd, dst_dir_fd)


async def _remove(function: str, path: StrOrBytesPath, dir_fd: Optional[int]) -> None:
    target = _path(function, "path", path)
    await _await(_kestrelio.unlink(target, _dir_fd(dir_fd)), path)


async def remove(
    path: StrOrBytesPath,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    await _remove("remove", path, dir_fd)


async def unlink(
    path: StrOrBytesPath,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    await _remove("unlink", path, dir_fd)


async def rmdir(
    path: StrOrBytesPath,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    target = _path("rmdir", "path", path)
    await _await(_kestrelio.rmdir(target, _dir_fd(dir_fd)), path)


async def mkdir(
    path: StrOrBytesPath,
    mode: int = 0o777,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    target = _path("mkdir", "path", path)
    await _await(_kestrelio.mkdir(target, operator.index(mode), _dir_fd(dir_fd)), path)


async def makedirs(
    name: StrOrBytesPath,
    mode: int = 0o777,
    exist_ok: bool = False,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    head, tail = os.path.split(name)
    if not tail:
        head, tail = os.path.split(head)
    if head and tail and not await path.exists(head):
        try:
            await makedirs(head, exist_ok=exist_ok)
        except FileExistsError:
            pass  # made by someone else meanwhile
        cdir: Union[str, bytes] = os.curdir
        if isinstance(tail, bytes):
            cdir = bytes(os.curdir, "ASCII")
        if tail == cdir:  # xxx/newdir/. exists once xxx/newdir does
            return
    try:
        await mkdir(name, mode)
    except OSError:
        # Only a directory that already exists is fine, and only with exist_ok.
        if not exist_ok or not await path.isdir(name):
            raise


async def removedirs(
    name: StrOrBytesPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> None:
    _check_loop(loop)
    await rmdir(name)
    head, tail = os.path.split(name)
    if not tail:
        head, tail = os.path.split(head)
    while head and tail:
        try:
            await rmdir(head)
        except OSError:
            break
        head, tail = os.path.split(head)


async def renames(
    old: StrOrBytesPath,
    new: StrOrBytesPath,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    head, tail = os.path.split(new)
    if head and tail and not await path.exists(head):
        await makedirs(head)
    await rename(old, new)
    head, tail = os.path.split(old)
    if head and tail:
        try:
            await removedirs(head)
        except OSError:
            pass


async def link(
    src: StrOrBytesPath,
    dst: StrOrBytesPath,
    *,
    src_dir_fd: Optional[int] = None,
    dst_dir_fd: Optional[int] = None,
    follow_symlinks: bool = True,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    a = _path("link", "src", src)
    b = _path("link", "dst", dst)
    src_dir, dst_dir = _dir_fd(src_dir_fd), _dir_fd(dst_dir_fd)
    # os.link calls plain link(2) unless a directory descriptor is given, and
    # on Linux link(2) does not resolve a symbolic link.
    follow = bool(follow_symlinks) and (src_dir is not None or dst_dir is not None)
    await _await(_kestrelio.link(a, b, src_dir, dst_dir, follow), src, dst)


async def symlink(
    src: StrOrBytesPath,
    dst: StrOrBytesPath,
    target_is_directory: bool = False,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> None:
    _check_loop(loop)
    a = _path("symlink", "src", src)
    b = _path("symlink", "dst", dst)
    await _await(_kestrelio.symlink(a, b, _dir_fd(dir_fd)), src, dst)


@overload
async def readlink(
    path: Union[str, "os.PathLike[str]"],
    *,
    dir_fd: Optional[int] = ...,
    loop: Optional[asyncio.AbstractEventLoop] = ...,
    executor: Any = ...,
) -> str: ...
@overload
async def readlink(
    path: Union[bytes, "os.PathLike[bytes]"],
    *,
    dir_fd: Optional[int] = ...,
    loop: Optional[asyncio.AbstractEventLoop] = ...,
    executor: Any = ...,
) -> bytes: ...
async def readlink(
    path: StrOrBytesPath,
    *,
    dir_fd: Optional[int] = None,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> Union[str, bytes]:
    _check_loop(loop)
    target = _path("readlink", "path", path)
    contents = await _await(_kestrelio.readlink(target, _dir_fd(dir_fd)), path)
    return contents if isinstance(os.fspath(path), bytes) else os.fsdecode(contents)


async def _list_dir(
    function: str, path: Optional[FileDescriptorOrPath], call: Callable[[Any], "asyncio.Future[T]"]
) -> Tuple[FileDescriptorOrPath, Union[bytes, int], T]:
    """``call`` on the directory ``path`` names ("." when None) or on the descriptor it is; returns ``path``
    as given, as checked, and the answer."""
    given: FileDescriptorOrPath = "." if path is None else path
    target = _fd(given) if isinstance(given, int) else _encode(
        function, "path", given, "string, bytes, os.PathLike, integer or None")
    by_fd = isinstance(target, int)
    # The module decodes the names when os would, seeing the argument as
    # given; a failure by descriptor carries no file name in os either.
    return given, target, await _await(call(target if by_fd else given), None if by_fd else given)


@overload
async def listdir(
    path: Union[None, int, str, "os.PathLike[str]"] = ...,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = ...,
    executor: Any = ...,
) -> List[str]: ...
@overload
async def listdir(
    path: Union[bytes, "os.PathLike[bytes]"], *, loop: Optional[asyncio.AbstractEventLoop] = ..., executor: Any = ...
) -> List[bytes]: ...
async def listdir(
    path: Optional[FileDescriptorOrPath] = None,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> Union[List[str], List[bytes]]:
    _check_loop(loop)
    names: Union[List[str], List[bytes]]
    _given, _checked, names = await _list_dir("listdir", path, _kestrelio.listdir)
    return names


@overload
async def scandir(
    path: Union[None, int, str, "os.PathLike[str]"] = ...,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = ...,
    executor: Any = ...,
) -> ScandirIterator[str]: ...
@overload
async def scandir(
    path: Union[bytes, "os.PathLike[bytes]"], *, loop: Optional[asyncio.AbstractEventLoop] = ..., executor: Any = ...
) -> ScandirIterator[bytes]: ...
async def scandir(
    path: Optional[FileDescriptorOrPath] = None,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> Union[ScandirIterator[str], ScandirIterator[bytes]]:
    _check_loop(loop)
    given, target, rows = await _list_dir("scandir", path, _kestrelio.scandir)
    if isinstance(target, int):
        return ScandirIterator([DirEntry(name, name, kind, ino, target) for name, kind, ino in rows])
    base = os.fspath(given)  # type: ignore[arg-type]  # an int was handled above
    sep: Any = b"/" if isinstance(base, bytes) else "/"
    prefix = base if base.endswith(sep) else base + sep
    return ScandirIterator([DirEntry(name, prefix + name, kind, ino, None) for name, kind, ino in rows])


async def access(
    path: StrOrBytesPath,
    mode: int,
    *,
    dir_fd: Optional[int] = None,
    effective_ids: bool = False,
    follow_symlinks: bool = True,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> bool:
    _check_loop(loop)
    target = _path("access", "path", path)
    fut = _kestrelio.access(target, operator.index(mode), _dir_fd(dir_fd), bool(effective_ids), bool(follow_symlinks))
    try:
        await fut
    except OSError:
        return False
    return True


async def getcwd(*, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None) -> str:
    """The process's working directory, read on the calling thread: the call
    answers from the process's own state."""
    _check_loop(loop)
    return os.getcwd()


async def sendfile(
    out_fd: int,
    in_fd: int,
    offset: Optional[int],
    count: int,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> int:
    """``os.sendfile`` on the driver's pool or helper threads. Both
    descriptors stay the caller's and must stay open until it returns."""
    _check_loop(loop)
    out = _fd(operator.index(out_fd))
    inp = _fd(operator.index(in_fd))
    pos = None if offset is None else operator.index(offset)
    n = operator.index(count)
    if pos is not None and pos < 0:
        raise OSError(22, os.strerror(22))
    if n < 0:
        raise OSError(22, os.strerror(22))
    count_sent: int = await _await(_kestrelio.sendfile(out, inp, pos, n))
    return count_sent


from . import ospath as path  # noqa: E402  (ospath uses the functions above)
