"""The overview's chart: decisions by level over the last hours or days, counted from the log
through its indexes and laid out here as the geometry of an SVG the template draws."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Any

from ostrel_quorvane.service.ui.views import level_class
from ostrel_quorvane.store import Store

__all__ = ["WINDOWS", "Chart", "chart"]

# The spans the chart covers: how many bars, and the seconds each stands for.
WINDOWS = {"24h": (24, 3600), "7d": (28, 6 * 3600), "30d": (30, 86400)}
WIDTH, HEIGHT = 720, 220
LEFT, RIGHT, TOP, BOTTOM = 44, 8, 10, 26
# The order levels stack in, bottom up, by how they stand in their chain.
STANDING = ("refuse", "between", "allow", "unknown")


@dataclass
class Bar:
    x: float
    width: float
    title: str
    parts: list[dict[str, Any]] = field(default_factory=list)


@dataclass
class Chart:
    """What the template draws."""

    window: str
    bars: list[Bar]
    ticks: list[dict[str, Any]]  # the vertical axis: y and the count
    labels: list[dict[str, Any]]  # the horizontal axis: x and the time
    legend: list[dict[str, Any]]  # each level with its class and its total
    total: int
    width: int = WIDTH
    height: int = HEIGHT
    left: int = LEFT
    bottom: float = HEIGHT - BOTTOM


def _ceiling(largest: int) -> int:
    """A round number at or above ``largest``, for the top of the axis."""
    if largest <= 4:
        return 4
    power = 10 ** int(math.log10(largest))
    for step in (1, 2, 2.5, 5, 10):
        if largest <= step * power:
            return int(step * power)
    return largest


def chart(
    store: Store, chains: list[dict[str, Any]], window: str, now: float | None = None
) -> Chart:
    """Counts the log over ``window`` ending now (in bars of whole hours or days, UTC) for every
    level of ``chains`` (documents, the default chain's among them), and lays the chart out."""
    count, size = WINDOWS[window]
    end = math.ceil((time.time() if now is None else now) / size) * size
    edges = [end - (count - i) * size for i in range(count + 1)]
    standing: dict[str, str] = {}
    for document in chains:
        for level in document.get("levels", []):
            found = level_class(document, level)
            if standing.get(level, "unknown") == "unknown":
                standing[level] = found
    bounds = store.first_logged(edges)
    counts = store.levels_between(bounds, standing)
    # The levels seen, stacked by standing, then as their chains order them; "" for the rest.
    seen = {level for bucket in counts for level in bucket}
    order = [lv for kind in STANDING for lv in standing if standing[lv] == kind and lv in seen]
    if "" in seen:
        order.append("")
    shade, shown = {}, dict.fromkeys(STANDING, 0)  # levels of one standing told apart by shade
    for level in order:
        kind = standing.get(level, "unknown")
        shade[level], shown[kind] = shown[kind] % 4, shown[kind] + 1
    top = _ceiling(max((sum(bucket.values()) for bucket in counts), default=0))
    plot_width, plot_height = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM
    step = plot_width / count
    bars = []
    for i, bucket in enumerate(counts):
        bar = Bar(LEFT + i * step + 1, max(step - 2, 1), "")
        y = float(HEIGHT - BOTTOM)
        for level in order:
            n = bucket.get(level, 0)
            if not n:
                continue
            h = plot_height * n / top
            y -= h
            css = standing.get(level, "unknown")
            bar.parts.append({"y": y, "height": h, "css": f"{css} shade{shade[level]}",
                              "title": f"{level or 'other'}: {n}"})  # fmt: skip
        span = f"{_when(edges[i], size)} to {_when(edges[i + 1], size)}"
        bar.title = f"{span}: {sum(bucket.values())} decision(s)"
        bars.append(bar)
    ticks = [{"y": HEIGHT - BOTTOM - plot_height * f, "count": int(top * f)} for f in (0, 0.5, 1)]
    every = max(1, count // 6)
    labels = [{"x": LEFT + i * step, "text": _when(edges[i], size)} for i in range(0, count, every)]
    legend = [
        {"level": level or "other", "css": f"{standing.get(level, 'unknown')} shade{shade[level]}",
         "total": sum(bucket.get(level, 0) for bucket in counts)}
        for level in order
    ]  # fmt: skip
    total = sum(sum(bucket.values()) for bucket in counts)
    return Chart(window, bars, ticks, labels, legend, total)


def _when(moment: float, size: int) -> str:
    shape = "%m-%d %H:%M" if size < 86400 else "%Y-%m-%d"
    return time.strftime(shape, time.gmtime(moment))
