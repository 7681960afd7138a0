"""``FileParts``: the state and helpers that the parts of ``BinaryFile`` (its reads, writes, lines and batches)
share, declared once for type checkers. The parts are mixins and hold no state of their own."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import asyncio
    from typing import Any, Optional, Set

    from typing_extensions import Buffer

    from .append_batches import AppendQueue
    from .buffered import FileBuffer
    from .fast_reads import FastPathLike
    from .modes import Mode
    from .turns import Turns


class FileParts:
    """What each part of :class:`kestrelio.BinaryFile` takes from the rest of it."""

    if not TYPE_CHECKING:
        __slots__ = ()

    if TYPE_CHECKING:
        _handle: int
        _fd: int
        _closed: bool
        _mode: Mode
        _regular: bool
        _pos: int
        _appended: bool
        _appends: Optional[AppendQueue]
        _fast: Optional[FastPathLike]
        _fast_confirmed: bool
        _fast_misses: int
        _fast_skip: int
        _buf: FileBuffer
        _turns: Turns
        _pwrites: Set[asyncio.Future[Any]]
        _yield_at: float

        # BinaryFile's own.
        def _check_open(self) -> None: ...
        def _check_readable(self) -> None: ...
        def _check_writable(self) -> None: ...
        def _where(self) -> int: ...
        def _move(self, pos: int) -> None: ...
        def _drop_read_ahead(self) -> None: ...
        def _forget_copy(self, pos: int, n: int) -> None: ...
        async def _settle(self) -> None: ...
        async def _flush_in_turn(self) -> None: ...

        # One part's, used by another.
        def _fast_missed(self) -> None: ...
        def _fast_declined(self) -> None: ...
        async def _size(self) -> int: ...
        async def _read_at(self, pos: int, n: int) -> bytes: ...
        async def _read_ahead(self) -> bool: ...
        async def read(self, n: Optional[int] = -1) -> bytes: ...
        async def _flush_writes(self) -> None: ...
        async def pwrite(self, b: Buffer, pos: int) -> int: ...
