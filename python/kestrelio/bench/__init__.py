"""``python -m kestrelio bench``: the calibration ladder, kestrelio next to its peers, and the cold rows beside fio.

Every measurement runs in a fresh interpreter (``python -m kestrelio.bench.worker``),
so each kestrelio backend gets a driver of its own and no contender warms up
another's threads or caches.
"""
