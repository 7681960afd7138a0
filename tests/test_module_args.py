import asyncio
import os

import pytest

import _kestrelio as k
from conftest import open_rw, run


def test_open_by_keyword(data_file):
    async def main():
        f = k.open(path=data_file, read=True, write=False, append=False, truncate=False, create=False,
                   create_new=False)
        h, size, fd = await f
        await k.close(h)
        return size
    assert run(main) == data_file.stat().st_size


def test_flag_must_be_bool(data_file):
    async def main():
        with pytest.raises(TypeError, match="^argument 'read': "):
            k.open(data_file, 1, False, False, False, False, False)
        with pytest.raises(TypeError, match="^argument 'data_only': "):
            k.sync(1, 0)
    run(main)


def test_negative_is_overflow():
    async def main():
        with pytest.raises(OverflowError):
            k.read(1, -1, 10)
        with pytest.raises(OverflowError):
            k.read(1, 0, 2 ** 64)
        with pytest.raises(TypeError, match="^argument 'len': "):
            k.read(1, 0, "10")
        class Idx:
            def __index__(self):
                return 0
        f = k.read(10 ** 6, Idx(), Idx())  # __index__ is accepted; unknown handle fails in the future
        with pytest.raises(OSError, match="unknown or closed kestrelio handle"):
            await f
    run(main)


def test_interpreter_style_binding_errors():
    async def main():
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            k.read(1, 0, 1, bogus=1)
        with pytest.raises(TypeError, match="multiple values for argument 'handle'"):
            k.read(1, 0, 1, handle=1)
        with pytest.raises(TypeError, match="missing required argument 'len'"):
            k.read(1, 0)
        with pytest.raises(TypeError, match="positional arguments"):
            k.close(1, 2)
        with pytest.raises(TypeError):
            k.probe_nop(1)
    run(main)


def test_path_forms(data_file):
    async def main():
        for p in (str(data_file), os.fsencode(data_file), data_file):
            h, _, _ = await k.open(p, True, False, False, False, False, False)
            await k.close(h)
        with pytest.raises(TypeError, match="^argument 'path': "):
            k.open(3.5, True, False, False, False, False, False)
    run(main)


def test_outside_loop_is_runtime_error():
    with pytest.raises(RuntimeError):
        k.read(1, 0, 1)
    with pytest.raises(RuntimeError):
        k.probe_resolved_future()
    with pytest.raises(RuntimeError):
        k.probe_nop()
