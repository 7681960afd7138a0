"""Truly non-blocking regular-file I/O for asyncio.

    async with kestrelio.open("data.bin", "rb") as f:
        header = await f.read(16)
    async with kestrelio.open("log.txt") as f:
        async for line in f:
            ...
    data = await kestrelio.read_bytes("data.bin")
"""

from _kestrelio import backend_name

__version__ = "0.1.0"

from . import os
from .binary_file import BinaryFile
from .futures import KernelFuture
from .opening import open
from .text_file import TextFile
from .wrap import wrap
from . import tempfile
from .whole_file import read_bytes, read_text, write_bytes, write_text

__all__ = [
    "__version__",
    "BinaryFile",
    "KernelFuture",
    "TextFile",
    "backend_name",
    "open",
    "os",
    "read_bytes",
    "read_text",
    "tempfile",
    "wrap",
    "write_bytes",
    "write_text",
]
