"""Coroutine versions of :mod:`os.path` functions, with the names and
results of ``aiofiles.ospath``; reached as ``kestrelio.os.path``. Each
test is one ``stat`` through the driver (two for ``samefile``,
``sameopenfile`` and ``ismount``); ``abspath`` only computes, as
:func:`os.path.abspath` does."""

from __future__ import annotations

import asyncio
import os
import stat as _stat
from typing import Any, AnyStr, Optional, Union

from . import os as _kos

__all__ = [
    "abspath",
    "getatime",
    "getctime",
    "getmtime",
    "getsize",
    "exists",
    "isdir",
    "isfile",
    "islink",
    "ismount",
    "samefile",
    "sameopenfile",
]

FileDescriptorOrPath = Union[int, str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


async def _mode_test(path: FileDescriptorOrPath, follow_symlinks: bool) -> Optional[int]:
    try:
        if follow_symlinks:
            st = await _kos.stat(path)
        else:
            st = await _kos._lstat(path)  # type: ignore[arg-type]  # an int is refused as os.lstat does
    except (OSError, ValueError):
        return None
    return st.st_mode


async def exists(
    path: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    _kos._check_loop(loop)
    return await _mode_test(path, True) is not None


async def isfile(
    path: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    _kos._check_loop(loop)
    mode = await _mode_test(path, True)
    return mode is not None and _stat.S_ISREG(mode)


async def isdir(
    s: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    _kos._check_loop(loop)
    mode = await _mode_test(s, True)
    return mode is not None and _stat.S_ISDIR(mode)


async def islink(
    path: StrOrBytesPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    _kos._check_loop(loop)
    mode = await _mode_test(path, False)
    return mode is not None and _stat.S_ISLNK(mode)


async def ismount(
    path: StrOrBytesPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    """As :func:`os.path.ismount`: a directory whose parent lies on another
    device, or is the very same directory (the root)."""
    _kos._check_loop(loop)
    try:
        s1 = await _kos._lstat(path)
    except (OSError, ValueError):
        return False
    if _stat.S_ISLNK(s1.st_mode):
        return False
    name = os.fspath(path)
    parent: Union[str, bytes] = os.path.join(name, b"..") if isinstance(name, bytes) else os.path.join(name, "..")
    try:
        s2 = await _kos._lstat(parent)
    except (OSError, ValueError):
        return False
    return s1.st_dev != s2.st_dev or s1.st_ino == s2.st_ino


async def getsize(
    filename: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> int:
    _kos._check_loop(loop)
    return (await _kos.stat(filename)).st_size


async def getmtime(
    filename: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> float:
    _kos._check_loop(loop)
    return (await _kos.stat(filename)).st_mtime


async def getatime(
    filename: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> float:
    _kos._check_loop(loop)
    return (await _kos.stat(filename)).st_atime


async def getctime(
    filename: FileDescriptorOrPath, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> float:
    _kos._check_loop(loop)
    return (await _kos.stat(filename)).st_ctime


async def samefile(
    f1: FileDescriptorOrPath,
    f2: FileDescriptorOrPath,
    *,
    loop: Optional[asyncio.AbstractEventLoop] = None,
    executor: Any = None,
) -> bool:
    _kos._check_loop(loop)
    s1 = await _kos.stat(f1)
    s2 = await _kos.stat(f2)
    return os.path.samestat(s1, s2)


async def sameopenfile(
    fp1: int, fp2: int, *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> bool:
    _kos._check_loop(loop)
    s1 = await _kos._fstat(fp1)
    s2 = await _kos._fstat(fp2)
    return os.path.samestat(s1, s2)


async def abspath(
    path: "os.PathLike[AnyStr] | AnyStr", *, loop: Optional[asyncio.AbstractEventLoop] = None, executor: Any = None
) -> AnyStr:
    """Computed on the calling thread, as :func:`os.path.abspath` does (its
    one system call, ``getcwd``, never waits for a disk)."""
    _kos._check_loop(loop)
    return os.path.abspath(path)
