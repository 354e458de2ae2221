"""What the service counts, in Prometheus's text format."""

from __future__ import annotations

import bisect
import threading
from collections import Counter

# Upper bounds of the latency histograms' buckets, in seconds.
BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5)


class Histogram:
    def __init__(self) -> None:
        self.counts = [0] * (len(BUCKETS) + 1)
        self.total = 0.0

    def observe(self, seconds: float) -> None:
        self.counts[bisect.bisect_left(BUCKETS, seconds)] += 1
        self.total += seconds

    def lines(self, name: str, labels: str) -> list[str]:
        out, running = [], 0
        joiner = "," if labels else ""
        for bound, count in zip((*map(str, BUCKETS), "+Inf"), self.counts, strict=True):
            running += count
            out.append(f'{name}_bucket{{{labels}{joiner}le="{bound}"}} {running}')
        out.append(f"{name}_sum{{{labels}}} {self.total}")
        out.append(f"{name}_count{{{labels}}} {running}")
        return out


class Metrics:
    """Decisions by level, errors by kind, request latency by route, log append latency."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.decisions: Counter[str] = Counter()
        self.errors: Counter[str] = Counter()
        self.latency: dict[str, Histogram] = {}
        self.append = Histogram()

    def decided(self, level: str) -> None:
        with self._lock:
            self.decisions[level] += 1

    def failed(self, kind: str) -> None:
        with self._lock:
            self.errors[kind] += 1

    def took(self, route: str, seconds: float) -> None:
        with self._lock:
            self.latency.setdefault(route, Histogram()).observe(seconds)

    def appended(self, seconds: float) -> None:
        with self._lock:
            self.append.observe(seconds)

    def text(self) -> str:
        with self._lock:
            lines = [
                "# HELP oq_decisions_total Decisions made, by the level reached.",
                "# TYPE oq_decisions_total counter",
                *(
                    f'oq_decisions_total{{level="{k}"}} {v}'
                    for k, v in sorted(self.decisions.items())
                ),
                "# HELP oq_errors_total Requests answered with an error, by its kind.",
                "# TYPE oq_errors_total counter",
                *(f'oq_errors_total{{kind="{k}"}} {v}' for k, v in sorted(self.errors.items())),
                "# HELP oq_request_seconds Time to answer a request, by route.",
                "# TYPE oq_request_seconds histogram",
            ]
            for route, histogram in sorted(self.latency.items()):
                lines += histogram.lines("oq_request_seconds", f'route="{route}"')
            lines += [
                "# HELP oq_log_append_seconds Time to append decisions to the log.",
                "# TYPE oq_log_append_seconds histogram",
                *self.append.lines("oq_log_append_seconds", ""),
            ]
        return "\n".join(lines) + "\n"
