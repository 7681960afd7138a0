"""Runs the benchmark: makes the file, starts one worker per measurement, shows progress."""

from __future__ import annotations

import importlib
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from .cases import WORKLOADS
from .cold_runner import ColdOptions, ColdResults, backends, plan_size, run_cold
from .stall import RUNS, WORKLOADS as STALL_WORKLOADS
from .stall import median

#: Contenders after kestrelio's own rows, in table order.
PEER_ROWS: Tuple[str, ...] = ("executor", "aiofiles", "ayafileio", "pread")


def table_rows(choices: List[str]) -> List[Tuple[str, Optional[str]]]:
    """(contender, KESTRELIO_BACKEND) in table order for the backends ``choices``; None runs no backend."""
    return ([("kestrelio", c) for c in choices] + [("kestrelio_driver", c) for c in choices]
            + [(p, None) for p in PEER_ROWS])


@dataclass
class Options:
    size: int  # bytes in the test file
    seconds: float  # per measurement
    ladder_ops: int
    #: fresh interpreters per measurement; the best figure counts
    repeats: int = 1
    directory: Optional[str] = None
    progress: bool = True
    #: also the heavy rows: 200 MiB and 512 MiB files, one of them read cold
    full: bool = False
    #: the cold rows; None leaves them out
    cold: Optional[ColdOptions] = None
    #: only the cold rows: no ladder, no cached table, no loop stall
    cold_only: bool = False


@dataclass
class Results:
    size: int
    repeats: int = 1
    #: backend name -> rung -> microseconds per operation
    ladders: Dict[str, Dict[str, float]] = field(default_factory=dict)
    #: (contender, backend name or None) -> workload -> figure (None: failed)
    rows: Dict[Tuple[str, Optional[str]], Dict[str, Optional[float]]] = field(default_factory=dict)
    #: (stall workload, backend name or None) -> {"stall_ms", "rate"}, medians of RUNS runs
    stalls: Dict[Tuple[str, Optional[str]], Dict[str, float]] = field(default_factory=dict)
    cold: Optional[ColdResults] = None
    skipped: List[str] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)


class _Progress:
    """tqdm when it is installed, else a line per step on stderr."""

    def __init__(self, total: int, enabled: bool) -> None:
        self._bar: Any = None
        self._enabled = enabled
        self._done = 0
        self._total = total
        if enabled and importlib.util.find_spec("tqdm") is not None:
            tqdm: Any = importlib.import_module("tqdm")
            self._bar = tqdm.tqdm(total=total, unit="run", leave=False, file=sys.stderr)

    def step(self, what: str) -> None:
        if self._bar is not None:
            self._bar.set_description_str(what)
        elif self._enabled:
            print(f"[{self._done + 1}/{self._total}] {what}", file=sys.stderr, flush=True)

    def advance(self) -> None:
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _make_file(path: str, size: int) -> None:
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n
    with open(path, "rb") as f:  # every page in the page cache
        while f.read(1 << 20):
            pass


def _worker(request: Dict[str, Any], backend: Optional[str]) -> Dict[str, Any]:
    env = dict(os.environ)
    if backend is not None:
        env["KESTRELIO_BACKEND"] = backend
    proc = subprocess.run([sys.executable, "-m", "kestrelio.bench.worker", json.dumps(request)],
                          env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        raise RuntimeError(tail[0])
    result: Dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


def run(options: Options) -> Results:
    results = Results(size=options.size, repeats=options.repeats)
    found, notes = backends()
    results.skipped.extend(notes)
    choices = [c for c, _name in found]
    rows = [] if options.cold_only else table_rows(choices)
    missing = [p for p in ("aiofiles", "ayafileio") if importlib.util.find_spec(p) is None]
    for peer in missing:
        if (peer, None) in rows:
            rows.remove((peer, None))
        results.skipped.append(f"{peer} (not installed)")
    stall_cases = [(w, b) for w, (_mib, heavy) in STALL_WORKLOADS.items() if options.full or not heavy
                   for b in ((None,) if w == "idle" else choices)]
    if options.cold_only:
        stall_cases = []
    elif not options.full:
        results.skipped.append("loop stall of a whole 200 MiB read, a cold 512 MiB file and lines of a 200 MiB file"
                               " (heavy: run with --full)")
    cold_steps = plan_size(options.cold, missing, len(found)) if options.cold else 0
    ladders = [] if options.cold_only else choices
    progress = _Progress(len(ladders) + len(rows) * len(WORKLOADS) * options.repeats
                         + len(stall_cases) * RUNS + cold_steps, options.progress)
    try:
        for choice in ladders:
            progress.step(f"ladder, KESTRELIO_BACKEND={choice}")
            try:
                got = _worker({"ladder": options.ladder_ops}, choice)
                results.ladders[got["backend"]] = got["rungs"]
            except RuntimeError as e:
                results.errors.append(f"ladder on {choice}: {e}")
            progress.advance()
        with tempfile.TemporaryDirectory(prefix="kestrelio-bench-", dir=options.directory) as d:
            path = os.path.join(d, "data")
            if not options.cold_only:
                progress.step(f"writing a {options.size >> 20} MiB file")
                _make_file(path, options.size)
            for contender, backend in rows:
                figures: Dict[str, Optional[float]] = {}
                name: Optional[str] = backend
                for workload in WORKLOADS:
                    request = {"contender": contender, "workload": workload, "path": path, "size": options.size,
                               "seconds": options.seconds}
                    best: Optional[float] = None
                    for _ in range(options.repeats):
                        progress.step(f"{contender} {backend or ''} {workload}".replace("  ", " "))
                        try:
                            got = _worker(request, backend)
                            value = float(got["value"])
                            best = value if best is None else max(best, value)
                            name = got["backend"]
                        except RuntimeError as e:
                            results.errors.append(f"{contender} on {workload}: {e}")
                        progress.advance()
                    figures[workload] = best
                results.rows[(contender, name)] = figures
            _stalls(options, results, stall_cases, path, d, progress)
            if options.cold is not None:
                cold_path = path
                if options.cold.size != options.size or options.cold_only:
                    cold_path = os.path.join(d, "cold")
                    progress.step(f"writing a {options.cold.size >> 20} MiB file")
                    _make_file(cold_path, options.cold.size)
                results.cold = run_cold(options.cold, cold_path, d, found, _worker, missing, progress.step,
                                        progress.advance)
                results.errors.extend(results.cold.errors)
    finally:
        progress.close()
    return results


def _stalls(options: Options, results: Results, cases: List[Tuple[str, Optional[str]]], path: str, directory: str,
            progress: _Progress) -> None:
    files: Dict[int, str] = {0: path}
    for workload, backend in cases:
        mib = STALL_WORKLOADS[workload][0]
        if mib not in files:
            progress.step(f"writing a {mib} MiB file")
            files[mib] = os.path.join(directory, f"stall-{mib}")
            _make_file(files[mib], mib << 20)
        request = {"stall": workload, "path": files[mib], "size": (mib << 20) or options.size,
                   "seconds": options.seconds}
        runs: List[Dict[str, Any]] = []
        for _ in range(RUNS):
            progress.step(f"loop stall, {workload} {backend or ''}".rstrip())
            try:
                runs.append(_worker(request, backend))
            except RuntimeError as e:
                results.errors.append(f"loop stall of {workload}: {e}")
            progress.advance()
        if runs:
            results.stalls[(workload, runs[0]["backend"])] = {
                "stall_ms": median([float(r["stall_ms"]) for r in runs]),
                "rate": median([float(r["rate"]) for r in runs]),
            }
