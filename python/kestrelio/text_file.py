"""``TextFile``: text over a ``BinaryFile``, in the conventions of :class:`io.TextIOWrapper`.

Bytes are read in large chunks and decoded incrementally, so a multi-byte
character or a ``\\r\\n`` split between two reads is joined again; the decoded
text and the decoder's state before each chunk are kept, which is how ``tell``
can return an opaque cookie that ``seek`` understands, as with io.
"""

from __future__ import annotations

import asyncio
import codecs
import io
import locale
import operator
import os
import time
from types import TracebackType
from typing import Any, AsyncIterator, Awaitable, Iterable, List, Optional, Tuple, Type

from .binary_file import BinaryFile
from .binary_lines import YIELD_EVERY, read_lines
from .buffered import LINE_QUOTA, READ_AHEAD, GatedTurns, line_iter
from .driver_calls import _until_let_go
from .text_positions import TextPositions, _unpack_cookie
from .turns import Turns

__all__ = ["TextFile", "resolve_encoding", "check_newline"]

#: Bytes decoded at a time.
TEXT_CHUNK = READ_AHEAD // 2


def resolve_encoding(encoding: Optional[str]) -> str:
    """The encoding io.open would use for ``encoding`` (the locale's, or UTF-8 in UTF-8 mode)."""
    if encoding is None or encoding == "locale":
        if encoding is None:
            encoding = io.text_encoding(None, 3)
        if encoding == "locale":
            getencoding = getattr(locale, "getencoding", None)
            encoding = getencoding() if getencoding is not None else locale.getpreferredencoding(False)
    if not isinstance(encoding, str):
        raise TypeError(f"TextIOWrapper() argument 'encoding' must be str or None, not {type(encoding).__name__}")
    if not codecs.lookup(encoding)._is_text_encoding:
        raise LookupError(f"{encoding!r} is not a text encoding; use codecs.open() to handle arbitrary codecs")
    return encoding


def check_newline(newline: Optional[str]) -> None:
    if newline is not None and not isinstance(newline, str):
        raise TypeError(f"illegal newline type: {type(newline)!r}")
    if newline not in (None, "", "\n", "\r", "\r\n"):
        raise ValueError(f"illegal newline value: {newline!r}")


async def _to_the_end(coro: Awaitable[None]) -> None:
    """Run ``coro`` to its end even if the caller is cancelled meanwhile, and raise the cancellation after."""
    task = asyncio.ensure_future(coro)
    try:
        await asyncio.wait([task])
    except asyncio.CancelledError:
        await _until_let_go(task)
        task.result()
        raise
    task.result()


def _size_arg(size: Optional[int]) -> int:
    if size is None:
        return -1
    try:
        return operator.index(size)
    except TypeError:
        raise TypeError(f"{size!r} is not an integer") from None


class TextFile(TextPositions):
    """An open file in a text mode: ``str`` in and out, with io's newline and encoding rules.

    Obtain one with :func:`kestrelio.open` in a text mode (the default). The
    methods mirror :class:`io.TextIOWrapper` as coroutines: ``read(n)`` (in
    characters), ``readline``, ``readlines``, ``write``, ``writelines``,
    ``seek``, ``truncate``, ``flush``, ``close``; ``tell`` is plain and returns
    an opaque cookie for ``seek`` (a byte position for most codecs), as io's
    does. ``async for line in f`` yields lines. ``buffer`` is the
    :class:`~kestrelio.BinaryFile` underneath.
    """

    __slots__ = ("_buffer", "_mode_str", "_encoding", "_errors", "_readuniversal", "_readtranslate", "_readnl",
                 "_writetranslate", "_writenl", "_line_buffering", "_write_through", "_decoder", "_encoder",
                 "_snapshot", "_b2cratio", "_lines", "_fast_split", "_yield_at", "_turns", "__weakref__")

    def __init__(self, buffer: BinaryFile, encoding: Optional[str] = None, errors: Optional[str] = None,
                 newline: Optional[str] = None, line_buffering: bool = False, write_through: bool = False,
                 mode: str = "r") -> None:
        check_newline(newline)
        self._encoding = resolve_encoding(encoding)
        if errors is None:
            errors = "strict"
        elif not isinstance(errors, str):
            raise ValueError(f"invalid errors: {errors!r}")
        self._errors = errors
        self._buffer = buffer
        self._mode_str = mode
        self._readuniversal = not newline
        self._readtranslate = newline is None
        self._readnl = newline
        self._writetranslate = newline != ""
        self._writenl = newline or os.linesep
        self._line_buffering = bool(line_buffering)
        self._write_through = bool(write_through)
        self._decoder: Optional[Any] = None
        self._encoder: Optional[Any] = None
        #: (decoder flags, bytes fed since) at the point the decoded text starts.
        self._snapshot: Optional[Tuple[int, bytes]] = None
        self._b2cratio = 0.0
        # The decoded text is ``_lines.data`` and the characters used of it ``_lines.index``.
        self._lines = line_iter(self._next_line)
        self._lines.data = ""
        # Text calls take turns as the binary file's do; the fast step of
        # ``async for`` runs only while none has or waits for the turn.
        self._turns: Turns = GatedTurns(self._lines)
        # The fast step splits on "\n" alone.
        self._fast_split = newline is None or newline == "\n"
        self._yield_at = 0.0
        if buffer.writable() and buffer.tell() != 0:
            # No byte-order mark in the middle of a file.
            encoder = self._get_encoder()
            if encoder is not None:
                encoder.setstate(0)

    # Attributes.

    @property
    def buffer(self) -> BinaryFile:
        return self._buffer

    @property
    def name(self) -> Any:
        return self._buffer.name

    @property
    def mode(self) -> str:
        """The mode string given to :func:`kestrelio.open`."""
        return self._mode_str

    @property
    def encoding(self) -> str:
        return self._encoding

    @property
    def errors(self) -> str:
        return self._errors

    @property
    def newlines(self) -> Any:
        """The newlines met so far when reading in universal-newline mode, as io gives them."""
        return getattr(self._decoder, "newlines", None)

    @property
    def line_buffering(self) -> bool:
        return self._line_buffering

    @property
    def write_through(self) -> bool:
        return self._write_through

    @property
    def closed(self) -> bool:
        return self._buffer.closed

    def fileno(self) -> int:
        return self._buffer.fileno()

    def isatty(self) -> bool:
        return self._buffer.isatty()

    def readable(self) -> bool:
        return self._buffer.readable()

    def writable(self) -> bool:
        return self._buffer.writable()

    def seekable(self) -> bool:
        return self._buffer.seekable()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<kestrelio.TextFile name={self.name!r} mode={self._mode_str!r} encoding={self._encoding!r}{state}>"

    # Codec state.

    def _get_encoder(self) -> Any:
        try:
            self._encoder = codecs.getincrementalencoder(self._encoding)(self._errors)
        except LookupError:
            self._encoder = None
        return self._encoder

    def _get_decoder(self) -> Any:
        decoder: Any = codecs.getincrementaldecoder(self._encoding)(self._errors)
        if self._readuniversal:
            decoder = io.IncrementalNewlineDecoder(decoder, self._readtranslate)
        self._decoder = decoder
        return decoder

    def _set_decoded(self, chars: str) -> None:
        self._lines.data = chars
        self._lines.index = 0

    def _take(self, n: int = -1) -> str:
        """Up to ``n`` decoded characters (all when negative); they count as read."""
        data: str = self._lines.data
        i = self._lines.index
        j = len(data) if n < 0 else min(len(data), i + n)
        self._lines.index = j
        return data[i:j]

    def _put_back(self, parts: List[str]) -> None:
        """A cancelled read gives back the text it took; tell() cannot name that point until the next seek."""
        if parts:
            self._set_decoded("".join(parts) + self._take())
            self._snapshot = None

    async def _read_chunk(self) -> bool:
        """Read and decode the next chunk; False at end of file. Only the read itself can be cancelled."""
        decoder = self._decoder or self._get_decoder()
        dec_buffer, dec_flags = decoder.getstate()
        input_chunk = await self._buffer.read1(TEXT_CHUNK)
        eof = not input_chunk
        decoded = decoder.decode(input_chunk, eof)
        self._set_decoded(decoded)
        self._b2cratio = len(input_chunk) / len(decoded) if decoded else 0.0
        self._snapshot = (dec_flags, dec_buffer + input_chunk)
        return not eof

    def _check_readable(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if not self._buffer.readable():
            raise io.UnsupportedOperation("not readable")

    def _check_writable(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if not self._buffer.writable():
            raise io.UnsupportedOperation("not writable")

    async def read(self, size: Optional[int] = -1) -> str:
        """Up to ``size`` characters; to end of file when ``size`` is negative or None."""
        if not self._turns.take():
            await self._turns.wait()
        try:
            return await self._read(size)
        finally:
            self._turns.give()

    async def readline(self, size: Optional[int] = -1) -> str:
        """The next line with its line ending (as translated); at most ``size`` characters; ``""`` at end of file."""
        if not self._turns.take():
            await self._turns.wait()
        try:
            return await self._readline(size)
        finally:
            self._turns.give()

    async def seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        """Go to a cookie from :meth:`tell` (or 0); ``seek(0, SEEK_END)`` goes to the end; returns the cookie."""
        if not self._turns.take():
            await self._turns.wait()
        try:
            return await self._seek(cookie, whence)
        finally:
            self._turns.give()

    async def write(self, s: str) -> int:
        """Write the text ``s`` (newlines translated as ``newline`` says); returns its length in characters."""
        if not self._turns.take():
            await self._turns.wait()
        try:
            return await self._write(s)
        finally:
            self._turns.give()

    # Reading.

    async def _read(self, size: Optional[int] = -1) -> str:
        """Up to ``size`` characters; to end of file when ``size`` is negative or None."""
        self._check_readable()
        n = _size_arg(size)
        decoder = self._decoder or self._get_decoder()
        if n < 0:
            head = self._take()
            try:
                raw = await self._buffer.read()
            except BaseException:
                self._put_back([head])
                raise
            result: str = head + decoder.decode(raw, final=True)
            self._set_decoded("")
            self._snapshot = None
            return result
        parts = [self._take(n)]
        got = len(parts[0])
        try:
            while got < n:
                more = await self._read_chunk()
                part = self._take(n - got)  # at the end the decoder may still give a held-back "\r"
                parts.append(part)
                got += len(part)
                if not more:
                    break
        except BaseException:
            self._put_back(parts)
            raise
        return parts[0] if len(parts) == 1 else "".join(parts)

    def _line_end(self, data: str, start: int) -> int:
        """Index just past the first line ending in ``data`` from ``start``, or -1."""
        if self._readtranslate:
            pos = data.find("\n", start)
            return pos + 1 if pos >= 0 else -1
        if self._readuniversal:
            nl = data.find("\n", start)
            cr = data.find("\r", start, nl if nl >= 0 else len(data))
            if cr >= 0:
                # The decoder never ends a chunk with a lone "\r" that a "\n" may follow.
                return cr + 2 if data.startswith("\n", cr + 1) else cr + 1
            return nl + 1 if nl >= 0 else -1
        readnl = self._readnl or "\n"
        pos = data.find(readnl, start)
        return pos + len(readnl) if pos >= 0 else -1

    async def _readline(self, size: Optional[int] = -1) -> str:
        """The next line with its line ending (as translated); at most ``size`` characters; ``""`` at end of file."""
        self._check_readable()
        limit = _size_arg(size)
        if self._decoder is None:
            self._get_decoder()
        parts: List[str] = []
        got = 0
        try:
            while True:
                data: str = self._lines.data
                i = self._lines.index
                if self._readnl == "\r\n" and parts and parts[-1].endswith("\r") and data.startswith("\n", i):
                    end = i + 1  # the separator was split between two chunks
                else:
                    end = self._line_end(data, i)
                if end >= 0:
                    if limit >= 0 and got + end - i > limit:
                        end = i + limit - got
                    self._lines.index = end
                    parts.append(data[i:end])
                    break
                if limit >= 0 and got + len(data) - i >= limit:
                    parts.append(self._take(limit - got))
                    break
                part = self._take()
                parts.append(part)
                got += len(part)
                if not await self._read_chunk() and not self._lines.data:
                    self._snapshot = None
                    break
        except BaseException:
            self._put_back(parts)
            raise
        return parts[0] if len(parts) == 1 else "".join(parts)

    async def readlines(self, hint: Optional[int] = -1) -> List[str]:
        """The remaining lines; stop once ``hint`` characters are read when ``hint`` > 0."""
        return await read_lines(self.readline, _size_arg(hint))

    async def _next_line(self) -> str:
        """The slow step of ``async for``: refill, and let the loop run every millisecond."""
        # Checked at each refill and every LINE_QUOTA lines: cheap beside the lines between.
        if time.perf_counter() - self._yield_at >= YIELD_EVERY:
            await asyncio.sleep(0)
            self._yield_at = time.perf_counter()
        self._lines.left = LINE_QUOTA if self._fast_split else 0
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    def __aiter__(self) -> AsyncIterator[str]:
        self._check_readable()
        self._yield_at = time.perf_counter()
        it: AsyncIterator[str] = self._lines
        return it

    # Writing.

    async def _write(self, s: str) -> int:
        """Write the text ``s`` (newlines translated as ``newline`` says); returns its length in characters."""
        self._check_writable()
        if not isinstance(s, str):
            raise TypeError(f"write() argument must be str, not {type(s).__name__}")
        length = len(s)
        haslf = (self._writetranslate or self._line_buffering) and "\n" in s
        if haslf and self._writetranslate and self._writenl != "\n":
            s = s.replace("\n", self._writenl)
        encoder = self._encoder or self._get_encoder()
        b = encoder.encode(s) if encoder is not None else s.encode(self._encoding, self._errors)
        if self._snapshot is not None or self._lines.data:
            await self._rewind_for_write()
        await self._buffer.write(b)
        if self._write_through or (self._line_buffering and (haslf or "\r" in s)):
            await self._buffer.flush()
        return length

    async def writelines(self, lines: Iterable[str]) -> None:
        """Write each of ``lines`` in turn (no separators are added)."""
        for line in lines:
            await self.write(line)

    async def flush(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        await self._buffer.flush()

    async def truncate(self, pos: Optional[int] = None) -> int:
        """Resize the file to ``pos`` (default: the position, as a byte offset); returns the size.

        Text decoded ahead of the position is dropped, so later reads see the file as it now is.
        """
        if not self._turns.take():
            await self._turns.wait()
        try:
            if self.closed:
                raise ValueError("I/O operation on closed file.")
            await self._buffer.flush()
            cookie: Optional[int] = None
            if pos is None:
                cookie = self.tell()
                start, _flags, feed, _eof, _skip = _unpack_cookie(cookie)
                pos = start + feed  # a cookie is no byte offset: the bytes read up to the position
            elif self._lines.data:
                try:
                    cookie = self.tell()
                except OSError:  # after a failed decode: the text ahead stays as it is
                    pass
            try:
                size = await self._buffer.truncate(pos)
            except asyncio.CancelledError:
                if cookie is not None and self._lines.data:
                    # The file may have been resized all the same: the text decoded ahead may be gone from it.
                    await _to_the_end(self._decode_again(cookie, None))
                raise
            if cookie is not None and self._lines.data:
                await _to_the_end(self._decode_again(cookie, size))
            return size
        finally:
            self._turns.give()

    async def _decode_again(self, cookie: int, size: Optional[int]) -> None:
        """After a resize to ``size`` (None: unknown), decode from the position what is left of the file."""
        if size is None:
            size = await self._buffer.size()
        start, flags, feed, _eof, _skip = _unpack_cookie(cookie)
        if start + feed <= size:
            await self._seek(cookie)  # decode again what is left
        else:
            self._set_decoded("")  # the position is past the new end: nothing is left to read
            self._snapshot = None
            await self._buffer.seek(start + feed)
            if self._decoder is not None:
                self._decoder.setstate((b"", flags))

    async def sync(self, data_only: bool = False) -> None:
        """Write out the buffered text and make it durable (``fsync``)."""
        await self._buffer.sync(data_only)

    async def close(self) -> None:
        """Write out the buffered text and close the file. Closing a closed file does nothing."""
        try:
            if self._buffer.keep_offset and self._lines.data and not self.closed and self._turns.take():
                # The descriptor's owner goes on where the reader is, not past the text decoded ahead.
                try:
                    await self._rewind_for_write()
                except OSError:
                    pass
                finally:
                    self._turns.give()
        finally:
            await self._buffer.close()

    async def __aenter__(self) -> TextFile:
        return self

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.close()
