"""One measurement in a fresh interpreter: ``python -m kestrelio.bench.worker JSON``.

The JSON names a case (``{"contender", "workload", "path", "size", "seconds"}``),
a cold-row figure (``{"cold", "contender", "path", "count", "cold_pass", ...}``),
a loop-stall run (``{"stall", "path", "size", "seconds"}``) or the ladder
(``{"ladder": n}``); the worker prints one JSON line with the
figure and the backend that produced it, if any. The parent chooses the
backend through ``KESTRELIO_BACKEND`` in the worker's environment.
"""

from __future__ import annotations

import asyncio
import json
import sys
from typing import Any, Dict, Optional

import _kestrelio

from .cases import run_case
from .cold import run_cold
from .eviction import NotEvictable
from .ladder import ladder
from .stall import measure


async def _measure(request: Dict[str, Any]) -> Dict[str, Any]:
    if "ladder" in request:
        return {"backend": _kestrelio.backend_name(), "rungs": await ladder(int(request["ladder"]))}
    if "stall" in request:
        workload = str(request["stall"])
        got = await measure(workload, str(request["path"]), int(request["size"]), float(request["seconds"]))
        return {"backend": None if workload == "idle" else _kestrelio.backend_name(), **got}
    if "cold" in request:
        try:
            got = await run_cold(request)
        except NotEvictable as e:
            return {"not_cold": str(e)}
        own = str(request["contender"]).startswith("kestrelio")
        return {"backend": _kestrelio.backend_name() if own else None, **got}
    contender = str(request["contender"])
    value = await run_case(contender, str(request["workload"]), str(request["path"]), int(request["size"]),
                           float(request["seconds"]))
    # Only kestrelio's own contenders create a driver; the others never start one.
    backend: Optional[str] = _kestrelio.backend_name() if contender.startswith("kestrelio") else None
    return {"backend": backend, "value": value}


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: python -m kestrelio.bench.worker JSON")
    print(json.dumps(asyncio.run(_measure(json.loads(sys.argv[1])))), flush=True)


if __name__ == "__main__":
    main()
