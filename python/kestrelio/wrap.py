"""``kestrelio.wrap``: an asynchronous kestrelio file over an open :mod:`io` file object."""

from __future__ import annotations

import io
import os
import stat
from typing import Any

from .modes import Mode
from .opening import AnyFile, FileContext, adopt, file_over, raw_file

__all__ = ["wrap"]


class _Wrapping(FileContext):
    """What :func:`wrap` returns: await it, or use it with ``async with``."""

    __slots__ = ("_fileobj", "_closefd")

    def __init__(self, fileobj: Any, closefd: bool) -> None:
        self._fileobj = fileobj
        self._closefd = closefd
        super().__init__()

    async def _open(self) -> AnyFile:
        fo = self._fileobj
        fo.flush()  # what io buffered must be in the file before we read or write around it
        text = isinstance(fo, io.TextIOBase)
        pos = fo.tell()
        if text and pos >> 64:
            raise ValueError("can't wrap a text file whose decoder is in the middle of a character")
        fd = fo.fileno()
        mode = getattr(fo, "mode", "rb")
        readable, writable = fo.readable(), fo.writable()
        m = Mode(read=readable, write=writable, append="a" in mode, truncate=False, create=False, create_new=False,
                 name=("r" if readable else "a" if "a" in mode else "w") + "b" + ("+" if readable and writable else ""),
                 text=text)
        handle, size, own_fd = await adopt(fd, False)
        f = file_over(handle, size, own_fd, getattr(fo, "name", fd), m, mode if text else m.name,
                      encoding=getattr(fo, "encoding", None) if text else None,
                      errors=getattr(fo, "errors", None) if text else None, closefd=self._closefd, pos=pos)
        if self._closefd:
            async def close_original() -> None:
                fo.close()

            raw_file(f).on_close = close_original
        else:
            async def reposition_original() -> None:
                # The object goes on where this file stopped, as if it had made the calls itself.
                try:
                    where = os.lseek(own_fd, 0, os.SEEK_CUR)
                    fo.seek(0, os.SEEK_END)  # drops what the object buffered: the file may have changed
                    fo.seek(where)
                except (OSError, ValueError):
                    pass

            raw_file(f).keep_offset = True
            raw_file(f).on_close = reposition_original
        return f


def wrap(fileobj: Any, *, closefd: bool = False) -> _Wrapping:
    """A kestrelio file over the open regular-file object ``fileobj``, for ``await`` or ``async with``.

    The kestrelio file shares the object's descriptor, mode and position (text
    objects give a :class:`~kestrelio.TextFile` with their encoding and
    errors); what the object buffered is flushed first. Closing the kestrelio
    file leaves ``fileobj`` open, at the position the kestrelio file reached,
    unless ``closefd`` is true. Anything that is not an open file object over
    a regular file raises :class:`TypeError`.
    """
    if isinstance(fileobj, type) or not isinstance(fileobj, io.IOBase):
        raise TypeError(f"wrap() needs an open file object, not {type(fileobj).__name__}: {fileobj!r}")
    if fileobj.closed:
        raise ValueError("I/O operation on closed file.")
    try:
        fd = fileobj.fileno()
    except (OSError, AttributeError, io.UnsupportedOperation):
        raise TypeError(f"wrap() needs a file object with a descriptor, not {fileobj!r}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        raise TypeError(f"wrap() needs a regular file, not {fileobj!r}")
    return _Wrapping(fileobj, closefd)
