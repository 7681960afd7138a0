"""The fast-path suite again, with reads that refuse to wait unavailable, so residency comes from mincore alone.

Older kernels and some file systems have no such reads; a preloaded stand-in
for preadv2 that always answers EOPNOTSUPP makes this machine one of them.
"""

import pathlib
import subprocess
import sys

from conftest import preload_env

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


def test_the_fast_path_suite_passes_through_mincore_alone(tmp_path):
    env = preload_env(tmp_path, "no_nowait", SHIM)
    suite = pathlib.Path(__file__).with_name("test_fast_path.py")
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(suite)],
                          env=env, capture_output=True, text=True, timeout=300, cwd=suite.parent)
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-2000:]
    assert " passed" in proc.stdout
