"""The benchmark's table and its bar chart."""

from __future__ import annotations

import importlib
from typing import Any, List, Optional, Tuple

from .cold_report import CHART_ROWS, cold_table, plot_cold
from .runner import Results

COLUMNS: Tuple[Tuple[str, str, str], ...] = (
    # workload, heading, unit
    ("random_4k", "4 KiB random reads", "ops/s, 64 tasks"),
    ("sequential_1m", "1 MiB sequential reads", "MiB/s"),
    ("whole_file", "whole file", "MiB/s"),
)
BASELINE = ("executor", None)


def row_label(contender: str, backend: Optional[str]) -> str:
    if contender == "kestrelio":
        return f"kestrelio ({backend})"
    if contender == "kestrelio_driver":
        return f"kestrelio driver only ({backend})"
    return {
        "executor": "run_in_executor(os.pread)",
        "aiofiles": "aiofiles",
        "ayafileio": "ayafileio",
        "pread": "os.pread, blocking the loop",
    }.get(contender, contender)


def _cell(value: Optional[float], base: Optional[float]) -> str:
    if value is None:
        return "failed"
    ratio = f"{value / base:6.1f}x" if base else ""
    return f"{value:>12,.0f} {ratio}"


def table(results: Results) -> str:
    lines: List[str] = []
    for name, rungs in results.ladders.items():
        lines.append(f"Calibration ladder, {name} (microseconds per operation)")
        for rung, us in rungs.items():
            lines.append(f"  {rung:38s} {us:8.3f}")
        lines.append("")
    if results.rows:
        lines.extend(cached_table(results))
    if results.stalls:
        lines.append("")
        lines.extend(stall_table(results))
    if results.cold is not None:
        if lines:
            lines.append("")
        lines.extend(cold_table(results.cold))
        for note in results.cold.notes:
            lines.append(f"note: {note}")
    for note in results.skipped:
        lines.append(f"skipped: {note}")
    for error in results.errors:
        lines.append(f"error: {error}")
    return "\n".join(lines)


def cached_table(results: Results) -> List[str]:
    lines: List[str] = []
    size_mib = results.size >> 20
    base = results.rows.get(BASELINE, {})
    label_width = max([len(row_label(c, b)) for c, b in results.rows] + [10])
    widths = [max(len(h), len(u) + 2, 20) for _, h, u in COLUMNS]
    heads = [h if w != "whole_file" else f"whole {size_mib} MiB file" for w, h, _ in COLUMNS]
    best = f", best of {results.repeats} runs" if results.repeats > 1 else ""
    lines.append(f"Cached reads of a {size_mib} MiB file{best}; in brackets: times run_in_executor")
    lines.append(" " * label_width + "  " + "  ".join(f"{h:>{w}}" for h, w in zip(heads, widths)))
    lines.append(" " * label_width + "  " + "  ".join(f"{'(' + u + ')':>{w}}" for (_, _, u), w in zip(COLUMNS, widths)))
    for (contender, backend), figures in results.rows.items():
        cells = [_cell(figures.get(w), base.get(w)) for w, _, _ in COLUMNS]
        lines.append(f"{row_label(contender, backend):{label_width}s}  "
                     + "  ".join(f"{c:>{w}}" for c, w in zip(cells, widths)))
    return lines


STALL_LABELS = {
    "idle": ("no I/O", ""),
    "cached_4k": ("cached 4 KiB pread, 1 task", "reads/s"),
    "chunks": ("f.chunks() over a cached file", "MiB/s"),
    "whole_200m": ("read() of a cached 200 MiB file", "MiB/s"),
    "cold_512m": ("cold 512 MiB file in 1 MiB reads", "MiB/s"),
    "lines_text": ("async for line, 200 MiB UTF-8, text", "x plain for"),
    "lines_binary": ("async for line, 200 MiB UTF-8, binary", "x plain for"),
}


def stall_table(results: Results) -> List[str]:
    lines = ["Loop stall: worst lateness of a task sleeping 1 ms beside the reader, median of 3 runs"]
    lines.append(f"  {'workload':36s} {'backend':16s} {'stall ms':>9s} {'rate':>14s}")
    for (workload, backend), got in results.stalls.items():
        label, unit = STALL_LABELS.get(workload, (workload, ""))
        if unit.startswith("x"):
            rate = f"{got['rate']:>10.2f} {unit}"
        else:
            rate = f"{got['rate']:>10,.0f} {unit}" if unit else ""
        lines.append(f"  {label:36s} {backend or '-':16s} {got['stall_ms']:9.2f} {rate}")
    return lines


def plot(results: Results, path: str) -> None:
    """A bar chart of the tables as a PNG at ``path``: a panel per cached workload, then the cold rows' panels."""
    matplotlib: Any = importlib.import_module("matplotlib")
    matplotlib.use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")
    labels = [row_label(c, b) for c, b in results.rows]
    cold = results.cold
    cold_rows = (len(CHART_ROWS) + len(COLUMNS) - 1) // len(COLUMNS) if cold is not None else 0
    cold_height = 0.32 * max((len(cold.rows.get(r, {})) for r in CHART_ROWS), default=0) + 1.2 if cold else 0.0
    heights = ([0.5 * len(labels) + 2] if results.rows else []) + [cold_height] * cold_rows
    fig, grid = plt.subplots(len(heights), len(COLUMNS), figsize=(6 * len(COLUMNS), sum(heights)),
                             constrained_layout=True, squeeze=False, gridspec_kw={"height_ratios": heights})
    panels = [ax for r in grid for ax in r]
    if results.rows:
        _plot_cached(results, panels[:len(COLUMNS)], labels)
        panels = panels[len(COLUMNS):]
    if cold is not None:
        plot_cold(panels, cold)
    if results.rows:
        title = "kestrelio: file I/O from asyncio, higher is better; top, cached reads"
    else:
        title = "kestrelio: file I/O from asyncio, higher is better"
    if cold is not None:
        title += "; cold rows: median of rounds, whiskers the range, fio orange, blocking calls green"
    fig.suptitle(title)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _plot_cached(results: Results, axes: List[Any], labels: List[str]) -> None:
    for ax in axes[1:]:
        ax.sharey(axes[0])
        ax.tick_params(labelleft=False)
    for ax, (workload, heading, unit) in zip(axes, COLUMNS):
        values = [figures.get(workload) or 0.0 for figures in results.rows.values()]
        colours = ["tab:blue" if c.startswith("kestrelio") else "tab:gray" for c, _ in results.rows]
        bars = ax.barh(range(len(labels)), values, color=colours)
        ax.bar_label(bars, labels=[f"{v:,.0f}" for v in values], padding=3, fontsize=8)
        if workload == "whole_file":
            heading = f"whole {results.size >> 20} MiB file"
        ax.set_title(f"{heading} ({unit})")
        ax.set_xlim(0, max(values + [1.0]) * 1.25)
        ax.tick_params(axis="x", labelsize=8)
    axes[0].set_yticks(range(len(labels)), labels)
    axes[0].invert_yaxis()
