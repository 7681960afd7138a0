"""The entries of a directory listing, as :func:`kestrelio.os.scandir` returns them.

They behave as :class:`os.DirEntry` and the iterator :func:`os.scandir`
returns: the listing is complete when it is handed over, and the entries'
methods are synchronous, using the type the listing reported and making a
``stat`` system call (cached) only when they need one.
"""

from __future__ import annotations

import os
import stat as _stat
from types import GenericAlias, TracebackType
from typing import Any, AnyStr, Generic, Iterator, List, Optional, Type

__all__ = ["DirEntry", "ScandirIterator", "UNKNOWN", "FILE", "DIR", "SYMLINK", "OTHER"]

#: Entry kinds of a listing, as the native module reports them.
UNKNOWN, FILE, DIR, SYMLINK, OTHER = range(5)


class DirEntry(Generic[AnyStr]):
    """An entry of :func:`scandir`, with the attributes and methods of
    :class:`os.DirEntry`. Like them, the methods are synchronous: they use
    the type the listing reported and make a ``stat`` system call (cached)
    only when they need one."""

    __slots__ = ("name", "path", "_kind", "_ino", "_dir_fd", "_stat", "_lstat")

    name: AnyStr
    path: AnyStr

    def __init__(self, name: AnyStr, path: AnyStr, kind: int, ino: int, dir_fd: Optional[int]) -> None:
        self.name = name
        self.path = path
        self._kind = kind
        self._ino = ino
        self._dir_fd = dir_fd
        self._stat: Optional[os.stat_result] = None
        self._lstat: Optional[os.stat_result] = None

    def inode(self) -> int:
        return self._ino

    def _fetch(self, follow_symlinks: bool) -> os.stat_result:
        if self._dir_fd is not None:
            return os.stat(self.name, dir_fd=self._dir_fd, follow_symlinks=follow_symlinks)
        return os.stat(self.path, follow_symlinks=follow_symlinks)

    def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        if follow_symlinks and self.is_symlink():
            if self._stat is None:
                self._stat = self._fetch(True)
            return self._stat
        if self._lstat is None:
            self._lstat = self._fetch(False)
        return self._lstat

    def _test_mode(self, follow_symlinks: bool, kind: int, mode_bits: int) -> bool:
        if self._kind != UNKNOWN and not (follow_symlinks and self._kind == SYMLINK):
            return self._kind == kind
        try:
            st = self.stat(follow_symlinks=follow_symlinks)
        except FileNotFoundError:
            return False
        return _stat.S_IFMT(st.st_mode) == mode_bits

    def is_symlink(self) -> bool:
        if self._kind != UNKNOWN:
            return self._kind == SYMLINK
        return self._test_mode(False, SYMLINK, _stat.S_IFLNK)

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        return self._test_mode(follow_symlinks, DIR, _stat.S_IFDIR)

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        return self._test_mode(follow_symlinks, FILE, _stat.S_IFREG)

    def is_junction(self) -> bool:
        return False

    def __fspath__(self) -> AnyStr:
        return self.path

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"

    __class_getitem__: Any = classmethod(GenericAlias)


class ScandirIterator(Generic[AnyStr]):
    """What :func:`scandir` returns: an iterator over the entries, usable as
    a context manager, like :func:`os.scandir`'s. The listing is complete
    when it is returned; ``close`` drops what is left."""

    def __init__(self, entries: List[DirEntry[AnyStr]]) -> None:
        self._it: Iterator[DirEntry[AnyStr]] = iter(entries)

    def __iter__(self) -> "ScandirIterator[AnyStr]":
        return self

    def __next__(self) -> DirEntry[AnyStr]:
        return next(self._it)

    def close(self) -> None:
        self._it = iter(())

    def __enter__(self) -> "ScandirIterator[AnyStr]":
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        self.close()
