"""Runs the cold rows: rounds of fresh interpreters, every contender once per round, fio beside them.

Every figure comes from a worker of its own; the contenders of one row take
turns within each round, so a slow spell of the shared machine falls on all of
them, and the table gives the median of the rounds and their range.
"""

from __future__ import annotations

import os
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import fio
from .cold import has_batches, small_file_names
from .eviction import NotEvictable, why_not_evictable

#: The environment values tried for KESTRELIO_BACKEND, in table order.
BACKEND_CHOICES = ("aio", "compio", "loop")
DEPTHS = (1, 8, 64)
#: Distinct 4 KiB blocks read per figure at each depth (at most half the file's blocks).
READS = {1: 4000, 8: 12000, 64: 24000}
SMALL_FILE = 8192

FIO_URING, FIO_PSYNC = "fio io_uring", "fio psync"
BLOCKING = "blocking calls on the loop"
PEERS: Tuple[Tuple[str, str], ...] = (("executor", "run_in_executor"), ("aiofiles", "aiofiles"),
                                      ("ayafileio", "ayafileio"), ("pread", BLOCKING))


@dataclass
class ColdOptions:
    size: int  # bytes in the file the random and batch rows read
    rounds: int = 3
    small_files: int = 2048
    append_lines: int = 100  # per task
    batch_reads: int = 4096
    #: the reading rows stop taking new work after this long
    seconds: float = 0.4
    #: also the driver-only rows of each backend
    driver_rows: bool = False


@dataclass
class Figure:
    values: List[float] = field(default_factory=list)
    cpu_us: List[float] = field(default_factory=list)
    note: Optional[str] = None


@dataclass
class ColdResults:
    size: int
    rounds: int
    seconds: float
    #: row -> contender label -> figure, in table order
    rows: Dict[str, Dict[str, Figure]] = field(default_factory=dict)
    #: per row: what was read, for the heading
    counts: Dict[str, int] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)


def backends() -> Tuple[List[Tuple[str, str]], List[str]]:
    """([(KESTRELIO_BACKEND value, backend name)], notes on the values this build does not accept)."""
    found: List[Tuple[str, str]] = []
    notes: List[str] = []
    for choice in BACKEND_CHOICES:
        proc = subprocess.run([sys.executable, "-c", "import _kestrelio; print(_kestrelio.backend_name())"],
                              env=dict(os.environ, KESTRELIO_BACKEND=choice), capture_output=True, text=True)
        if proc.returncode != 0:
            tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
            notes.append(f"KESTRELIO_BACKEND={choice} is not accepted by this build ({tail[0]})")
            continue
        name = proc.stdout.strip()
        if any(name == n for _c, n in found):
            notes.append(f"KESTRELIO_BACKEND={choice} runs {name}, already measured")
            continue
        found.append((choice, name))
    return found, notes


def make_small_files(directory: str, count: int) -> None:
    os.makedirs(directory, exist_ok=True)
    for p in small_file_names(directory, count):
        with open(p, "wb") as f:
            f.write(os.urandom(SMALL_FILE))


def _contenders(found: List[Tuple[str, str]], driver_rows: bool, peers: bool = True
                ) -> List[Tuple[str, Optional[str], str]]:
    """(contender, KESTRELIO_BACKEND or None, label)."""
    out: List[Tuple[str, Optional[str], str]] = [("kestrelio", c, f"kestrelio ({n})") for c, n in found]
    if driver_rows:
        out += [("kestrelio_driver", c, f"kestrelio driver only ({n})") for c, n in found]
    if peers:
        out += [(c, None, label) for c, label in PEERS]
    return out


Worker = Callable[[Dict[str, Any], Optional[str]], Dict[str, Any]]


def run_cold(options: ColdOptions, path: str, directory: str, found: List[Tuple[str, str]], worker: Worker,
             missing: List[str], step: Callable[[str], None], advance: Callable[[], None]) -> ColdResults:
    """Every cold row over ``path`` (``options.size`` bytes) and small files made in ``directory``.

    ``found`` lists the backends to measure as (KESTRELIO_BACKEND value, name);
    ``missing`` the peers that are not installed.
    """
    results = ColdResults(size=options.size, rounds=options.rounds, seconds=options.seconds)
    contenders = [c for c in _contenders(found, options.driver_rows) if c[0] not in missing]
    why_not = why_not_evictable(directory)
    if why_not:
        results.notes.append(f"cold figures cannot be measured here: {why_not}")
    fio_path = fio.available()
    if fio_path is None:
        results.notes.append("fio is not installed (Debian package fio): no limit beside the cold random rows")
    blocks = options.size // 4096
    small_dir = os.path.join(directory, "small")
    make_small_files(small_dir, options.small_files)

    # (row, contender, backend, label, request); None contender: fio with that engine
    plan: List[Tuple[str, Optional[str], Optional[str], str, Dict[str, Any]]] = []
    for depth in DEPTHS:
        row = f"random_{depth}"
        count = min(READS[depth], max(1, blocks // 2))
        results.counts[row] = count
        if fio_path is not None:
            if depth == 1:
                plan.append((row, None, "psync", FIO_PSYNC, {"depth": 1, "count": count}))
            plan.append((row, None, "io_uring", FIO_URING, {"depth": depth, "count": count}))
        for contender, backend, label in contenders:
            plan.append((row, contender, backend, label, {"cold": "random", "contender": contender, "path": path,
                                                          "count": count, "depth": depth}))
    for cold in (True, False):
        row = f"small_files_{'cold' if cold else 'cached'}"
        results.counts[row] = options.small_files
        for contender, backend, label in contenders:
            if contender != "kestrelio_driver":
                plan.append((row, contender, backend, label, {"cold": "small_files", "contender": contender,
                                                              "path": small_dir, "count": options.small_files,
                                                              "cold_pass": cold}))
    for shared in (True, False):
        row = "appends_shared" if shared else "appends_own"
        results.counts[row] = options.append_lines * 64
        for contender, backend, label in contenders:
            if contender != "kestrelio_driver":
                plan.append((row, contender, backend, label, {"cold": row, "contender": contender,
                                                              "path": os.path.join(directory, "appended"),
                                                              "count": options.append_lines}))
    for cold in (False, True):
        row = f"batch_{'cold' if cold else 'cached'}"
        count = max(64, min(options.batch_reads, blocks // 2) // 64 * 64)
        results.counts[row] = count
        batchers = _contenders(found, False, peers=False)
        if "ayafileio" not in missing:
            batchers.append(("ayafileio", None, "ayafileio (read_many)"))
        for contender, backend, label in batchers:
            plan.append((row, contender, backend, label, {"cold": "batch", "contender": contender, "path": path,
                                                          "count": count, "cold_pass": cold}))

    for row, _c, _b, row_label, _r in plan:
        results.rows.setdefault(row, {}).setdefault(row_label, Figure())
    if not has_batches():
        for batch_row in ("batch_cached", "batch_cold"):
            for label, figure in results.rows.get(batch_row, {}).items():
                if label.startswith("kestrelio"):
                    figure.note = "n/a: BinaryFile.pread_many is not there"
    for rnd in range(options.rounds):
        for row, who, backend, label, request in plan:
            figure = results.rows[row][label]
            if figure.note is not None:
                advance()
                continue  # n/a or cannot be cold: no point asking again
            is_cold = row.startswith("random_") or request.get("cold_pass", False)
            if is_cold and why_not:
                figure.note = "cannot evict"
                advance()
                continue
            step(f"cold rows, round {rnd + 1}/{options.rounds}: {label}, {row}")
            try:
                if who is None:
                    got: Dict[str, Any] = fio.run(str(backend), path, options.size, int(request["depth"]), int(request["count"]))
                else:
                    req = dict(request, seed=rnd + 1, seconds=options.seconds)
                    req["cold_pass"] = bool(is_cold)
                    got = worker(req, backend)
            except NotEvictable as e:
                figure.note = f"not cold: {e}"
                continue
            except RuntimeError as e:
                results.errors.append(f"{label} on {row}: {e}")
                continue
            finally:
                advance()
            if "na" in got:
                figure.note = f"n/a: {got['na']}"
            elif "not_cold" in got:
                figure.note = f"not cold: {got['not_cold']}"
            else:
                figure.values.append(float(got["value"]))
                figure.cpu_us.append(float(got["cpu_us"]))
    return results


def plan_size(options: ColdOptions, missing: List[str], backend_count: int) -> int:
    """Steps of the cold rows, for the progress bar."""
    peers = len(PEERS) - len(missing)
    per_backend = 2 if options.driver_rows else 1
    contenders = backend_count * per_backend + peers
    random_rows = len(DEPTHS) * contenders + (4 if fio.available() else 0)
    others = 4 * (backend_count + peers) + 2 * (backend_count + ("ayafileio" not in missing))
    return (random_rows + others) * options.rounds
