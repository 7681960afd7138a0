"""The calibration ladder: the cost of each layer between Python and the driver thread.

``probe_ffi`` is the bare call into the extension, ``probe_resolved_future``
adds a future the extension settles at once, and ``probe_nop`` a full round
trip through the driver thread, the doorbell and the drain: the difference
between two rungs is what that layer costs.
"""

from __future__ import annotations

import time
from typing import Awaitable, Callable, Dict

import _kestrelio

#: Width of the "in flight" rungs.
IN_FLIGHT = 1000


async def _one_at_a_time(make: Callable[[], Awaitable[object]], n: int) -> float:
    t0 = time.perf_counter()
    for _ in range(n):
        await make()
    return (time.perf_counter() - t0) / n * 1e6


async def _in_flight(make: Callable[[], Awaitable[object]], n: int) -> float:
    # Submit IN_FLIGHT, then await them in order: asyncio.gather would add
    # its own bookkeeping per future (about 2 us here) to what is measured.
    rounds = max(1, n // IN_FLIGHT)
    t0 = time.perf_counter()
    for _ in range(rounds):
        for fut in [make() for _ in range(IN_FLIGHT)]:
            await fut
    return (time.perf_counter() - t0) / (rounds * IN_FLIGHT) * 1e6


async def ladder(n: int) -> Dict[str, float]:
    """Microseconds per operation of each rung, ``n`` operations each, in ladder order."""
    rungs: Dict[str, float] = {}
    calls = 4 * n  # the cheapest rung needs more calls to rise above timer noise
    t0 = time.perf_counter()
    for _ in range(calls):
        _kestrelio.probe_ffi()
    rungs["probe_ffi"] = (time.perf_counter() - t0) / calls * 1e6
    for name, fn in (("probe_resolved_future", _kestrelio.probe_resolved_future),
                     ("probe_nop", _kestrelio.probe_nop)):
        rungs[f"{name}, 1 at a time"] = await _one_at_a_time(fn, n)
        rungs[f"{name}, {IN_FLIGHT} in flight"] = await _in_flight(fn, n)
    return rungs
