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

#: (contender, KESTRELIO_BACKEND) in table order; None runs no kestrelio backend.
ROWS: Tuple[Tuple[str, Optional[str]], ...] = (
    ("kestrelio", "aio"),
    ("kestrelio", "compio"),
    ("kestrelio_driver", "aio"),
    ("kestrelio_driver", "compio"),
    ("executor", None),
    ("aiofiles", None),
    ("pread", None),
)
LADDER_BACKENDS = ("aio", "compio")


@dataclass
class Options:
    size: int  # bytes in the test file
    seconds: float  # per measurement
    ladder_ops: int
    #: fresh interpreters per measurement; the best figure counts
    repeats: int = 1
    directory: Optional[str] = None
    progress: bool = True
    #: also the heavy rows, left out of the quick default run
    full: bool = False


@dataclass
class Results:
    size: int
    repeats: int = 1
    #: backend name -> rung -> microseconds per operation
    ladders: Dict[str, Dict[str, float]] = field(default_factory=dict)
    #: (contender, backend name or None) -> workload -> figure (None: failed)
    rows: Dict[Tuple[str, Optional[str]], Dict[str, Optional[float]]] = field(default_factory=dict)
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
    rows = list(ROWS)
    if importlib.util.find_spec("aiofiles") is None:
        rows.remove(("aiofiles", None))
        results.skipped.append("aiofiles (not installed)")
    progress = _Progress(len(LADDER_BACKENDS) + len(rows) * len(WORKLOADS) * options.repeats, options.progress)
    try:
        for choice in LADDER_BACKENDS:
            progress.step(f"ladder, KESTRELIO_BACKEND={choice}")
            try:
                got = _worker({"ladder": options.ladder_ops}, choice)
                results.ladders[got["backend"]] = got["rungs"]
            except RuntimeError as e:
                results.errors.append(f"ladder on {choice}: {e}")
            progress.advance()
        with tempfile.TemporaryDirectory(prefix="kestrelio-bench-", dir=options.directory) as d:
            path = os.path.join(d, "data")
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
    finally:
        progress.close()
    return results
