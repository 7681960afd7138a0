"""Truly non-blocking regular-file I/O for asyncio.

    async with kestrelio.open("data.bin", "rb") as f:
        header = await f.read(16)
    data = await kestrelio.read_bytes("data.bin")
"""

from _kestrelio import backend_name

__version__ = "0.1.0"

from .binary_file import BinaryFile, open
from .futures import KernelFuture
from .whole_file import read_bytes, read_text, write_bytes, write_text

__all__ = [
    "__version__",
    "BinaryFile",
    "KernelFuture",
    "backend_name",
    "open",
    "read_bytes",
    "read_text",
    "write_bytes",
    "write_text",
]
