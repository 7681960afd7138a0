"""Truly non-blocking regular-file I/O for asyncio.

    async with kestrelio.open("data.bin", "rb") as f:
        header = await f.read(16)
    async with kestrelio.open("log.txt") as f:
        async for line in f:
            ...
    data = await kestrelio.read_bytes("data.bin")
"""

import sys as _sys

import _kestrelio
from _kestrelio import backend_name

# On Linux the package runs the fastest backend the kernel allows unless
# KESTRELIO_BACKEND says otherwise. Asked of the extension, never written to
# os.environ, so child processes that run other programs are not steered by
# it; a forked child keeps it. Too late (and a no-op) once the driver exists.
if _sys.platform.startswith("linux"):
    _kestrelio.set_default_backend("auto")

__version__ = "0.1.0"

from . import os
from .binary_file import BinaryFile
from .futures import KernelFuture
from .opening import open
from .stdio import stderr, stderr_bytes, stdin, stdin_bytes, stdout, stdout_bytes
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
    "stderr",
    "stderr_bytes",
    "stdin",
    "stdin_bytes",
    "stdout",
    "stdout_bytes",
    "tempfile",
    "wrap",
    "write_bytes",
    "write_text",
]
