"""Parsing of ``open`` mode strings, following the rules of :func:`io.open`.

Only binary modes are accepted: ``r``, ``w``, ``a`` or ``x``, an optional
``+``, and a mandatory ``b``, in any order and each at most once. Refusals
carry io.open's own texts, so a wrong mode reads the same as with the
standard library.
"""

from __future__ import annotations

from dataclasses import dataclass

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
    #: The canonical spelling, as :attr:`io.FileIO.mode` gives it ("rb+", "ab", ...).
    name: str


def parse_mode(mode: str) -> Mode:
    """Turn a mode string such as ``"rb"`` or ``"a+b"`` into a :class:`Mode`.

    Raises :class:`ValueError` for anything :func:`io.open` would refuse, and
    for text modes, which kestrelio does not offer.
    """
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
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
    if "b" not in seen:
        raise ValueError(
            f"text mode is not supported (got {mode!r}): kestrelio files are binary;"
            " add 'b' to the mode, or use kestrelio.read_text / kestrelio.write_text"
        )
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
    )
