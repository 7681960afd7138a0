import asyncio
import gc
import os
import pwd
import shutil
import subprocess
import sys
import textwrap
import threading

import pytest

import _kestrelio


# AddressSanitizer's quarantine holds freed memory, so RSS says nothing about
# leaks under it; tests bounding RSS skip that bound there.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def nobody():
    """The unprivileged user "nobody", or None where there is none."""
    try:
        return pwd.getpwnam("nobody")
    except KeyError:
        return None


def become_nobody():
    """Drop this process (a forked child of root's) to "nobody" for good; no exec, which that user may not reach."""
    os.setgroups([])
    os.setgid(nobody().pw_gid)
    os.setuid(nobody().pw_uid)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


_threads_with_runtime = set()


async def _probe():
    await _kestrelio.probe_nop()


def open_fds():
    """Descriptors open in this process, once dropped loops (and their doorbells) are collected.

    The driver (and on the loop backend this thread's ring, made on its first
    use in a loop) is created first, so its own descriptors count on both
    sides of a comparison.
    """
    _kestrelio.backend_name()
    if threading.get_ident() not in _threads_with_runtime:
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            _threads_with_runtime.add(threading.get_ident())
            asyncio.run(_probe())
    gc.collect()
    gc.collect()  # what the first pass freed may release a loop that held more
    return len(os.listdir("/proc/self/fd"))


async def loop_fds():
    """The descriptor count inside a running loop, with its bridge (and ring) in place: a baseline for settle_fds."""
    await _kestrelio.probe_nop()
    return open_fds()


async def cancel_after(aw, passes):
    """Runs ``aw`` as a task and cancels it after ``passes`` passes of the loop: its result, or None if cancelled."""
    task = asyncio.ensure_future(aw)
    for _ in range(passes):
        await asyncio.sleep(0)
    task.cancel()
    try:
        return await task
    except asyncio.CancelledError:
        return None


async def settle_fds(before, tries=100):
    """The descriptor count once it is back to `before`, or after `tries` short waits for closes still on their way."""
    for _ in range(tries):
        if open_fds() == before:
            break
        await asyncio.sleep(0.01)
    return open_fds()


def drop_pages(path):
    """Evict the file's pages from the page cache (tmpfs ignores this)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def run(coro_fn, *args):
    return asyncio.run(coro_fn(*args))


@pytest.fixture
def backend():
    return _kestrelio.backend_name()


@pytest.fixture
def driver_reads(monkeypatch):
    """Every read submitted to the driver, by function name."""
    seen = []
    for name in ("read", "readinto", "read_parallel", "read_to_end"):
        real = getattr(_kestrelio, name)

        def spy(*args, _real=real, _name=name):
            seen.append(_name)
            return _real(*args)

        monkeypatch.setattr(_kestrelio, name, spy)
    return seen


@pytest.fixture
def data_file(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(bytes(range(256)) * 64)  # 16 KiB
    return path


async def open_rw(path, create=False):
    h, size, fd = await _kestrelio.open(os.fspath(path), True, True, False, False, create, False)
    return h, size, fd


def run_script(source, env_extra=None, timeout=60):
    env = dict(os.environ)
    if env_extra:
        for k, v in env_extra.items():
            if v is None:
                env.pop(k, None)
            else:
                env[k] = v
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], env=env, capture_output=True, text=True,
                          timeout=timeout)


def pytest_configure(config):
    config.addinivalue_line("markers", "memory: long-running leak check (still part of the normal run)")


def preload_env(tmp_path, name, source):
    """An environment whose processes load this C source, built as a shared object, ahead of libc."""
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler for the preloaded stand-in")
    src = tmp_path / f"{name}.c"
    src.write_text(source)
    lib = tmp_path / f"{name}.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(lib), str(src), "-ldl"], check=True)
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(lib)]))
    return env
