"""A child forked at any moment gets working I/O on every call, on every backend.

Each scenario runs in a fresh interpreter; the child is waited for with a
deadline and killed past it, so a hang fails the test instead of the run.
"""

import textwrap

import pytest

from conftest import UNDER_ASAN, preload_env, run_script

# GCC 12's AddressSanitizer runtime takes none of its locks around fork, so a
# child forked while another thread is inside its allocator can wait for
# ever; these scenarios fork with helper threads busy on purpose.
pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's runtime is not fork-safe with threads running")

# Shared by the scripts: a round of I/O through the module, and a bounded wait
# for a child process.
PRELUDE = """
import asyncio, os, signal, sys, threading, time, _kestrelio

async def use(path, tag=b"abc", sync=True):
    h, size, fd = await _kestrelio.open(path, True, True, False, False, True, False)
    await _kestrelio.write(h, 0, tag, False)
    if sync:
        await _kestrelio.sync(h, False)
    data = await _kestrelio.read(h, 0, len(tag))
    await _kestrelio.close(h)
    whole = await _kestrelio.read_file(path, 1 << 20)
    assert whole[:len(tag)] == tag, whole
    return data

def child_runs(fn):
    pid = os.fork()
    if pid == 0:
        try:
            fn()
            os._exit(0)
        except BaseException as e:
            os.write(2, repr(e).encode())
            os._exit(1)
    return pid

def wait_child(pid, limit=60):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    describe_hang(pid)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"

def describe_hang(pid):
    # Where each of the child's threads waits, on stderr: the kernel's view,
    # and the stacks when gdb is installed.
    import shutil, subprocess
    lines = []
    for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
        info = []
        for name in ("comm", "wchan", "syscall"):
            try:
                with open("/proc/%d/task/%s/%s" % (pid, tid, name)) as f:
                    info.append(f.read().strip())
            except OSError as e:
                info.append(type(e).__name__)
        lines.append("thread %s: %s" % (tid, " | ".join(info)))
    if shutil.which("gdb"):
        try:
            lines.append(subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt"],
                                        capture_output=True, text=True, timeout=60).stdout)
        except subprocess.TimeoutExpired:
            lines.append("gdb timed out")
    sys.stderr.write("child %d hung:\\n%s\\n" % (pid, "\\n".join(lines)))

def in_child(path, tag):
    # A child forked inside a running loop starts its own loop on a thread
    # of its own, as the parent's loop is not running here.
    out = []
    t = threading.Thread(target=lambda: out.append(asyncio.run(asyncio.wait_for(use(path, tag), 30))))
    t.start()
    t.join()
    assert out == [tag], out
"""


def run(tmp_path, body, env=None):
    r = run_script(PRELUDE + textwrap.dedent(body).replace("TMP", repr(str(tmp_path))), env_extra=env, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "hung" not in r.stdout.split(), r.stdout + r.stderr
    return r.stdout.split()


def test_child_forked_right_after_io_gets_working_io(tmp_path):
    out = run(tmp_path, """
        path = os.path.join(TMP, "f")
        for round in range(3):
            asyncio.run(use(path))
            pid = child_runs(lambda: in_child(path, b"child"))
            print(wait_child(pid))
        asyncio.run(use(path))
        print("parent-ok")
    """)
    assert out == ["0", "0", "0", "parent-ok"]


def test_child_forked_with_io_in_flight_gets_working_io(tmp_path):
    out = run(tmp_path, """
        path = os.path.join(TMP, "f")
        big = os.path.join(TMP, "big")
        with open(big, "wb") as f:
            f.write(os.urandom(1 << 20))
        async def main():
            h, size, fd = await _kestrelio.open(big, True, False, False, False, False, False)
            futs = [_kestrelio.read(h, (i * 4096) % size, 65536) for i in range(200)]
            pid = child_runs(lambda: in_child(path, b"child"))
            done = await asyncio.gather(*futs)
            assert all(len(d) == 65536 for d in done)
            await _kestrelio.close(h)
            return pid
        pid = asyncio.run(main())
        print(wait_child(pid))
        print(asyncio.run(use(path)).decode())
    """)
    assert out == ["0", "abc"]


def test_multiprocessing_fork_pool_does_io(tmp_path):
    out = run(tmp_path, """
        import multiprocessing
        def work(i):
            path = os.path.join(TMP, "w%d" % i)
            return asyncio.run(asyncio.wait_for(use(path, b"w%d" % i), 30)).decode()
        asyncio.run(use(os.path.join(TMP, "parent")))
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(3) as pool:
            print(" ".join(pool.map_async(work, range(12)).get(timeout=120)))
        print(asyncio.run(use(os.path.join(TMP, "parent"))).decode())
    """)
    assert out == ["w%d" % i for i in range(12)] + ["abc"]


def test_child_forked_while_another_thread_does_io(tmp_path):
    out = run(tmp_path, """
        # The first use imports the package's futures module; a fork while
        # another thread holds that import's lock leaves the child waiting
        # for it for ever, whatever library does the importing.
        asyncio.run(use(os.path.join(TMP, "warm")))
        stop = threading.Event()
        rounds = []
        def busy():
            async def loop():
                n = 0
                while not stop.is_set():
                    await use(os.path.join(TMP, "busy"), b"busy%d" % (n % 10), sync=False)
                    n += 1
                return n
            rounds.append(asyncio.run(loop()))
        t = threading.Thread(target=busy)
        t.start()
        statuses = []
        for i in range(5):
            time.sleep(0.02)
            pid = child_runs(lambda: in_child(os.path.join(TMP, "c%d" % i), b"child"))
            statuses.append(wait_child(pid))
        stop.set()
        t.join(60)
        print(*statuses)
        print("thread-done" if not t.is_alive() and rounds and rounds[0] > 0 else "thread-stuck")
    """)
    assert out == ["0"] * 5 + ["thread-done"]


def test_a_child_forked_in_the_loop_with_the_parents_read_in_flight_exits_at_once(tmp_path):
    # The child leaves through asyncio.run, which cancels the task awaiting
    # the parent's read and waits for it: nothing in the child will ever
    # answer that read, so its cancel must settle it there and then.
    out = run(tmp_path, """
        fifo = os.path.join(TMP, "fifo")
        os.mkfifo(fifo)
        async def main():
            h, _size, _fd = await _kestrelio.open(fifo, True, True, False, False, False, False)
            async def reader():
                return await _kestrelio.read(h, 0, 5)
            task = asyncio.create_task(reader())
            await asyncio.sleep(0.1)  # the read now waits in the backend for bytes nobody wrote yet
            pid = os.fork()
            if pid == 0:
                sys.exit(0)
            # Polled on timers: the child's loop.close() took the loop's self-pipe
            # out of the epoll set the two processes share, so wake-ups from
            # other threads (run_in_executor) no longer reach this loop.
            deadline = time.monotonic() + 30
            status = "hung"
            while time.monotonic() < deadline:
                done, st = os.waitpid(pid, os.WNOHANG)
                if done == pid:
                    status = os.waitstatus_to_exitcode(st)
                    break
                await asyncio.sleep(0.01)
            else:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            w = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            os.write(w, b"hello")
            os.close(w)
            data = await asyncio.wait_for(task, 30)
            await _kestrelio.close(h)
            return status, data
        status, data = asyncio.run(main())
        print(status, data.decode())
    """)
    assert out == ["0", "hello"]


def test_a_child_running_the_parents_loop_leaves_the_parents_wake_up_alone(tmp_path):
    # The parent's read has finished and rung its loop's doorbell, not yet
    # drained, when the child is made; the child runs the parent's loop for a
    # while. Both ends of the doorbell are shared: had the child read the
    # byte, the parent's loop would never hear of its read.
    out = run(tmp_path, """
        path = os.path.join(TMP, "f")
        with open(path, "wb") as f:
            f.write(b"parent")
        async def main():
            signal.alarm(20)  # a parent that never hears of its read dies instead of hanging
            h, size, fd = await _kestrelio.open(path, True, False, False, False, False, False)
            fut = _kestrelio.read(h, 0, 6)
            await asyncio.sleep(0)  # the loop backend submits at the end of a pass
            time.sleep(0.2)  # the loop stays away while the read finishes
            pid = os.fork()
            if pid == 0:
                await asyncio.sleep(0.1)
                os._exit(0)
            os.waitpid(pid, 0)
            data = await asyncio.wait_for(fut, 10)
            await _kestrelio.close(h)
            return data
        print(asyncio.run(main()).decode())
    """)
    assert out == ["parent"]


# Every lock a backend thread takes is then held for a millisecond, so that a
# fork lands inside one of them.
SLOW_LOCKS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

int pthread_mutex_lock(pthread_mutex_t* m) {
    static int (*real)(pthread_mutex_t*);
    if (!real) real = (int (*)(pthread_mutex_t*))dlsym(RTLD_NEXT, "pthread_mutex_lock");
    int r = real(m);
    char name[16] = "";
    if (r == 0 && pthread_getname_np(pthread_self(), name, sizeof name) == 0 && strncmp(name, "kestrelio-", 10) == 0)
        usleep(1000);
    return r;
}
"""


def test_a_child_collecting_garbage_while_the_parents_backend_completes_does_not_hang(tmp_path):
    # The child is made while the parent's backend thread answers reads; the
    # collector in the child walks the parent's drain handle, whose queue's
    # lock that thread may have held at the moment of the fork.
    out = run(tmp_path, """
        import gc
        big = os.path.join(TMP, "big")
        with open(big, "wb") as f:
            f.write(os.urandom(1 << 20))
        async def main():
            h, size, fd = await _kestrelio.open(big, True, False, False, False, False, False)
            statuses = []
            for i in range(12):
                futs = [_kestrelio.read(h, j * 4096, 4096) for j in range(16)]
                await asyncio.sleep(0)
                time.sleep(0.002 + 0.0005 * i)
                pid = os.fork()
                if pid == 0:
                    gc.collect()
                    os._exit(0)
                await asyncio.gather(*futs)
                statuses.append(wait_child(pid, 10))
            await _kestrelio.close(h)
            return statuses
        print(*asyncio.run(main()))
    """, env=preload_env(tmp_path, "slow_locks", SLOW_LOCKS))
    assert out == ["0"] * 12
