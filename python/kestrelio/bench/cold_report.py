"""The cold rows' table and their panels of the chart."""

from __future__ import annotations

import statistics
from typing import Any, Dict, List, Optional, Tuple

from .cold_runner import BLOCKING, DEPTHS, FIO_PSYNC, FIO_URING, ColdResults, Figure

#: row -> (title, unit, the label of the figure the ratios are taken against)
ROWS: Dict[str, Tuple[str, str, Optional[str]]] = {
    **{f"random_{d}": (f"cold 4 KiB random reads, {d} in flight", "reads/s", FIO_URING) for d in DEPTHS},
    "small_files_cold": ("open + read + close of cold 8 KiB files, 64 tasks", "files/s", BLOCKING),
    "small_files_cached": ("open + read + close of cached 8 KiB files, 64 tasks", "files/s", BLOCKING),
    "appends_shared": ("64 tasks appending 100-byte lines, one shared file object", "lines/s", BLOCKING),
    "appends_own": ("64 tasks appending 100-byte lines, a file object each", "lines/s", BLOCKING),
    "batch_cached": ("pread_many of 64 x 4 KiB, cached", "reads/s", None),
    "batch_cold": ("pread_many of 64 x 4 KiB, cold", "reads/s", None),
}
#: Panels of the chart: row ids, in chart order.
CHART_ROWS = ("random_1", "random_8", "random_64", "small_files_cold", "appends_shared", "appends_own")


def _k(v: float) -> str:
    return f"{v / 1e3:,.1f}k"


def _limit(results: ColdResults, row: str) -> Optional[float]:
    against = ROWS[row][2]
    if against is None and row == "batch_cold":
        against, row = FIO_URING, "random_64"
    fig = results.rows.get(row, {}).get(against or "")
    return statistics.median(fig.values) if fig and fig.values else None


def cold_table(results: ColdResults) -> List[str]:
    rounds = f"{results.rounds} rounds" if results.rounds > 1 else "1 round"
    lines = [f"Cold rows: median of {rounds} and their range, each figure a fresh interpreter (fio its own "
             f"process); cold = every page read was dropped (POSIX_FADV_DONTNEED) and checked gone (mincore) "
             f"just before the timed part. Random and batch rows read a {results.size >> 20} MiB file."]
    for row, (title, unit, against) in ROWS.items():
        figures = results.rows.get(row)
        if not figures:
            continue
        limit = _limit(results, row)
        vs = against if against else (FIO_URING + " at 64 in flight" if row == "batch_cold" else "")
        count = results.counts.get(row)
        what = ""
        if count and row.startswith("appends"):
            what = f", {count:,} per figure"
        elif count:
            what = f", up to {count:,} per figure in at most {results.seconds:g} s"
        limit_note = f"; x: against {vs}" if vs else ""
        lines.append("")
        lines.append(f"{title} ({unit}{what}{limit_note})")
        lines.append(f"  {'contender':40s} {'median':>9s} {'range':>17s} {'x' if vs else '':>7s} {'CPU us/op':>10s}")
        for label, fig in figures.items():
            lines.append("  " + _line(label, fig, limit))
    return lines


def _line(label: str, fig: Figure, limit: Optional[float]) -> str:
    if not fig.values:
        return f"{label:40s} {fig.note or 'failed'}"
    med = statistics.median(fig.values)
    span = f"{_k(min(fig.values))}-{_k(max(fig.values))}"
    ratio = f"{med / limit:.2f}x" if limit else ""
    cpu = f"{statistics.median(fig.cpu_us):.1f}"
    return f"{label:40s} {_k(med):>9s} {span:>17s} {ratio:>7s} {cpu:>10s}"


def plot_cold(axes: List[Any], results: ColdResults) -> None:
    """One horizontal bar panel per chart row, fio and blocking os.pread in their own colours, range as whiskers."""
    for ax, row in zip(axes, CHART_ROWS):
        title, unit, _against = ROWS[row]
        figures = [(label, fig) for label, fig in results.rows.get(row, {}).items()]
        labels = [label for label, _ in figures]
        meds = [statistics.median(f.values) if f.values else 0.0 for _, f in figures]
        lo = [m - min(f.values) if f.values else 0.0 for m, (_, f) in zip(meds, figures)]
        hi = [max(f.values) - m if f.values else 0.0 for m, (_, f) in zip(meds, figures)]
        colours = ["tab:orange" if label in (FIO_URING, FIO_PSYNC) else
                   "tab:green" if label == BLOCKING else
                   "tab:blue" if label.startswith("kestrelio") else "tab:gray" for label in labels]
        bars = ax.barh(range(len(labels)), meds, xerr=[lo, hi], color=colours, error_kw={"elinewidth": 0.8})
        texts = [_k(m) if f.values else (f.note or "failed")[:24] for m, (_, f) in zip(meds, figures)]
        ax.bar_label(bars, labels=texts, padding=3, fontsize=7)
        ax.set_yticks(range(len(labels)), labels, fontsize=8)
        ax.invert_yaxis()
        ax.set_title(f"{title} ({unit})", fontsize=9)
        ax.set_xlim(0, max(meds + [1.0]) * 1.35)
        ax.tick_params(axis="x", labelsize=7)
