"""Parsing of ``open`` mode strings, following the rules of :func:`io.open`.

Only binary modes are accepted: ``r``, ``w``, ``a`` or ``x``, an optional
``+``, and a mandatory ``b``, in any order and each at most once.
"""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["Mode", "parse_mode"]


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
        raise TypeError(f"mode must be str, not {type(mode).__name__}")
    allowed = set("rwaxb+t")
    seen: set[str] = set()
    for ch in mode:
        if ch not in allowed or ch in seen:
            raise ValueError(f"invalid mode: {mode!r}")
        seen.add(ch)
    kinds = seen & set("rwax")
    if len(kinds) != 1:
        raise ValueError(
            "must have exactly one of create/read/write/append mode"
            f" (got {mode!r})"
        )
    if "t" in seen or "b" not in seen:
        raise ValueError(
            f"text mode is not supported (got {mode!r}): kestrelio files are binary;"
            " add 'b' to the mode and decode the bytes yourself, or use"
            " kestrelio.read_text / kestrelio.write_text"
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
        name=kind + "b" + ("+" if plus else ""),
    )
