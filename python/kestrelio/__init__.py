"""Truly non-blocking regular-file I/O for asyncio."""
