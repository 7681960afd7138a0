"""Positions in a text file: the opaque cookies of ``tell`` and ``seek``, as io's ``TextIOWrapper`` makes them.

A cookie packs the byte position where decoding can start again, the
decoder's flags there, how many bytes to feed it and how many decoded
characters to skip; for most codecs it is just the byte position.
"""

from __future__ import annotations

import io
import operator
import os
from typing import TYPE_CHECKING, Any, Optional, Tuple

if TYPE_CHECKING:
    from .binary_file import BinaryFile


def _pack_cookie(position: int, dec_flags: int = 0, bytes_to_feed: int = 0, need_eof: bool = False,
                 chars_to_skip: int = 0) -> int:
    # Seek to position, set the decoder flags, feed bytes_to_feed bytes (with
    # need_eof as the final flag) and skip chars_to_skip decoded characters.
    return (position | (dec_flags << 64) | (bytes_to_feed << 128) | (chars_to_skip << 192)
            | int(need_eof) << 256)


def _unpack_cookie(cookie: int) -> Tuple[int, int, int, bool, int]:
    rest, position = divmod(cookie, 1 << 64)
    rest, dec_flags = divmod(rest, 1 << 64)
    rest, bytes_to_feed = divmod(rest, 1 << 64)
    need_eof, chars_to_skip = divmod(rest, 1 << 64)
    return position, dec_flags, bytes_to_feed, bool(need_eof), chars_to_skip



class TextPositions:
    """``tell``, ``seek`` and the rewind before a write of :class:`kestrelio.TextFile`."""

    if not TYPE_CHECKING:
        __slots__ = ()  # a mixin holds no state of its own

    if TYPE_CHECKING:  # what positions take from the rest of TextFile
        _buffer: BinaryFile
        _decoder: Optional[Any]
        _encoder: Optional[Any]
        _snapshot: Optional[Tuple[int, bytes]]
        _b2cratio: float
        _lines: Any  # the LineIter holding the decoded text and the characters used of it

        @property
        def closed(self) -> bool: ...
        def _get_encoder(self) -> Any: ...
        def _get_decoder(self) -> Any: ...
        def _set_decoded(self, chars: str) -> None: ...

    def tell(self) -> int:
        """An opaque cookie for :meth:`seek` naming the current position (io's algorithm)."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        position = self._buffer.tell()
        decoder = self._decoder
        used = self._lines.index
        if decoder is None or self._snapshot is None:
            if len(self._lines.data) > used:
                raise OSError("can't reconstruct logical file position")
            return position
        dec_flags, next_input = self._snapshot
        position -= len(next_input)
        chars_to_skip = used
        if chars_to_skip == 0:
            return _pack_cookie(position, dec_flags)
        saved_state = decoder.getstate()
        try:
            # Find a start point close to the position with one decode, then go
            # byte by byte to the nearest point where the decoder holds nothing.
            skip_bytes = int(self._b2cratio * chars_to_skip)
            skip_back = 1
            while skip_bytes > 0:
                decoder.setstate((b"", dec_flags))
                n = len(decoder.decode(next_input[:skip_bytes]))
                if n <= chars_to_skip:
                    b, d = decoder.getstate()
                    if not b:
                        dec_flags = d
                        chars_to_skip -= n
                        break
                    skip_bytes -= len(b)
                    skip_back = 1
                else:
                    skip_bytes -= skip_back
                    skip_back *= 2
            else:
                skip_bytes = 0
                decoder.setstate((b"", dec_flags))
            start_pos = position + skip_bytes
            start_flags = dec_flags
            if chars_to_skip == 0:
                return _pack_cookie(start_pos, start_flags)
            bytes_fed = 0
            need_eof = False
            chars_decoded = 0
            for i in range(skip_bytes, len(next_input)):
                bytes_fed += 1
                chars_decoded += len(decoder.decode(next_input[i:i + 1]))
                dec_buffer, dec_flags = decoder.getstate()
                if not dec_buffer and chars_decoded <= chars_to_skip:
                    start_pos += bytes_fed
                    chars_to_skip -= chars_decoded
                    start_flags, bytes_fed, chars_decoded = dec_flags, 0, 0
                if chars_decoded >= chars_to_skip:
                    break
            else:
                chars_decoded += len(decoder.decode(b"", final=True))
                need_eof = True
                if chars_decoded < chars_to_skip:
                    raise OSError("can't reconstruct logical file position")
            return _pack_cookie(start_pos, start_flags, bytes_fed, need_eof, chars_to_skip)
        finally:
            decoder.setstate(saved_state)

    def _reset_encoder(self, position: int) -> None:
        encoder = self._encoder or self._get_encoder()
        if encoder is not None:
            if position != 0:
                encoder.setstate(0)
            else:
                encoder.reset()

    async def _seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        """Go to a cookie from :meth:`tell` (or 0); ``seek(0, SEEK_END)`` goes to the end; returns the cookie."""
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        cookie = operator.index(cookie)
        if whence == os.SEEK_CUR:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero cur-relative seeks")
            whence = os.SEEK_SET
            cookie = self.tell()
        elif whence == os.SEEK_END:
            if cookie != 0:
                raise io.UnsupportedOperation("can't do nonzero end-relative seeks")
            position = await self._buffer.seek(0, os.SEEK_END)
            self._set_decoded("")
            self._snapshot = None
            if self._decoder is not None:
                self._decoder.reset()
            self._reset_encoder(position)
            return position
        if whence != os.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if cookie < 0:
            raise ValueError(f"negative seek position {cookie!r}")
        start_pos, dec_flags, bytes_to_feed, need_eof, chars_to_skip = _unpack_cookie(cookie)
        # Every wait comes before the first change, so a cancelled seek leaves the reader where it was.
        input_chunk = await self._buffer.pread(bytes_to_feed, start_pos) if chars_to_skip else b""
        await self._buffer.seek(start_pos + len(input_chunk))
        self._set_decoded("")
        self._snapshot = None
        if cookie == 0 and self._decoder is not None:
            self._decoder.reset()
        elif self._decoder is not None or dec_flags or chars_to_skip:
            decoder = self._decoder or self._get_decoder()
            decoder.setstate((b"", dec_flags))
            self._snapshot = (dec_flags, b"")
        if chars_to_skip:
            decoder = self._decoder or self._get_decoder()
            self._set_decoded(decoder.decode(input_chunk, need_eof))
            self._snapshot = (dec_flags, input_chunk)
            if len(self._lines.data) < chars_to_skip:
                raise OSError("can't restore logical file position")
            self._lines.index = chars_to_skip
        self._reset_encoder(cookie)
        return cookie

    async def _rewind_for_write(self) -> None:
        """After reading, put the file position where the reader is, so a write lands there."""
        if self._snapshot is None and not self._lines.data:
            return
        position, dec_flags, bytes_to_feed, _eof, chars_to_skip = _unpack_cookie(self.tell())
        if dec_flags == 0 and bytes_to_feed == 0 and chars_to_skip == 0:
            await self._buffer.seek(position)
        # Otherwise the decoder is mid-character: the write goes where the bytes were read up to, as with io.
        self._set_decoded("")
        self._snapshot = None
        if self._decoder is not None:
            self._decoder.reset()
