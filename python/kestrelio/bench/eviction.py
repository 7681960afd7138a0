"""Dropping a file's pages from the page cache, and checking with ``mincore`` that they left.

A cold figure is only worth printing when the pages really were gone before
the timed part: on tmpfs, for one, ``POSIX_FADV_DONTNEED`` has nothing to
write back and nowhere to drop to, and every page stays resident.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import mmap
import os
from typing import Any, Iterable, Optional, Tuple

#: Pages a file may keep after eviction (in hundredths) and still count as cold.
TOLERANCE_PERCENT = 1


class NotEvictable(RuntimeError):
    """The pages of a file stayed in the page cache after ``POSIX_FADV_DONTNEED``."""


_LIBC: Optional[Any] = None


def _libc() -> Any:
    global _LIBC
    if _LIBC is None:
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                              ctypes.c_long]
        libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
        _LIBC = libc
    return _LIBC


def resident_pages(path: str) -> Tuple[int, int]:
    """(resident, total) pages of ``path`` in the page cache, by ``mincore`` over a read-nothing mapping.

    Linux answers truthfully only for files the caller owns or may write; the
    benchmark's own files are both.
    """
    size = os.path.getsize(path)
    page = mmap.PAGESIZE
    pages = (size + page - 1) // page
    if pages == 0:
        return 0, 0
    libc = _libc()
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
        if addr in (None, ctypes.c_void_p(-1).value):
            raise OSError(ctypes.get_errno(), "mmap failed")
        try:
            vec = (ctypes.c_ubyte * pages)()
            if libc.mincore(addr, size, vec) != 0:
                raise OSError(ctypes.get_errno(), "mincore failed")
            flags = bytes(vec)  # only the lowest bit is defined: resident
            return len(flags) - flags.count(0), pages
        finally:
            libc.munmap(addr, size)
    finally:
        os.close(fd)


def _drop(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # dirty pages are not dropped
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def evict(paths: Iterable[str]) -> None:
    """Drops every page of ``paths`` from the page cache; ``NotEvictable`` if ``mincore`` still sees them."""
    paths = list(paths)
    for path in paths:
        _drop(path)
    left = total = 0
    for path in paths:
        r, t = resident_pages(path)
        left += r
        total += t
    if left * 100 > total * TOLERANCE_PERCENT:
        what = paths[0] if len(paths) == 1 else f"{len(paths)} files"
        raise NotEvictable(f"{left} of {total} pages of {what} stayed cached after POSIX_FADV_DONTNEED")


def why_not_evictable(directory: str) -> Optional[str]:
    """None if files in ``directory`` can be evicted, else why not (a probe file is written and removed)."""
    probe = os.path.join(directory, ".evict-probe")
    with open(probe, "wb") as f:
        f.write(os.urandom(16 * mmap.PAGESIZE))
    try:
        evict([probe])
        return None
    except NotEvictable as e:
        return f"{e} (file system {_fs_type(directory)})"
    finally:
        os.unlink(probe)


def _fs_type(directory: str) -> str:
    """The type of the mount holding ``directory``, from /proc/self/mounts, or "unknown"."""
    best, kind = "", "unknown"
    try:
        real = os.path.realpath(directory)
        with open("/proc/self/mounts") as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 3 and (real == fields[1] or real.startswith(fields[1].rstrip("/") + "/")) \
                        and len(fields[1]) > len(best):
                    best, kind = fields[1], fields[2]
    except OSError:
        pass
    return kind
