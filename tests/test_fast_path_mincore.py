"""The fast-path suite again, with reads that refuse to wait unavailable, so residency comes from mincore alone.

Older kernels and some file systems have no such reads; a preloaded stand-in
for preadv2 that always answers EOPNOTSUPP makes this machine one of them.
"""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

SHIM = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <sys/types.h>
#include <sys/uio.h>
ssize_t preadv2(int fd, const struct iovec *iov, int n, off_t off, int flags) {
  (void)fd; (void)iov; (void)n; (void)off; (void)flags;
  errno = EOPNOTSUPP;
  return -1;
}
ssize_t preadv64v2(int fd, const struct iovec *iov, int n, off_t off, int flags) {
  return preadv2(fd, iov, n, off, flags);
}
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler for the preadv2 stand-in")
def test_the_fast_path_suite_passes_through_mincore_alone(tmp_path):
    src = tmp_path / "no_nowait.c"
    src.write_text(SHIM)
    shim = tmp_path / "no_nowait.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", str(shim), str(src)], check=True)
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    suite = pathlib.Path(__file__).with_name("test_fast_path.py")
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(suite)],
                          env=env, capture_output=True, text=True, timeout=300, cwd=suite.parent)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert " passed" in proc.stdout
