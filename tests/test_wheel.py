"""The wheel from `make wheel`, installed into a fresh virtual environment as a user would."""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

WHEEL = os.environ.get("KESTRELIO_WHEEL", "")
HIDE_LIBURING = pathlib.Path(__file__).resolve().parent / "without-liburing.sh"

pytestmark = pytest.mark.skipif(not WHEEL, reason="KESTRELIO_WHEEL is not set: `make wheel-check` builds and tests it")

ROUND_TRIP = textwrap.dedent("""
    import asyncio, ctypes, pathlib, sys
    import _kestrelio, kestrelio

    async def main(path):
        data = bytes(range(256)) * 257
        await kestrelio.write_bytes(path, data)
        h, size, _fd = await _kestrelio.open(path, True, False, False, False, False, False)
        try:
            assert size == len(data) and await _kestrelio.read(h, 0, size) == data  # through the driver
        finally:
            await _kestrelio.close(h)
        assert await kestrelio.read_bytes(path) == data

    asyncio.run(main(sys.argv[1]))
    try:
        ctypes.CDLL("liburing.so.2")
        system = "visible"
    except OSError:
        system = "hidden"
    libs = pathlib.Path(_kestrelio.__file__).parent / "kestrelio.libs"
    bundled = sorted(p.name for p in libs.glob("liburing*")) or ["none"]
    print(kestrelio.backend_name(), system, bundled[0])
""")

USER_PROGRAM = textwrap.dedent("""
    import asyncio

    import _kestrelio
    import kestrelio


    def backend() -> str:
        return _kestrelio.backend_name()  # an Any here fails --strict (warn_return_any)


    async def copy(src: str, dst: str) -> int:
        async with kestrelio.open(src, "rb") as f:
            data = await f.read()
        await kestrelio.write_bytes(dst, data)
        return len(data)


    reveal_type(_kestrelio.backend_name())
    reveal_type(kestrelio.backend_name())
    reveal_type(kestrelio.__version__)
    print(backend(), asyncio.run(copy("a", "b")))
""")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "KESTRELIO_TREE_BUILD", "LD_PRELOAD", "VIRTUAL_ENV")}
    env.update(extra)
    return env


def kernel_has_io_uring():
    libc = ctypes.CDLL(None, use_errno=True)
    params = ctypes.create_string_buffer(120)  # struct io_uring_params
    fd = libc.syscall(425, 1, params)  # io_uring_setup
    if fd < 0:
        return False
    os.close(fd)
    return True


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    home = tmp_path_factory.mktemp("user")
    subprocess.run([sys.executable, "-m", "venv", str(home / "venv")], check=True, env=clean_env())
    python = home / "venv" / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-deps", "--no-index", WHEEL], check=True,
                   env=clean_env())
    return python


@pytest.mark.parametrize("backend", ["aio", "compio"])
def test_wheel_round_trips_with_the_system_liburing_hidden(installed, backend, tmp_path):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("hiding the system's liburing needs root and unshare (a private mount namespace)")
    expected = "darwin-aio"
    if backend == "compio":
        if not kernel_has_io_uring():
            pytest.skip("this kernel refuses io_uring, so compio could only run as compio-polling")
        expected = "compio-io-uring"
    proc = subprocess.run([str(HIDE_LIBURING), str(installed), "-c", ROUND_TRIP, str(tmp_path / "data")],
                          env=clean_env(KESTRELIO_BACKEND=backend), cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    name, system, bundled = proc.stdout.split()
    assert system == "hidden", "the system's liburing must not load during the test"
    assert bundled.startswith("liburing"), "auditwheel bundles liburing into kestrelio.libs"
    assert name == expected


def test_mypy_strict_finds_both_packages_in_the_installed_wheel(installed, tmp_path):
    (tmp_path / "user.py").write_text(USER_PROGRAM)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
                           str(installed), "user.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300,
                          env=clean_env(MYPYPATH=""))
    out = proc.stdout + proc.stderr
    assert proc.returncode == 0, out
    assert len(re.findall(r'Revealed type is "(?:builtins\.)?str"', out)) == 3, out
