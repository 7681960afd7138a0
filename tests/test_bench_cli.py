"""``python -m kestrelio bench``: every contender measures every workload and the chart is written."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys

import pytest

from kestrelio.bench import cold_report, fio
from kestrelio.bench.cold import check_appends, has_batches
from kestrelio.bench.cold_runner import BLOCKING, FIO_URING, ColdOptions, run_cold
from kestrelio.bench.eviction import NotEvictable, evict

# Tiny cold rows: one round, a 1 MiB file (128 distinct blocks per depth), 16 small files, 2 lines per task.
COLD = ["--cold-mib", "1", "--rounds", "1", "--small-files", "16", "--append-lines", "2"]


def _tmpfs():
    """A tmpfs directory, where POSIX_FADV_DONTNEED drops nothing, or None."""
    try:
        with open("/proc/self/mounts") as f:
            mounts = {fields[1]: fields[2] for fields in (line.split() for line in f) if len(fields) >= 3}
    except OSError:
        return None
    return "/dev/shm" if mounts.get("/dev/shm") == "tmpfs" and os.access("/dev/shm", os.W_OK) else None


@pytest.mark.skipif(os.environ.get("KESTRELIO_BACKEND") == "compio",
                    reason="the benchmark starts both backends itself; once per suite is enough")
def test_bench_runs_every_case_and_writes_the_chart(tmp_path):
    png = tmp_path / "bench.png"
    # matplotlib's C++ extensions abort under a preloaded AddressSanitizer.
    want_plot = importlib.util.find_spec("matplotlib") is not None and "libasan" not in os.environ.get("LD_PRELOAD", "")
    cmd = [sys.executable, "-m", "kestrelio", "bench", "--size-mib", "3", "--seconds", "0.05",
           "--ladder-ops", "1000", "--repeat", "2", "--no-progress", "--dir", str(tmp_path)] + COLD
    if want_plot:
        cmd += ["--plot", str(png)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    assert "failed" not in out and "error:" not in out, out
    # darwin-aio, compio-*, and loop-io-uring where io_uring can be set up.
    ladders = out.count("Calibration ladder, ")
    assert ladders in (2, 3), out
    for rung in ("probe_ffi", "probe_resolved_future, 1 at a time", "probe_nop, 1000 in flight"):
        assert out.count(rung) == ladders, f"{rung} once per backend:\n{out}"
    assert "Calibration ladder, darwin-aio" in out
    for row in ("kestrelio (darwin-aio)", "kestrelio (compio-", "kestrelio driver only (darwin-aio)",
                "run_in_executor(os.pread)", "os.pread, blocking the loop"):
        assert row in out, out
    assert "whole 3 MiB file" in out and "best of 2 runs" in out
    assert "Loop stall" in out and out.count("no I/O") == 1, out
    for row in ("cached 4 KiB pread, 1 task", "f.chunks() over a cached file"):
        assert out.count(row) == ladders, f"{row} once per backend:\n{out}"
    assert "in 1 MiB reads" not in out and "run with --full" in out, "the heavy rows need --full"
    cold = out[out.index("Cold rows"):]
    for depth in (1, 8, 64):
        assert f"cold 4 KiB random reads, {depth} in flight (reads/s, up to 128 per figure" in cold, cold
    for title in ("cold 8 KiB files", "cached 8 KiB files", "one shared file object", "a file object each",
                  "pread_many of 64 x 4 KiB, cached", "pread_many of 64 x 4 KiB, cold"):
        assert title in cold, cold
    assert "1 MiB file" in cold and "1 round" in cold
    # Every backend the build accepts has a line in each row; one it refuses is named.
    rows = cold.count("(reads/s") + cold.count("(files/s") + cold.count("(lines/s")
    assert cold.count("kestrelio (darwin-aio)") == rows, cold
    assert cold.count(f"  {BLOCKING}") == 7, "blocking calls in the random, small-file and append rows"
    if shutil.which("fio"):
        assert cold.count(f"  {FIO_URING} ") == 3 and cold.count("  fio psync ") == 1, cold
    else:
        assert "fio is not installed" in cold
    assert "cannot" not in cold and "not cold" not in cold, "files in the temp directory can be evicted"
    assert os.listdir(tmp_path) == (["bench.png"] if want_plot else []), "the test file is removed"
    if want_plot:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.skipif(_tmpfs() is None, reason="needs a writable tmpfs at /dev/shm")
def test_cold_rows_on_tmpfs_say_they_cannot_evict_instead_of_a_figure():
    d = os.path.join(_tmpfs(), f"kestrelio-bench-test-{os.getpid()}")
    os.mkdir(d)
    try:
        path = os.path.join(d, "data")
        with open(path, "wb") as f:
            f.write(os.urandom(1 << 20))
        with pytest.raises(NotEvictable, match="stayed cached"):
            evict([path])
        asked = []

        def worker(request, backend):
            asked.append(request)
            return {"value": 1000.0, "cpu_us": 1.0, "backend": backend}

        results = run_cold(ColdOptions(size=1 << 20, rounds=2, small_files=4, append_lines=2), path, d,
                           [("aio", "darwin-aio")], worker, ["aiofiles", "ayafileio"], lambda _s: None,
                           lambda: None)
    finally:
        shutil.rmtree(d)
    assert asked and not any(r["cold_pass"] for r in asked), "no cold figure was asked for"
    cached = {"small_files", "appends_shared", "appends_own"} | ({"batch"} if has_batches() else set())
    assert {r["cold"] for r in asked} == cached
    assert any("cold figures cannot be measured here" in n and "tmpfs" in n for n in results.notes), results.notes
    for row in ("random_1", "random_8", "random_64", "small_files_cold", "batch_cold"):
        for label, figure in results.rows[row].items():
            na = row == "batch_cold" and not has_batches()
            assert figure.values == [] and figure.note == ("n/a: BinaryFile.pread_many is not there" if na
                                                           else "cannot evict"), (row, label)
    assert results.rows["small_files_cached"]["kestrelio (darwin-aio)"].values == [1000.0, 1000.0]
    text = "\n".join(cold_report.cold_table(results))
    evicting = ["random_1", "random_8", "random_64", "small_files_cold"] + (["batch_cold"] if has_batches() else [])
    assert text.count("cannot evict") == sum(len(results.rows[r]) for r in evicting)
    assert "x: against fio io_uring" in text or not fio.available()


def test_append_check_catches_torn_and_reordered_lines(tmp_path):
    from kestrelio.bench.cold import TASKS, _line
    p = tmp_path / "appended"
    good = [_line(t, s) for s in range(2) for t in range(TASKS)]
    p.write_bytes(b"".join(good))
    check_appends(str(p), 2)
    swapped = good[:]
    swapped[0], swapped[TASKS] = swapped[TASKS], swapped[0]  # task 0's second line before its first
    p.write_bytes(b"".join(swapped))
    with pytest.raises(RuntimeError, match="task 0 expected line 0"):
        check_appends(str(p), 2)
    torn = b"".join(good)
    p.write_bytes(torn[:150] + torn[100:150] + torn[200:])  # half a line twice, same length
    with pytest.raises(RuntimeError):
        check_appends(str(p), 2)


def test_fio_report_is_read_from_its_json():
    report = "note: something first\n" + json.dumps({"jobs": [{
        "job_runtime": 500, "usr_cpu": 10.0, "sys_cpu": 30.0, "error": 0,
        "read": {"total_ios": 10000, "runtime": 500}}]})
    got = fio.parse(report)
    assert got["value"] == pytest.approx(20000.0)
    assert got["cpu_us"] == pytest.approx(0.4 * 0.5 / 10000 * 1e6)


@pytest.mark.skipif(os.environ.get("KESTRELIO_BACKEND") == "compio",
                    reason="the benchmark starts both backends itself; once per suite is enough")
def test_cold_only_runs_the_cold_rows_alone(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "kestrelio", "bench", "--cold-only", "--no-progress", "--dir",
                           str(tmp_path)] + COLD, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    assert out.startswith("Cold rows") and "Calibration ladder" not in out and "Loop stall" not in out, out
    assert "cold 4 KiB random reads, 64 in flight" in out and os.listdir(tmp_path) == []


@pytest.mark.parametrize("args,words", [(["--seconds", "0"], "must be positive"),
                                        (["--cold-only", "--no-cold"], "exclude each other"),
                                        (["--plot", "c.png", "--no-progress"], "--plot needs matplotlib")])
def test_bench_refuses_nonsense_arguments_before_running(tmp_path, args, words):
    # The interpreter starts with matplotlib marked as not importable.
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['matplotlib'] = None\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "-m", "kestrelio", "bench"] + args, capture_output=True, text=True,
                          timeout=60, env=env, cwd=tmp_path)
    assert proc.returncode == 2 and words in proc.stderr and proc.stdout == "", proc.stdout + proc.stderr
