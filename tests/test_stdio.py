"""kestrelio.stdin/stdout/stderr: call order, redirection, exit with a read pending, fork."""

import asyncio
import contextlib
import io
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kestrelio


def run_script(body: str, stdin: bytes = b"", timeout: float = 30) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], input=stdin, capture_output=True,
                          timeout=timeout)


def test_writes_of_many_tasks_come_out_whole_in_call_order_where_stdout_points_now():
    async def main():
        await asyncio.gather(*(kestrelio.stdout.write(f"line {i}\n") for i in range(200)))
        print("printed")  # print's bytes and ours share the stream, in the order they were made
        await kestrelio.stdout.writelines(["a\n", "b\n"])
        await kestrelio.stdout.flush()

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        asyncio.run(main())
    assert out.getvalue() == "".join(f"line {i}\n" for i in range(200)) + "printed\na\nb\n"


def test_lines_from_a_pipe_and_bytes_back_out():
    r = run_script("""
        import asyncio, kestrelio
        async def main():
            n = 0
            async for line in kestrelio.stdin:
                n += 1
                await kestrelio.stdout_bytes.write(line.upper().encode())
            await kestrelio.stdout_bytes.flush()
            await kestrelio.stderr.write(f"{n} lines\\n")
        asyncio.run(main())
    """, stdin=b"one\ntwo\nthree")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"ONE\nTWO\nTHREE"
    assert r.stderr == b"3 lines\n"


@pytest.mark.parametrize("stream", ["stdin", "stdin_bytes"])
def test_a_read_waiting_for_input_neither_keeps_the_process_alive_nor_fails_its_exit(stream):
    # stdin stays open and silent: the cancelled read can never finish. The
    # interpreter must neither wait for it nor close the buffer it holds.
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import asyncio, kestrelio
        async def main():
            try:
                await asyncio.wait_for(kestrelio.{stream}.readline(), 0.2)
            except asyncio.TimeoutError:
                print("timed out", flush=True)
        asyncio.run(main())
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        code = proc.wait(timeout=30)  # stdin stays open all along
        out, err = proc.stdout.read(), proc.stderr.read()
    finally:
        proc.kill()
        proc.stdin.close()
        proc.stdout.close()
        proc.stderr.close()
    assert code == 0, err
    assert out == b"timed out\n"


def test_a_write_still_blocked_on_a_full_pipe_at_exit_is_finished_whole():
    # Nobody reads stdout until the child has been exiting for a while, so the
    # megabyte fills the pipe and its write, whose caller was cancelled, is
    # still running then (the interpreter's own flush gives up after a second).
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import asyncio, sys, kestrelio
        async def main():
            asyncio.ensure_future(kestrelio.stdout_bytes.write(b"x" * (1 << 20)))
            await asyncio.sleep(0.2)
        asyncio.run(main())
        print("exiting", file=sys.stderr, flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert proc.stderr.readline() == b"exiting\n"
        time.sleep(1.5)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out == b"x" * (1 << 20)


def test_a_read_cancelled_before_its_turn_takes_no_input():
    r = run_script("""
        import asyncio, kestrelio
        async def main():
            first = asyncio.ensure_future(kestrelio.stdin.readline())
            second = asyncio.ensure_future(kestrelio.stdin.readline())
            await asyncio.sleep(0)
            second.cancel()
            print(repr(await first), repr(await kestrelio.stdin.readline()))
        asyncio.run(main())
    """, stdin=b"a\nb\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"'a\\n' 'b\\n'\n"


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="no fork here")
def test_a_forked_child_writes_through_a_thread_of_its_own():
    r = run_script("""
        import asyncio, os, kestrelio
        async def write(s):
            await kestrelio.stdout.write(s)
            await kestrelio.stdout.flush()
        asyncio.run(write("parent\\n"))  # the parent's thread now exists
        pid = os.fork()
        if pid == 0:
            asyncio.run(asyncio.wait_for(write("child\\n"), 10))
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child exit", os.waitstatus_to_exitcode(status), flush=True)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"parent\nchild\nchild exit 0\n"


def test_a_call_goes_to_the_stream_current_when_it_was_made_not_when_its_turn_comes():
    entered, gate = threading.Event(), threading.Event()

    class Slow(io.StringIO):
        def write(self, s):
            entered.set()
            gate.wait(30)
            return super().write(s)

    slow, then, later = Slow(), io.StringIO(), io.StringIO()

    async def main():
        with contextlib.redirect_stdout(slow):
            first = asyncio.ensure_future(kestrelio.stdout.write("1"))
            await asyncio.get_running_loop().run_in_executor(None, entered.wait, 30)
        with contextlib.redirect_stdout(then):
            second = asyncio.ensure_future(kestrelio.stdout.write("2"))
            await asyncio.sleep(0)  # queued behind the first, which still runs
        with contextlib.redirect_stdout(later):
            gate.set()
            await asyncio.gather(first, second)

    asyncio.run(main())
    assert (slow.getvalue(), then.getvalue(), later.getvalue()) == ("1", "2", "")


@pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="no fork here")
def test_a_child_forked_while_another_thread_starts_a_streams_thread_still_writes():
    # The other thread is held inside the stream's bookkeeping across the fork.
    r = run_script("""
        import asyncio, os, signal, threading, kestrelio
        from kestrelio import stdio
        inside, release = threading.Event(), threading.Event()
        def hold():
            with stdio._out._lock:
                inside.set()
                release.wait()
        t = threading.Thread(target=hold)
        t.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
            async def write():
                await kestrelio.stdout.write("child\\n")
                await kestrelio.stdout.flush()
            asyncio.run(write())
            os._exit(0)
        release.set()
        t.join()
        _, status = os.waitpid(pid, 0)
        print("child exit", os.waitstatus_to_exitcode(status), flush=True)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == b"child\nchild exit 0\n"
