"""``python -m kestrelio bench``: the calibration ladder and kestrelio next to its peers.

Every measurement runs in a fresh interpreter (``python -m kestrelio.bench.worker``),
so each kestrelio backend gets a driver of its own and no contender warms up
another's threads or caches.
"""
