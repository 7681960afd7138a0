"""kestrelio.os and kestrelio.os.path against os itself: the same results,
the same exceptions (class, errno, filename, filename2), the same effects."""

import asyncio
import inspect
import os
import pathlib

import pytest

import kestrelio.os as kos

from conftest import run


def build_tree(root):
    """f (a file), d/g, e (empty directory), l -> f, dl -> nx (dangling), ld -> d."""
    root.mkdir()
    (root / "f").write_bytes(b"data")
    (root / "d").mkdir()
    (root / "d" / "g").write_bytes(b"gg")
    (root / "e").mkdir()
    os.symlink("f", root / "l")
    os.symlink("nx", root / "dl")
    os.symlink("d", root / "ld")


def snapshot(root):
    """Every name under root with its type and contents."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            rel = os.path.relpath(p, root)
            if os.path.islink(p):
                seen[rel] = ("link", os.readlink(p))
            elif os.path.isdir(p):
                seen[rel] = ("dir", oct(os.stat(p).st_mode))
            else:
                with open(p, "rb") as f:
                    seen[rel] = ("file", f.read(), os.stat(p).st_nlink)
    return seen


def stat_fields(st):
    return {n: getattr(st, n) for n in dir(st) if n.startswith("st_")}


def outcome(call):
    """('ok', value) or ('error', everything os lets a caller see of the exception)."""
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001  (compared whole)
        return ("error", type(e), e.args, getattr(e, "errno", None), getattr(e, "filename", None),
                getattr(e, "filename2", None), str(e))


def entry_view(e):
    view = {}
    for name in ["name", "path"]:
        view[name] = getattr(e, name)
    view["inode"] = e.inode()
    view["fspath"] = os.fspath(e)
    view["repr"] = repr(e)
    for follow in (True, False):
        view[("is_dir", follow)] = e.is_dir(follow_symlinks=follow)
        view[("is_file", follow)] = e.is_file(follow_symlinks=follow)
        # Access times move as the two sides read links; the rest must agree.
        view[("stat", follow)] = outcome(lambda: {k: v for k, v in stat_fields(e.stat(follow_symlinks=follow)).items()
                                                  if "atime" not in k})
    view["is_symlink"] = e.is_symlink()
    return view


def normalise(value):
    if isinstance(value, os.stat_result):
        return stat_fields(value)
    if isinstance(value, os.statvfs_result):
        # Free counts move between the two calls on a live file system.
        return (value.f_bsize, value.f_frsize, value.f_blocks, value.f_files, value.f_flag, value.f_namemax,
                value.f_fsid)
    if isinstance(value, list):
        return sorted(value)
    if hasattr(value, "__iter__") and hasattr(value, "close") and not isinstance(value, (str, bytes)):
        with value:
            return sorted((entry_view(e) for e in value), key=lambda v: v["name"])
    return value


def both(os_fn, k_fn, args, kwargs):
    expected = outcome(lambda: normalise(os_fn(*args, **kwargs)))
    got = outcome(lambda: normalise(run(lambda: k_fn(*args, **kwargs))))
    return expected, got


@pytest.fixture
def tree(tmp_path, monkeypatch):
    root = tmp_path / "a"
    build_tree(root)
    monkeypatch.chdir(root)
    return root


READ_ONLY = [
    ("stat", ("f",), {}),
    ("stat", ("l",), {}),
    ("stat", ("l",), {"follow_symlinks": False}),
    ("stat", ("dl",), {}),
    ("stat", ("dl",), {"follow_symlinks": False}),
    ("stat", (b"d",), {}),
    ("stat", (pathlib.Path("nx"),), {}),
    ("stat", ("",), {}),
    ("stat", ("f/x",), {}),
    ("stat", ([],), {}),
    ("stat", ("a\0b",), {}),
    ("stat", (b"a\0b",), {}),
    ("stat", ("f",), {"dir_fd": "x"}),
    ("stat", (2**40,), {}),
    ("statvfs", (".",), {}),
    ("statvfs", ("nx",), {}),
    ("readlink", ("l",), {}),
    ("readlink", (b"ld",), {}),
    ("readlink", (pathlib.Path("dl"),), {}),
    ("readlink", ("f",), {}),
    ("readlink", ("nx",), {}),
    ("readlink", (3,), {}),
    ("listdir", (), {}),
    ("listdir", (".",), {}),
    ("listdir", (b".",), {}),
    ("listdir", (pathlib.Path("d"),), {}),
    ("listdir", ("ld",), {}),
    ("listdir", ("nx",), {}),
    ("listdir", ("f",), {}),
    ("listdir", ("",), {}),
    ("scandir", (), {}),
    ("scandir", (b".",), {}),
    ("scandir", ("d/",), {}),
    ("scandir", (pathlib.Path("d"),), {}),
    ("scandir", ("nx",), {}),
    ("access", ("f", os.R_OK), {}),
    ("access", ("f", os.X_OK), {}),
    ("access", ("nx", os.F_OK), {}),
    ("access", ("dl", os.F_OK), {"follow_symlinks": False}),
    ("access", ("f", "r"), {}),
    ("listdir", (1.5,), {}),
    ("scandir", ([],), {}),
]


@pytest.mark.parametrize("name,args,kwargs", READ_ONLY, ids=lambda v: repr(v) if not callable(v) else v.__name__)
def test_reading_calls_answer_as_os_does(tree, name, args, kwargs):
    expected, got = both(getattr(os, name), getattr(kos, name), args, kwargs)
    assert got == expected


PATH_CALLS = [
    ("exists", ("f",)), ("exists", ("nx",)), ("exists", ("dl",)), ("exists", (b"d",)), ("exists", ("a\0",)),
    ("isfile", ("l",)), ("isfile", ("d",)), ("isfile", ("nx",)),
    ("isdir", ("ld",)), ("isdir", ("f",)),
    ("islink", ("l",)), ("islink", ("f",)), ("islink", ("nx",)), ("islink", (3,)),
    ("ismount", (".",)), ("ismount", ("/",)), ("ismount", ("l",)), ("ismount", ("nx",)),
    ("getsize", ("f",)), ("getsize", ("nx",)),
    ("getmtime", ("f",)), ("getatime", ("d",)), ("getctime", (b"f",)), ("getmtime", ("nx",)),
    ("samefile", ("f", "l")), ("samefile", ("f", "d")), ("samefile", ("f", "nx")),
    ("abspath", ("f",)), ("abspath", (b"../x",)),
]


@pytest.mark.parametrize("name,args", PATH_CALLS, ids=repr)
def test_path_calls_answer_as_os_path_does(tree, name, args):
    expected, got = both(getattr(os.path, name), getattr(kos.path, name), args, {})
    assert got == expected


def test_sameopenfile_and_descriptor_stats(tree):
    a = os.open("f", os.O_RDONLY)
    b = os.open("l", os.O_RDONLY)
    c = os.open("d", os.O_RDONLY)
    try:
        assert run(kos.path.sameopenfile, a, b) is True
        assert run(kos.path.sameopenfile, a, c) is False
        expected, got = both(os.path.sameopenfile, kos.path.sameopenfile, (a, 999), {})
        assert got == expected
        for args, kwargs in [((a,), {}), ((999,), {}), (("g",), {"dir_fd": c}), (("nx",), {"dir_fd": c}),
                             ((c,), {"dir_fd": c})]:
            expected, got = both(os.stat, kos.stat, args, kwargs)
            assert got == expected, (args, kwargs)
        for args in [(c,), (999,)]:
            for fn in ("listdir", "scandir", "statvfs"):
                expected, got = both(getattr(os, fn), getattr(kos, fn), args, {})
                assert got == expected, (fn, args)
        # A listing by descriptor leaves the caller's descriptor usable again.
        assert sorted(os.listdir(c)) == ["g"]
    finally:
        for fd in (a, b, c):
            os.close(fd)


MUTATING = [
    ("rename", ("f", "f2"), {}),
    ("rename", (b"f", b"d/f"), {}),
    ("rename", ("nx", "y"), {}),
    ("rename", ("f", "d"), {}),
    ("rename", ("d", "f"), {}),
    ("rename", ("e", "d"), {}),
    ("rename", ("f", 3), {}),
    ("replace", ("f", "d/g"), {}),
    ("replace", ("d", "e"), {}),
    ("remove", ("f",), {}),
    ("remove", ("l",), {}),
    ("remove", ("nx",), {}),
    ("remove", ("d",), {}),
    ("unlink", (pathlib.Path("dl"),), {}),
    ("unlink", ("d/g",), {}),
    ("mkdir", ("new",), {}),
    ("mkdir", ("m", 0o700), {}),
    ("mkdir", ("d",), {}),
    ("mkdir", ("nx/y",), {}),
    ("mkdir", (b"f/y",), {}),
    ("makedirs", ("x/y/z",), {}),
    ("makedirs", ("x/y/z/",), {}),
    ("makedirs", ("x/./y",), {}),
    ("makedirs", ("d",), {}),
    ("makedirs", ("d",), {"exist_ok": True}),
    ("makedirs", ("f",), {"exist_ok": True}),
    ("makedirs", ("f/x/y",), {}),
    ("makedirs", (b"bx/by", 0o750), {}),
    ("rmdir", ("e",), {}),
    ("rmdir", ("d",), {}),
    ("rmdir", ("f",), {}),
    ("rmdir", ("nx",), {}),
    ("removedirs", ("e",), {}),
    ("removedirs", ("d",), {}),
    ("renames", ("d/g", "n/m/g"), {}),
    ("renames", ("nx", "n/m/g"), {}),
    ("link", ("f", "h"), {}),
    ("link", ("l", "h"), {}),
    ("link", ("l", "h"), {"follow_symlinks": False}),
    ("link", ("nx", "h"), {}),
    ("link", ("f", "d"), {}),
    ("symlink", ("f", "s"), {}),
    ("symlink", (b"nowhere", b"s"), {}),
    ("symlink", ("x", "f"), {}),
    ("symlink", ("x", "nx/s"), {}),
]


@pytest.mark.parametrize("name,args,kwargs", MUTATING, ids=repr)
def test_changing_calls_act_and_fail_as_os_does(tmp_path, monkeypatch, name, args, kwargs):
    a, b = tmp_path / "a", tmp_path / "b"
    build_tree(a)
    build_tree(b)
    monkeypatch.chdir(a)
    expected = outcome(lambda: getattr(os, name)(*args, **kwargs))
    monkeypatch.chdir(b)
    got = outcome(lambda: run(lambda: getattr(kos, name)(*args, **kwargs)))
    assert got == expected
    assert snapshot(b) == snapshot(a)


def test_changing_calls_take_directory_descriptors(tmp_path, monkeypatch):
    cases = [
        ("mkdir", lambda fd: (("k",), {"dir_fd": fd})),
        ("unlink", lambda fd: (("g",), {"dir_fd": fd})),
        ("rmdir", lambda fd: (("g",), {"dir_fd": fd})),
        ("rename", lambda fd: (("g", "h"), {"src_dir_fd": fd, "dst_dir_fd": fd})),
        ("rename", lambda fd: (("g", "../top"), {"src_dir_fd": fd})),
        ("link", lambda fd: (("../l", "h"), {"dst_dir_fd": fd})),
        ("link", lambda fd: (("../l", "h"), {"src_dir_fd": fd, "dst_dir_fd": fd})),
        ("link", lambda fd: (("../l", "h"), {"src_dir_fd": fd, "follow_symlinks": False})),
        ("symlink", lambda fd: (("g", "s"), {"dir_fd": fd})),
        ("readlink", lambda fd: (("../l",), {"dir_fd": fd})),
        ("access", lambda fd: (("g", os.W_OK), {"dir_fd": fd})),
        ("stat", lambda fd: (("../l",), {"dir_fd": fd, "follow_symlinks": False})),
    ]
    for i, (name, make) in enumerate(cases):
        results = []
        for side in ("a", "b"):
            root = tmp_path / f"{side}{i}"
            build_tree(root)
            monkeypatch.chdir(root)
            fd = os.open("d", os.O_RDONLY | os.O_DIRECTORY)
            try:
                args, kwargs = make(fd)
                if side == "a":
                    results.append(outcome(lambda: normalise(getattr(os, name)(*args, **kwargs))))
                else:
                    results.append(outcome(lambda: normalise(run(lambda: getattr(kos, name)(*args, **kwargs)))))
            finally:
                os.close(fd)
        if name == "stat":  # two trees: compare what does not differ between them
            results = [(r[0], r[1]["st_mode"]) for r in results]
        assert results[1] == results[0], name
        assert snapshot(tmp_path / f"b{i}") == snapshot(tmp_path / f"a{i}"), name


def test_non_ascii_names_round_trip(tree):
    name = "f\u00e9\U0001F600"
    bad = b"raw\xff"
    pathlib.Path(name).write_bytes(b"")
    open(bad, "wb").close()
    assert sorted(run(kos.listdir)) == sorted(os.listdir())
    assert sorted(run(kos.listdir, b".")) == sorted(os.listdir(b"."))
    assert run(kos.path.exists, os.fsdecode(bad)) is True


def test_scandir_entries_act_as_os_direntries(tree):
    # Directory entries without a type (some file systems) fall back to stat.
    async def unknown_types():
        it = await kos.scandir(".")
        return [kos.DirEntry(e.name, e.path, 0, e.inode(), None) for e in it]

    for e in run(unknown_types):
        real = next(x for x in os.scandir(".") if x.name == e.name)
        assert entry_view(e) == entry_view(real)
    assert kos.DirEntry[str] is not None  # generic alias, as os.DirEntry[str]


def test_sendfile_copies_between_descriptors(tmp_path):
    src = tmp_path / "src"
    src.write_bytes(bytes(range(256)) * 100)
    dst = tmp_path / "dst"
    i = os.open(src, os.O_RDONLY)
    o = os.open(dst, os.O_WRONLY | os.O_CREAT)
    try:
        assert run(kos.sendfile, o, i, 100, 1000) == 1000
        assert os.lseek(i, 0, os.SEEK_CUR) == 0  # an explicit offset leaves the position
        assert run(kos.sendfile, o, i, None, 500) == 500
        assert os.lseek(i, 0, os.SEEK_CUR) == 500  # without one it moves it
        assert run(kos.sendfile, o, i, 25600, 10) == 0  # at end of file
        assert dst.read_bytes() == src.read_bytes()[100:1100] + src.read_bytes()[:500]
        expected, got = both(os.sendfile, kos.sendfile, (o, 999, 0, 10), {})
        assert got == expected
        expected, got = both(os.sendfile, kos.sendfile, (i, o, 0, 10), {})
        assert got == expected
    finally:
        os.close(i)
        os.close(o)


def test_getcwd_and_loop_argument(tree):
    assert run(kos.getcwd) == os.getcwd()

    async def with_loops():
        here = asyncio.get_running_loop()
        st = await kos.stat("f", loop=here, executor=object())
        other = asyncio.new_event_loop()
        try:
            with pytest.raises(ValueError):
                await kos.stat("f", loop=other)
        finally:
            other.close()
        return st

    assert stat_fields(run(with_loops)) == stat_fields(os.stat("f"))


def test_names_and_signatures_match_aiofiles():
    aos = pytest.importorskip("aiofiles.os")
    for mod, theirs in ((kos, aos), (kos.path, aos.path)):
        for name in theirs.__all__:
            if name in ("wrap", "path"):
                continue
            ours = inspect.signature(getattr(mod, name))
            plain = getattr(os, name, None) if mod is kos else getattr(os.path, name)
            want = [p for p in inspect.signature(plain).parameters] if plain is not None else []
            got = [p for p in ours.parameters if p not in ("loop", "executor")]
            assert got == want, name
            assert inspect.iscoroutinefunction(getattr(mod, name)), name
