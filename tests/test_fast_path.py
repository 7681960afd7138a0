"""FastPath: synchronous reads of pages already in the page cache."""

import asyncio
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

import _kestrelio as k
from conftest import become_nobody, drop_pages, nobody

PAGE = os.sysconf("SC_PAGESIZE")
HEADROOM = 1 << 20


@pytest.fixture
def disk_dir():
    # tmpfs ignores POSIX_FADV_DONTNEED; these files must live on a disk.
    d = tempfile.mkdtemp(prefix="kestrelio-fp-", dir="/var/tmp")
    os.chmod(d, 0o755)
    yield d
    shutil.rmtree(d, ignore_errors=True)


def make_file(directory, data, name="f"):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


@pytest.fixture
def opened(disk_dir):
    fds = []

    def open_(data, flags=os.O_RDONLY, name="f"):
        path = make_file(disk_dir, data, name)
        fd = os.open(path, flags)
        fds.append(fd)
        with open(path, "rb") as f:  # pull every page into the cache
            f.read()
        return path, fd

    yield open_
    for fd in fds:
        os.close(fd)


def resident(path, pages):
    """Which of these pages are in the page cache, by mincore as the file's owner (no readahead)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    size = os.path.getsize(path)
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = libc.mmap(None, size, 0, 1, fd, 0)  # PROT_NONE, MAP_SHARED
        assert addr not in (None, ctypes.c_void_p(-1).value)
        try:
            vec = (ctypes.c_ubyte * ((size + PAGE - 1) // PAGE))()
            assert libc.mincore(ctypes.c_void_p(addr), size, vec) == 0
            return [bool(vec[p] & 1) for p in pages]
        finally:
            libc.munmap(ctypes.c_void_p(addr), size)
    finally:
        os.close(fd)


def evict(path, pages):
    """Drop the file's pages; False when some of these stay resident (pages still on another CPU's LRU list)."""
    for _ in range(20):
        drop_pages(path)
        if not any(resident(path, pages)):
            return True
        time.sleep(0.02)
    return False


def answers(fp, data, pages):
    """One word for each page read: declined, served right, or served wrong."""
    def answer(p):
        got = fp.read(p * PAGE, PAGE)
        return "None" if got is None else "ok" if got == data[p * PAGE:(p + 1) * PAGE] else "wrong"
    return [answer(p) for p in pages]


def assert_declined(answers, nowait):
    """Reads of evicted ranges are declined or served right, never wrong.

    Through mincore every one is declined. A read that refuses to wait asks
    the kernel to read the range in, and on a fast disk, or with this thread
    descheduled, that can land before the kernel looks again: the read is
    then served, rightly and without waiting. That the fast path honours
    every refusal is shown with a stand-in that always refuses
    (test_fast_path_refusals.py).
    """
    assert "wrong" not in answers
    if not nowait:
        assert set(answers) == {"None"}, answers


def test_descriptors_that_never_qualify(tmp_path):
    neg = k.FastPath(-1)
    assert neg.read(0, 10) is None
    assert neg.readinto(0, bytearray(4)) is None
    assert neg.read_all(0) is None
    assert neg.size() is None
    assert neg.supported() is False
    r, w = os.pipe()
    dfd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.write(w, b"data")
        for fd in (r, dfd):
            fp = k.FastPath(fd=fd)
            assert fp.size() is None
            assert fp.supported() is False
            assert fp.read(0, 4) is None
            assert fp.read_all(0) is None
        assert os.read(r, 4) == b"data", "the pipe was not read"
    finally:
        for fd in (r, w, dfd):
            os.close(fd)


def test_resident_reads(opened):
    data = os.urandom(3 * PAGE + 100)
    _, fd = opened(data)
    fp = k.FastPath(fd)
    assert fp.supported() is True
    assert fp.size() == len(data)
    whole = fp.read(0, len(data))
    assert whole == data and type(whole) is bytes
    assert fp.read(PAGE - 10, 20) == data[PAGE - 10:PAGE + 10], "straddles a page boundary"
    short = fp.read(2 * PAGE, 10 * PAGE)
    assert short == data[2 * PAGE:] and type(short) is bytes, "short only at end of file"
    assert fp.read(len(data) + 5, 10) == b""
    assert fp.read(5, 0) is None
    buf = bytearray(PAGE + 7)
    assert fp.readinto(PAGE - 3, buf) == PAGE + 7
    assert buf == data[PAGE - 3:2 * PAGE + 4]
    tail = bytearray(500)
    assert fp.readinto(len(data) - 100, tail) == 100
    assert tail[:100] == data[-100:] and tail[100:] == bytes(400)
    assert fp.readinto(0, bytearray()) is None
    assert fp.read_all(0) == data
    assert fp.read_all(PAGE) == data[PAGE:]
    assert fp.read_all(len(data) + 1000) == b""


def test_argument_errors(opened):
    _, fd = opened(b"x" * 100)
    fp = k.FastPath(fd)
    with pytest.raises(ValueError, match="^readinto needs a writable buffer$"):
        fp.readinto(0, b"immutable")
    with pytest.raises(ValueError, match="^buffer must be C-contiguous$"):
        fp.readinto(0, memoryview(bytearray(8))[::2])
    with pytest.raises(OverflowError):  # the other argument errors are the module's: test_module_args
        k.FastPath(2 ** 31)
    assert fp.read(pos=0, len=3) == b"xxx"
    assert fp.read(2 ** 64 - 2, 4) is None, "a range past 64 bits is declined"


def test_evicted_pages_decline_until_read_through_the_driver(opened):
    data = os.urandom(256 * PAGE)
    path, fd = opened(data)
    fp = k.FastPath(fd)
    assert fp.read(0, len(data)) == data
    far = [120, 160, 200, 240]
    if not evict(path, far):
        pytest.skip("the kernel kept the pages despite POSIX_FADV_DONTNEED")
    assert_declined(answers(fp, data, far), nowait_reads(path))
    assert fp.read_all(0) in (None, data)
    assert fp.size() == len(data), "size never looks at residency"
    # A declined read may start the kernel's readahead, so later reads are
    # served or declined: never wrong, never waiting.
    for pos in (0, 10 * PAGE, 100 * PAGE, 200 * PAGE):
        assert fp.read(pos, PAGE) in (None, data[pos:pos + PAGE])

    async def through_driver():
        h, _, _ = await k.open(path, True, False, False, False, False, False)
        got = await k.read(h, 10 * PAGE, 4 * PAGE)
        await k.close(h)
        return got

    assert asyncio.run(through_driver()) == data[10 * PAGE:14 * PAGE]
    assert fp.read(10 * PAGE, 4 * PAGE) == data[10 * PAGE:14 * PAGE]


def nowait_reads(path):
    """Whether the kernel reads this file without waiting, so residency needs no mincore."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.preadv(fd, [bytearray(1)], 0, os.RWF_NOWAIT)
        return True
    except BlockingIOError:
        return True
    except (OSError, AttributeError):
        return False
    finally:
        os.close(fd)


def test_growth_past_the_headroom_keeps_at_most_one_view(opened):
    data = os.urandom(PAGE)
    path, fd = opened(data, flags=os.O_RDWR)
    fp = k.FastPath(fd)
    assert fp.supported() is True
    # Beyond end of file plus the headroom: no view can cover it.
    assert fp.read(PAGE + HEADROOM + PAGE, 10) is None
    more = os.urandom(2 * HEADROOM)
    os.pwrite(fd, more, PAGE)
    whole = data + more
    far = PAGE + 2 * HEADROOM - 100
    assert fp.read(far, 100) == whole[far:], "the file grew past the first view"
    maps = [line for line in open("/proc/self/maps") if path in line]
    assert len(maps) <= 1, maps  # none while no-wait reads need no mincore
    assert fp.read(0, len(whole)) == whole  # large: mincore is asked first
    maps = [line for line in open("/proc/self/maps") if path in line]
    assert len(maps) <= 1, maps
    os.ftruncate(fd, PAGE)
    assert fp.read(0, 3 * PAGE) == data, "a shrunk file keeps its longer view"


def test_size_change_between_the_two_stats_declines(opened, tmp_path):
    # read_all holds the interpreter lock, so the appender must be another
    # process. Every page stays resident; only the second fstat can notice.
    data = b"a" * (8 << 20)
    path, fd = opened(data)
    fp = k.FastPath(fd)
    assert fp.read_all(0) == data
    ready = tmp_path / "ready"
    appender = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, pathlib
        fd = os.open({path!r}, os.O_WRONLY | os.O_APPEND)
        pathlib.Path({str(ready)!r}).touch()
        while True:
            os.write(fd, b"a")
    """)])
    try:
        while not ready.exists():
            pass
        results = [fp.read_all(0) for _ in range(200)]
    finally:
        appender.kill()
        appender.wait()
    assert any(r is None for r in results)
    for r in results:
        assert r is None or r == b"a" * len(r)


def fast_path_as_nobody(path):
    """In a forked child: drop to the other user for good, then open the file and view it."""
    become_nobody()
    return k.FastPath(os.open(path, os.O_RDONLY))


@pytest.mark.skipif(os.geteuid() != 0 or nobody() is None, reason="needs root to read as another user")
def test_a_file_the_reader_neither_owns_nor_may_write_is_never_served(disk_dir):
    # Linux answers mincore truthfully only to a file's owner or a writer; to
    # anyone else every page looks resident, even after eviction. Reads are
    # far from the file's start, which a declined read may ask the kernel to
    # read ahead.
    data = os.urandom(1024 * PAGE)
    path = make_file(disk_dir, data)
    os.chmod(path, 0o644)
    far = [300, 500, 700, 900]
    if not evict(path, far):
        pytest.skip("the kernel kept the pages despite POSIX_FADV_DONTNEED")
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            fp = fast_path_as_nobody(path)
            got = answers(fp, data, far)
            os.write(w, f"{fp.supported()} {fp.size()} {' '.join(got)}".encode())
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        out = f.read()
    os.waitpid(pid, 0)
    # With reads that refuse to wait the file is served once cached again;
    # through mincore alone it never is.
    supported, size, *got = out.split()
    assert [supported, size] == [str(nowait_reads(path)), str(len(data))]
    assert_declined(got, nowait_reads(path))


@pytest.mark.skipif(os.geteuid() != 0 or nobody() is None, reason="needs root to read as another user")
def test_a_reader_that_loses_write_access_is_no_longer_served(disk_dir):
    # The kernel decides at each mincore whether to tell the truth: a view
    # mapped while the reader could write the file must stop serving once a
    # chmod takes that away, or an evicted page would be read from the disk.
    data = os.urandom(1024 * PAGE)
    far = [300, 500, 700, 900]
    path = make_file(disk_dir, data)
    os.chmod(path, 0o646)
    with open(path, "rb") as f:
        f.read()
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(ready_r)
            os.close(go_w)
            fp = fast_path_as_nobody(path)
            before = fp.read(0, 4096) == data[:4096]
            os.write(ready_w, b"mapped")
            os.read(go_r, 1)
            # Far apart, so the kernel's readahead after one refusal does
            # not reach the next.
            after = answers(fp, data, far)
            os.write(ready_w, f" {before} {fp.supported()} {' '.join(after)}".encode())
        finally:
            os._exit(0)
    os.close(ready_w)
    os.close(go_r)
    with os.fdopen(ready_r) as f:
        assert f.read(6) == "mapped"
        os.chmod(path, 0o644)
        evicted = evict(path, far)
        os.write(go_w, b"x")
        os.close(go_w)
        out = f.read()
    os.waitpid(pid, 0)
    if not evicted:
        pytest.skip("the kernel kept the pages despite POSIX_FADV_DONTNEED")
    before, supported, *after = out.split()
    assert [before, supported] == ["True", str(nowait_reads(path))]
    assert_declined(after, nowait_reads(path))
