"""``python -m kestrelio bench``: the calibration ladder and kestrelio next to its peers."""

from __future__ import annotations

import argparse
import importlib.util
import sys
from typing import List, Optional


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m kestrelio")
    commands = parser.add_subparsers(dest="command", required=True)
    bench = commands.add_parser(
        "bench", help="benchmark kestrelio's backends against run_in_executor, aiofiles and os.pread",
        description="Runs the calibration ladder on every backend, then 4 KiB random reads, 1 MiB sequential "
                    "reads and a whole-file read of one cached file for every contender, each in a fresh "
                    "interpreter, then the loop stall each backend causes, then the cold rows against fio, "
                    "and prints tables.")
    bench.add_argument("--size-mib", type=int, default=256, help="size of the test file (default 256)")
    bench.add_argument("--seconds", type=float, default=0.6, help="time for each measurement (default 0.6)")
    bench.add_argument("--repeat", type=int, default=2,
                       help="measurements per figure, each in a fresh interpreter; the best counts (default 2)")
    bench.add_argument("--ladder-ops", type=int, default=20_000, help="operations per ladder rung (default 20000)")
    bench.add_argument("--dir", default=None, help="where to put the test file (default: the temp directory)")
    bench.add_argument("--plot", metavar="PNG", default=None, help="also write a bar chart (needs matplotlib)")
    bench.add_argument("--no-progress", action="store_true", help="no progress bar")
    bench.add_argument("--full", action="store_true",
                       help="also the heavy rows: the loop stall of a 200 MiB read(), of a cold 512 MiB file and of line "
                            "iteration over a 200 MiB text file; and the cold rows' driver-only figures")
    cold = bench.add_argument_group("cold rows", "cold 4 KiB random reads at 1, 8 and 64 in flight beside fio (when "
                                    "installed), small files, appends from 64 tasks, batches")
    cold.add_argument("--no-cold", action="store_true", help="leave the cold rows out")
    cold.add_argument("--cold-only", action="store_true",
                      help="only the cold rows: no ladder, no cached table, no loop stall")
    cold.add_argument("--cold-mib", type=int, default=256,
                      help="size of the file the cold random rows read (default 256; 1024 is a 1 GiB file)")
    cold.add_argument("--rounds", type=int, default=3,
                      help="rounds of the cold rows, every contender once per round; the table gives the median "
                           "and the range (default 3)")
    cold.add_argument("--small-files", type=int, default=2048, help="8 KiB files per small-file figure (default 2048)")
    cold.add_argument("--append-lines", type=int, default=100,
                      help="100-byte lines each of the 64 appending tasks writes (default 100)")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if min(args.size_mib, args.ladder_ops, args.repeat, args.cold_mib, args.rounds, args.small_files,
           args.append_lines) < 1 or args.seconds <= 0:
        print("--size-mib, --seconds, --repeat, --ladder-ops, --cold-mib, --rounds, --small-files and --append-lines "
              "must be positive", file=sys.stderr)
        return 2
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        print("--plot needs matplotlib, which is not installed (pip install matplotlib)", file=sys.stderr)
        return 2
    from .bench.report import plot, table
    if args.no_cold and args.cold_only:
        print("--no-cold and --cold-only exclude each other", file=sys.stderr)
        return 2
    from .bench.cold_runner import ColdOptions
    from .bench.runner import Options, run

    cold = None if args.no_cold else ColdOptions(size=args.cold_mib << 20, rounds=args.rounds,
                                                 small_files=args.small_files, append_lines=args.append_lines,
                                                 driver_rows=args.full)
    results = run(Options(size=args.size_mib << 20, seconds=args.seconds, ladder_ops=args.ladder_ops,
                          repeats=args.repeat, directory=args.dir, progress=not args.no_progress,
                          full=args.full, cold=cold, cold_only=args.cold_only))
    print(table(results))
    if args.plot:
        plot(results, args.plot)
        print(f"chart written to {args.plot}")
    return 1 if results.errors else 0


if __name__ == "__main__":
    sys.exit(main())
