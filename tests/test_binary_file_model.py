"""BinaryFile against io.FileIO: the same random operations give the same results, positions and file."""

import asyncio
import io
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestrelio

MODES = ["rb", "r+b", "wb", "w+b", "ab", "a+b", "xb", "x+b"]
sizes = st.integers(min_value=-1, max_value=9000)
offsets = st.integers(min_value=-100, max_value=20000)
blobs = st.binary(min_size=0, max_size=5000)

operations = st.one_of(
    st.tuples(st.just("read"), sizes),
    st.tuples(st.just("readall")),
    st.tuples(st.just("readinto"), st.integers(min_value=0, max_value=9000)),
    st.tuples(st.just("write"), blobs),
    st.tuples(st.just("seek"), offsets, st.sampled_from([os.SEEK_SET, os.SEEK_CUR, os.SEEK_END])),
    st.tuples(st.just("truncate"), st.one_of(st.none(), st.integers(min_value=0, max_value=20000))),
    st.tuples(st.just("pread"), st.integers(min_value=0, max_value=9000), st.integers(min_value=0, max_value=20000)),
    st.tuples(st.just("pwrite"), blobs, st.integers(min_value=0, max_value=20000)),
    st.tuples(st.just("size")),
)


def outcome(fn):
    """What a call did: ("ok", value) or ("raised", exception type, errno)."""
    try:
        return ("ok", fn())
    except (OSError, ValueError) as e:
        return ("raised", type(e), getattr(e, "errno", None))


async def aoutcome(coro_fn):
    try:
        return ("ok", await coro_fn())
    except (OSError, ValueError) as e:
        return ("raised", type(e), getattr(e, "errno", None))


def on_fileio(f, op):
    name, *args = op
    if name == "read":
        return outcome(lambda: f.read(args[0]))
    if name == "readall":
        # FileIO.readall skips the mode check that read(-1) makes (EBADF
        # instead of UnsupportedOperation); BinaryFile.readall is read(-1).
        return outcome(lambda: f.read(-1))
    if name == "readinto":
        buf = bytearray(args[0])
        got = outcome(lambda: f.readinto(buf))
        return got + (bytes(buf[:got[1]]),) if got[0] == "ok" else got
    if name == "write":
        return outcome(lambda: f.write(args[0]))
    if name == "seek":
        return outcome(lambda: f.seek(*args))
    if name == "truncate":
        return outcome(lambda: f.truncate(args[0]))
    if name == "pread":
        def pread():
            if not f.readable():
                raise io.UnsupportedOperation("File not open for reading")
            return os.pread(f.fileno(), *args)
        return outcome(pread)
    if name == "pwrite":
        def pwrite():
            if not f.writable():
                raise io.UnsupportedOperation("File not open for writing")
            return os.pwrite(f.fileno(), *args)
        return outcome(pwrite)
    assert name == "size"
    return outcome(lambda: os.fstat(f.fileno()).st_size)


async def on_binary_file(f, op):
    name, *args = op
    if name == "read":
        return await aoutcome(lambda: f.read(args[0]))
    if name == "readall":
        return await aoutcome(f.readall)
    if name == "readinto":
        buf = bytearray(args[0])
        got = await aoutcome(lambda: f.readinto(buf))
        return got + (bytes(buf[:got[1]]),) if got[0] == "ok" else got
    if name == "write":
        return await aoutcome(lambda: f.write(args[0]))
    if name == "seek":
        return await aoutcome(lambda: f.seek(*args))
    if name == "truncate":
        return await aoutcome(lambda: f.truncate(args[0]))
    if name == "pread":
        return await aoutcome(lambda: f.pread(*args))
    if name == "pwrite":
        return await aoutcome(lambda: f.pwrite(*args))
    assert name == "size"
    return await aoutcome(f.size)


@settings(max_examples=int(os.environ.get("KESTRELIO_MODEL_EXAMPLES", "60")), deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mode=st.sampled_from(MODES), initial=st.binary(max_size=12000), ops=st.lists(operations, max_size=25))
def test_every_operation_matches_fileio(tmp_path, mode, initial, ops):
    theirs_path, ours_path = tmp_path / "theirs", tmp_path / "ours"
    for p in (theirs_path, ours_path):
        p.unlink(missing_ok=True)
        if not mode.startswith("x"):
            p.write_bytes(initial)

    async def main():
        trace = []
        with io.FileIO(theirs_path, mode) as theirs:
            async with kestrelio.open(ours_path, mode) as ours:
                assert ours.tell() == theirs.tell() and ours.mode == theirs.mode
                for op in ops:
                    want = on_fileio(theirs, op)
                    got = await on_binary_file(ours, op)
                    trace.append((op[0], want[0]))
                    assert got == want, f"{op} after {trace}"
                    assert ours.tell() == theirs.tell(), f"position after {op}, trace {trace}"
        assert ours_path.read_bytes() == theirs_path.read_bytes(), trace

    asyncio.run(main())
