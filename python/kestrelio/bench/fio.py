"""fio on the bench's own file: the limit the cold random rows are held against.

Runs ``fio --ioengine=io_uring --direct=0 --rw=randread --bs=4k --iodepth=N``
(or ``--ioengine=psync`` at depth 1) over the same file after the same
eviction, with fio's own invalidation off so that the pages it finds gone are
the ones ``mincore`` saw gone, and reads its JSON report.
"""

from __future__ import annotations

import json
import shutil
import subprocess
from typing import Any, Dict, Optional

from .eviction import evict


def available() -> Optional[str]:
    """The path of fio, or None."""
    return shutil.which("fio")


def command(engine: str, path: str, size: int, depth: int, count: int) -> list[str]:
    return ["fio", "--name=cold", f"--filename={path}", f"--ioengine={engine}", "--direct=0", "--rw=randread",
            "--bs=4k", f"--iodepth={depth}", f"--size={size}", f"--number_ios={count}", "--invalidate=0",
            "--output-format=json"]


def parse(report: str) -> Dict[str, float]:
    """{"value": reads/s, "cpu_us": CPU per read, "seconds"} from fio's JSON output."""
    # fio may print notes before the JSON document.
    doc: Any = json.loads(report[report.index("{"):])
    job = doc["jobs"][0]
    ios = float(job["read"]["total_ios"])
    runtime = float(job["job_runtime"]) / 1e3 or float(job["read"]["runtime"]) / 1e3
    if ios <= 0 or runtime <= 0:
        raise RuntimeError(f"fio read nothing: {job.get('error', '')}")
    cpu = (float(job["usr_cpu"]) + float(job["sys_cpu"])) / 100 * runtime
    return {"value": ios / runtime, "cpu_us": cpu / ios * 1e6, "seconds": runtime}


def run(engine: str, path: str, size: int, depth: int, count: int) -> Dict[str, float]:
    """One fio figure over ``path``, whose pages are dropped and checked gone first."""
    evict([path])
    proc = subprocess.run(command(engine, path, size, depth, count), capture_output=True, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        raise RuntimeError(f"fio: {tail[0]}")
    return parse(proc.stdout)
