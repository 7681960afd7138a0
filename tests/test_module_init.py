import asyncio
import importlib
import sys

import pytest

import _kestrelio
from conftest import run, run_script


def test_second_init_returns_same_module():
    found = importlib.util.find_spec("_kestrelio")
    again = importlib.util.module_from_spec(found)
    assert again is sys.modules["_kestrelio"]


def test_drain_handle_cannot_be_constructed():
    async def main():
        await _kestrelio.probe_nop()
        loop = asyncio.get_running_loop()
        handles = [key.data[0]._callback for key in loop._selector.get_map().values() if key.data[0] is not None]
        return [h for h in handles if type(h).__name__ == "DrainHandle"]
    found = run(main)
    assert found
    t = type(found[0])
    with pytest.raises(TypeError, match="^No constructor defined for DrainHandle$"):
        t()
    assert found[0]() is None  # its bridge is gone or idle: a harmless call
    with pytest.raises(TypeError):
        found[0](1)
    assert not hasattr(_kestrelio, "DrainHandle")


@pytest.mark.parametrize("value,shown", [("Compio", '"Compio"'), ('a"b\\c\td', '"a\\"b\\\\c\\td"')])
def test_unknown_backend_is_value_error_naming_it_escaped(value, shown):
    r = run_script("""
        import asyncio, _kestrelio
        try:
            _kestrelio.backend_name()
        except ValueError as e:
            print("1", e)
        async def main():
            for call in (_kestrelio.probe_nop, lambda: _kestrelio.cancel_ops([])):
                try:
                    call()
                except ValueError as e:
                    print("2", e)
        asyncio.run(main())
    """, {"KESTRELIO_BACKEND": value})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [f"{i} unknown KESTRELIO_BACKEND: {shown}" for i in (1, 2, 2)]


SELECTIONS = [("aio", "darwin-aio"), ("darwin-aio", "darwin-aio"), ("compio", "compio-"),
              # where io_uring cannot be set up the runtime backend's thread serves
              ("loop", ("loop-io-uring", "compio-")), ("loop-io-uring", ("loop-io-uring", "compio-"))]


# The extension on its own defaults to darwin-aio; the package's own default is
# tested below. Both follow the variable.
@pytest.mark.parametrize("module,value,prefix", [("_kestrelio", None, "darwin-aio")] +
                         [(m, v, p) for m in ("_kestrelio", "kestrelio") for v, p in SELECTIONS])
def test_backend_selection(module, value, prefix):
    r = run_script(f"import {module}; print({module}.backend_name())", {"KESTRELIO_BACKEND": value})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().startswith(prefix)


def test_env_read_only_at_creation():
    r = run_script("""
        import os, _kestrelio
        a = _kestrelio.backend_name()
        os.environ["KESTRELIO_BACKEND"] = "nonsense"
        print(a == _kestrelio.backend_name())
    """)
    assert r.stdout.strip() == "True"


def test_shutdown_leaves_probe_pending():
    r = run_script("""
        import asyncio, _kestrelio
        async def main():
            await _kestrelio.probe_nop()
            name = _kestrelio.backend_name()
            assert _kestrelio.shutdown() is None
            assert _kestrelio.backend_name() == name
            f = _kestrelio.probe_nop()
            await asyncio.sleep(0.3)
            print("pending" if not f.done() else "done")
            g = _kestrelio.probe_resolved_future()
            print(g.done(), g.result())
        asyncio.run(main())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["pending", "True", "None"]


def kernel_runs_io_uring():
    r = run_script("""
        import _kestrelio, sys
        _kestrelio.set_default_backend("compio")
        print(_kestrelio.backend_name())
    """, {"KESTRELIO_BACKEND": None})
    return r.stdout.strip() == "compio-io-uring"


def test_package_default_is_the_fastest_backend_and_leaves_the_environment_alone():
    fastest = "loop-io-uring" if kernel_runs_io_uring() else "darwin-aio"
    r = run_script("""
        import os, sys, subprocess
        import kestrelio
        print(kestrelio.backend_name())
        print(os.environ.get("KESTRELIO_BACKEND"))
        pid = os.fork()
        if pid == 0:
            # The child made no driver of its own yet: it makes one with the parent's choice.
            import _kestrelio
            os.write(1, (_kestrelio.backend_name() + "\\n").encode())
            os._exit(0)
        os.waitpid(pid, 0)
        sys.stdout.flush()
        child = subprocess.run([sys.executable, "-c", "import _kestrelio; print(_kestrelio.backend_name())"],
                               capture_output=True, text=True)
        print(child.stdout.strip())
    """, {"KESTRELIO_BACKEND": None})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == [fastest, "None", fastest, "darwin-aio"]


def test_set_default_backend_applies_only_before_the_driver_exists():
    r = run_script("""
        import _kestrelio
        for bad in ("Compio", "", "aio\\0"):
            try:
                _kestrelio.set_default_backend(bad)
            except ValueError as e:
                print(e)
        try:
            _kestrelio.set_default_backend(b"aio")
        except TypeError as e:
            print(e)
        print(_kestrelio.set_default_backend("compio"), _kestrelio.set_default_backend("aio"))
        first = _kestrelio.backend_name()
        print(first)
        print(_kestrelio.set_default_backend("compio"), _kestrelio.backend_name() == first)
    """, {"KESTRELIO_BACKEND": None})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        'unknown kestrelio backend: "Compio"', 'unknown kestrelio backend: ""', 'unknown kestrelio backend: "aio\\0"',
        "set_default_backend() argument must be str, not bytes", "True True", "darwin-aio", "False True"]
