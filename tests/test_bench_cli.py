"""``python -m kestrelio bench``: every contender measures every workload and the chart is written."""

import importlib.util
import os
import subprocess
import sys

import pytest


@pytest.mark.skipif(os.environ.get("KESTRELIO_BACKEND") == "compio",
                    reason="the benchmark starts both backends itself; once per suite is enough")
def test_bench_runs_every_case_and_writes_the_chart(tmp_path):
    png = tmp_path / "bench.png"
    # matplotlib's C++ extensions abort under a preloaded AddressSanitizer.
    want_plot = importlib.util.find_spec("matplotlib") is not None and "libasan" not in os.environ.get("LD_PRELOAD", "")
    cmd = [sys.executable, "-m", "kestrelio", "bench", "--size-mib", "3", "--seconds", "0.05",
           "--ladder-ops", "1000", "--repeat", "2", "--no-progress", "--dir", str(tmp_path)]
    if want_plot:
        cmd += ["--plot", str(png)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    out = proc.stdout
    assert "failed" not in out and "error:" not in out, out
    for rung in ("probe_ffi", "probe_resolved_future, 1 at a time", "probe_nop, 1000 in flight"):
        assert out.count(rung) == 2, f"{rung} once per backend:\n{out}"
    assert "Calibration ladder, darwin-aio" in out
    for row in ("kestrelio (darwin-aio)", "kestrelio (compio-", "kestrelio driver only (darwin-aio)",
                "run_in_executor(os.pread)", "os.pread, blocking the loop"):
        assert row in out, out
    assert "whole 3 MiB file" in out and "best of 2 runs" in out
    assert "Loop stall" in out and out.count("no I/O") == 1, out
    for row in ("cached 4 KiB pread, 1 task", "f.chunks() over a cached file"):
        assert out.count(row) == 2, f"{row} once per backend:\n{out}"
    assert "in 1 MiB reads" not in out and "run with --full" in out, "the heavy rows need --full"
    assert os.listdir(tmp_path) == (["bench.png"] if want_plot else []), "the test file is removed"
    if want_plot:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_bench_rejects_nonsense_sizes():
    proc = subprocess.run([sys.executable, "-m", "kestrelio", "bench", "--seconds", "0"],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "must be positive" in proc.stderr


def test_bench_plot_without_matplotlib_says_so_before_running(tmp_path):
    # The interpreter starts with matplotlib marked as not importable.
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['matplotlib'] = None\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "-m", "kestrelio", "bench", "--plot", str(tmp_path / "c.png"),
                           "--no-progress"], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 2, proc.stdout + proc.stderr
    assert "--plot needs matplotlib" in proc.stderr
    assert proc.stdout == "", "nothing ran"
