"""Parsing of ``open`` mode strings, following the rules of :func:`io.open`.

``r``, ``w``, ``a`` or ``x``, an optional ``+``, and ``t`` (the default) or
``b``, in any order and each at most once. Refusals carry io.open's own
texts, so a wrong mode reads the same as with the standard library.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Dict

__all__ = ["Mode", "parse_mode"]

_ALLOWED = frozenset("rwaxb+t")


@dataclass(frozen=True)
class Mode:
    """The open flags a mode string stands for."""

    read: bool
    write: bool
    append: bool
    truncate: bool
    create: bool
    create_new: bool
    #: The canonical binary spelling, as :attr:`io.FileIO.mode` gives it ("rb", "rb+", "ab", ...).
    name: str
    #: Text mode: the file is a TextFile over the binary one.
    text: bool = False

    def os_flags(self) -> int:
        """The :func:`os.open` flags, as :class:`io.FileIO` passes them to an ``opener``."""
        if self.read and self.write:
            flags = os.O_RDWR
        elif self.write:
            flags = os.O_WRONLY
        else:
            flags = os.O_RDONLY
        if self.create_new:
            flags |= os.O_CREAT | os.O_EXCL
        elif self.create:
            flags |= os.O_CREAT
        if self.truncate:
            flags |= os.O_TRUNC
        if self.append:
            flags |= os.O_APPEND
        return flags | getattr(os, "O_CLOEXEC", 0)


def parse_mode(mode: str) -> Mode:
    """Turn a mode string such as ``"r"``, ``"rb"`` or ``"a+b"`` into a :class:`Mode`.

    Raises :class:`ValueError` for anything :func:`io.open` would refuse.
    """
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    m = _parsed.get(mode)
    if m is None:
        m = _parse(mode)
        if len(_parsed) < 64:  # the spellings a program uses are few; others are parsed each time
            _parsed[mode] = m
    return m


_parsed: Dict[str, Mode] = {}


def _parse(mode: str) -> Mode:
    seen: set[str] = set()
    for ch in mode:
        if ch not in _ALLOWED or ch in seen:
            raise ValueError(f"invalid mode: {mode!r}")
        seen.add(ch)
    kinds = seen & set("rwax")
    if len(kinds) > 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    if "t" in seen and "b" in seen:
        raise ValueError("can't have text and binary mode at once")
    if not kinds:
        # io.open hands this case to FileIO, whose wording differs.
        raise ValueError("Must have exactly one of create/read/write/append mode and at most one plus")
    (kind,) = kinds
    plus = "+" in seen
    return Mode(
        read=kind == "r" or plus,
        write=kind != "r" or plus,
        append=kind == "a",
        truncate=kind == "w",
        create=kind in "wa",
        create_new=kind == "x",
        # FileIO spells "w+" as "rb+": the truncation is not part of the name.
        name=("r" if plus and kind == "w" else kind) + "b" + ("+" if plus else ""),
        text="b" not in seen,
    )
