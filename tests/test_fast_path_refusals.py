"""What the fast path does when the kernel refuses to read without waiting.

Evicting pages for real is at the kernel's mercy: a refused read starts the
kernel reading the page in, and on a fast disk that can land before the
kernel looks again, so the read is served after all. A preloaded stand-in
for preadv2 refuses chosen ranges every time instead, and counts the plain
reads that could wait on the disk.
"""

import ast
import os
import textwrap

import pytest

from conftest import preload_env, run_script

pytestmark = pytest.mark.skipif(not hasattr(os, "RWF_NOWAIT"), reason="no reads that refuse to wait on this system")

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/types.h>
#include <sys/uio.h>

/* From this offset on, reads that refuse to wait are refused; -1 refuses none. */
long long refuse_from = -1;
/* Reads that refuse to wait refused here or by the kernel (where each one started readahead). */
long refusals = 0;
/* Plain positional reads, which wait for the disk when the page is not cached. */
long plain_reads = 0;

typedef ssize_t (*preadv2_fn)(int, const struct iovec *, int, off_t, int);
typedef ssize_t (*pread_fn)(int, void *, size_t, off_t);

static ssize_t real_preadv2(int fd, const struct iovec *iov, int n, off_t off, int flags) {
  static preadv2_fn real;
  if (!real) real = (preadv2_fn)dlsym(RTLD_NEXT, "preadv2");
  return real(fd, iov, n, off, flags);
}

ssize_t preadv2(int fd, const struct iovec *iov, int n, off_t off, int flags) {
  if ((flags & RWF_NOWAIT) && refuse_from >= 0 && n == 1) {
    if (off >= refuse_from) {
      ++refusals;
      errno = EAGAIN;
      return -1;
    }
    if (off + (off_t)iov[0].iov_len > refuse_from) {
      /* The cached part before the refused range is copied, as the kernel does. */
      struct iovec head = {iov[0].iov_base, (size_t)(refuse_from - off)};
      return real_preadv2(fd, &head, 1, off, flags);
    }
  }
  ssize_t r = real_preadv2(fd, iov, n, off, flags);
  if (r < 0 && errno == EAGAIN && (flags & RWF_NOWAIT)) ++refusals;
  return r;
}
ssize_t preadv64v2(int fd, const struct iovec *iov, int n, off_t off, int flags) {
  return preadv2(fd, iov, n, off, flags);
}

static ssize_t counted_pread(int fd, void *buf, size_t len, off_t off) {
  static pread_fn real;
  if (!real) real = (pread_fn)dlsym(RTLD_NEXT, "pread64");
  ++plain_reads;
  return real(fd, buf, len, off);
}
ssize_t pread(int fd, void *buf, size_t len, off_t off) { return counted_pread(fd, buf, len, off); }
ssize_t pread64(int fd, void *buf, size_t len, off_t off) { return counted_pread(fd, buf, len, off); }
"""

# The start of every child: the file open as `fd`, or word that this file
# system has no reads that refuse to wait.
PRELUDE = """
import ctypes, os, sys
import _kestrelio as k
PAGE = os.sysconf("SC_PAGESIZE")
libs = ctypes.CDLL(None)
fd = os.open(PATH, os.O_RDONLY)
try:
    os.preadv(fd, [bytearray(1)], 0, os.RWF_NOWAIT)
except OSError:
    print("{'unsupported': True}")
    sys.exit(0)
"""


def run_child(tmp_path, path, shim, body):
    """The dict a child prints, run with `shim` preloaded; skips where reads cannot refuse to wait."""
    env = preload_env(tmp_path, "shim", shim)
    source = PRELUDE.replace("PATH", repr(str(path))) + textwrap.dedent(body)
    proc = run_script(source, {"LD_PRELOAD": env["LD_PRELOAD"]})
    assert proc.returncode == 0, proc.stderr[-3000:]
    out = ast.literal_eval(proc.stdout.strip())
    if out.get("unsupported"):
        pytest.skip("this file system has no reads that refuse to wait")
    return out


CHILD = """
    refuse_from = ctypes.c_longlong.in_dll(libs, "refuse_from")
    plain_reads = ctypes.c_long.in_dll(libs, "plain_reads")
    data = os.pread(fd, os.fstat(fd).st_size, 0)
    fp = k.FastPath(fd)
    page = lambda p, n=1: data[p * PAGE:(p + n) * PAGE]
    out = {"warm": fp.read(0, 8 * PAGE) == page(0, 8)}
    before = plain_reads.value
    refuse_from.value = 32 * PAGE
    buf = bytearray(PAGE)
    out.update(
        below=fp.read(PAGE, PAGE) == page(1),
        at=fp.read(32 * PAGE, PAGE),
        straddling=fp.read(30 * PAGE, 4 * PAGE),
        into=fp.readinto(40 * PAGE, buf),
        all=fp.read_all(0),
        supported=fp.supported(),
        size=fp.size() == len(data),
    )
    out["plain_reads"] = plain_reads.value - before
    refuse_from.value = -1
    out["again"] = fp.read(30 * PAGE, 4 * PAGE) == page(30, 4)
    print(repr(out))
"""


def test_a_refused_range_is_declined_without_a_read_that_could_wait(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(os.urandom(64 * os.sysconf("SC_PAGESIZE")))
    assert run_child(tmp_path, path, SHIM, CHILD) == {
        "warm": True,
        "below": True,
        "at": None,
        "straddling": None,
        "into": None,
        "all": None,
        # A refusal is about these pages, not the file: the next read asks again.
        "supported": True,
        "size": True,
        "plain_reads": 0,
        "again": True,
    }


COLD_CHILD = """
    refusals = ctypes.c_long.in_dll(libs, "refusals")

    def drop():
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)

    fp = k.FastPath(fd)
    out = {"warm": fp.read(0, PAGE) is not None}
    drop()
    before = refusals.value
    out["large"] = fp.read(0, 64 * PAGE)
    out["large_refusals"] = refusals.value - before
    # A small read of a file not yet seen cold asks the kernel once; from then
    # on the file is asked through mincore, which starts no I/O.
    fp2 = k.FastPath(fd)
    fp2.read(0, 1)
    drop()
    before = refusals.value
    small = [fp2.read((2 * i + 1) * 64 * PAGE, PAGE) for i in range(16)]
    out["small_refusals"] = refusals.value - before
    # A stream that met cold pages stays with the backend while it goes on,
    # even once the kernel's readahead has brought the next pages in.
    fp3 = k.FastPath(fd)
    fp3.read(0, 1)
    drop()
    out["stream_start"] = fp3.read(0, 64 * PAGE)
    os.pread(fd, 2048 * PAGE, 0)  # the whole file is cached again
    out["stream_next"] = fp3.read(64 * PAGE, 64 * PAGE)
    out["elsewhere"] = fp3.read(1024 * PAGE, PAGE) is not None
    out["stream_again"] = fp3.read(128 * PAGE, 64 * PAGE) is not None
    print(repr(out))
"""


def test_a_cold_file_is_asked_through_mincore_not_by_reads_that_start_readahead(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(os.urandom(2048 * os.sysconf("SC_PAGESIZE")))
    os.sync()
    out = run_child(tmp_path, path, SHIM, COLD_CHILD)
    if out["large"] is not None:
        pytest.skip("this file system keeps pages despite POSIX_FADV_DONTNEED")
    assert out["warm"]
    assert out["large_refusals"] == 0, "a large read asks mincore before a no-wait read"
    # Readahead started by the one refusal may land and be served later:
    # that is a hit, never a second refusal.
    assert out["small_refusals"] <= 1, out
    assert out["stream_start"] is None and out["stream_next"] is None
    assert out["elsewhere"] and out["stream_again"], "a read elsewhere ends the cold stream"


UNTOLD_CHILD = """
    import pwd
    refuse_from = ctypes.c_longlong.in_dll(libs, "refuse_from")
    refusals = ctypes.c_long.in_dll(libs, "refusals")
    # A reader that neither owns nor may write the file: mincore cannot tell it the truth.
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)
    fp = k.FastPath(fd)
    out = {"warm": fp.read(0, PAGE) is not None}
    refuse_from.value = 32 * PAGE
    cold = [fp.read(40 * PAGE, PAGE) for _ in range(20)]
    out["declined"] = all(r is None for r in cold)
    out["refusals"] = refusals.value
    refuse_from.value = -1
    out["served_again_within"] = next((i for i in range(2048) if fp.read(40 * PAGE, PAGE) is not None), None)
    print(repr(out))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to read as another user")
def test_a_cold_file_that_mincore_cannot_judge_is_asked_less_and_less_often(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(os.urandom(64 * os.sysconf("SC_PAGESIZE")))
    os.chmod(path, 0o644)
    out = run_child(tmp_path, path, SHIM, UNTOLD_CHILD)
    assert out["warm"] and out["declined"]
    # Asked at the 1st, 3rd, 6th, 11th and 20th read: each refusal doubles the rest.
    assert out["refusals"] == 5, out
    assert out["served_again_within"] is not None and out["served_again_within"] <= 16, out


GROWN_CHILD = """
    refusals = ctypes.c_long.in_dll(libs, "refusals")
    fp = k.FastPath(fd)
    out = {"warm": fp.read(0, 1) is not None}  # sized now: 4 pages
    # Grown well past that size, and the new tail written (so cached) since.
    w = os.open(f"/proc/self/fd/{fd}", os.O_WRONLY)
    os.pwrite(w, os.urandom(2 * 1024 * 1024), 4 * PAGE)
    os.close(w)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 64 * PAGE, os.POSIX_FADV_DONTNEED)
    before = refusals.value
    out["large"] = fp.read(0, 64 * PAGE)
    out["large_refusals"] = refusals.value - before
    print(repr(out))
"""


def test_a_file_grown_since_it_was_sized_still_has_large_reads_asked_through_mincore(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(os.urandom(4 * os.sysconf("SC_PAGESIZE")))
    out = run_child(tmp_path, path, SHIM, GROWN_CHILD)
    if out["large"] is not None:
        pytest.skip("this file system keeps pages despite POSIX_FADV_DONTNEED")
    assert out["warm"]
    assert out["large_refusals"] == 0, "a large read asks mincore before a no-wait read"
