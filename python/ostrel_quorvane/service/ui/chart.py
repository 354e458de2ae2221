"""The overview's chart: decisions by level over the last hours or days, counted from the log
through its indexes and laid out here as the geometry of an SVG the template draws."""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass, field
from typing import Any

from ostrel_quorvane.service.ui.views import level_class
from ostrel_quorvane.store import Store

__all__ = ["WINDOWS", "Chart", "Counted", "chart"]

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


class Counted:
    """The counts of bars already past, kept between views: the log only grows and numbers its
    entries in the order it logs them, so a bar whose span has ended (a few seconds ago, for
    appends still committing) never changes, and a view counts only the bars since."""

    SETTLED = 5.0  # seconds after a bar's end before its count is kept
    KEPT = 512  # bars kept at most, over all windows

    def __init__(self) -> None:
        self.bars: dict[tuple[float, float, frozenset[str], int, int], dict[str, int]] = {}
        self._lock = threading.Lock()

    def count(
        self, store: Store, edges: list[float], levels: list[str], now: float
    ) -> list[dict[str, int]]:
        """The count of each level in each span between ``edges``."""
        bounds = store.first_logged(edges)
        names = frozenset(levels)
        with self._lock:
            return self._count(store, edges, names, bounds, now)

    def _count(
        self, store: Store, edges: list[float], names: frozenset[str], bounds: list[int], now: float
    ) -> list[dict[str, int]]:
        levels = sorted(names)
        spans = range(len(edges) - 1)
        keys = [(edges[i], edges[i + 1], names, bounds[i], bounds[i + 1]) for i in spans]
        first = next((i for i, key in enumerate(keys) if key not in self.bars), len(keys))
        counts = [self.bars[key] for key in keys[:first]]
        counts += store.levels_between(bounds[first:], levels) if first < len(keys) else []
        if len(self.bars) > self.KEPT:
            self.bars.clear()
        for i in range(first, len(keys)):
            if edges[i + 1] <= now - self.SETTLED:
                self.bars[keys[i]] = counts[i]
        return counts


def chart(
    store: Store,
    chains: list[dict[str, Any]],
    window: str,
    counted: Counted | None = None,
    now: float | None = None,
) -> Chart:
    """Counts the log over ``window`` ending now (in bars of whole hours or days, UTC) for every
    level of ``chains`` (documents, the default chain's among them), and lays the chart out."""
    count, size = WINDOWS[window]
    now = time.time() if now is None else now
    end = math.ceil(now / size) * size
    edges = [float(end - (count - i) * size) for i in range(count + 1)]
    standing: dict[str, str] = {}
    for document in chains:
        for level in document.get("levels", []):
            found = level_class(document, level)
            if standing.get(level, "unknown") == "unknown":
                standing[level] = found
    counts = (counted or Counted()).count(store, edges, list(standing), now)
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
