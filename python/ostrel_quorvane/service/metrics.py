"""What the service counts, exposed in Prometheus's text format by the Prometheus client.

With several workers, each writes its counts where ``PROMETHEUS_MULTIPROC_DIR`` says (``serve``
makes that folder for its workers before they start) and a scrape of any worker reads them all,
so that the counters add up across workers and never seem to reset as scrapes land on one worker
or another. A single process (a test's application, an embedding) counts in memory.
"""

from __future__ import annotations

import os

from prometheus_client import (
    CONTENT_TYPE_LATEST,
    CollectorRegistry,
    Counter,
    Histogram,
    generate_latest,
)
from prometheus_client.multiprocess import MultiProcessCollector

__all__ = ["CONTENT_TYPE", "Metrics"]

CONTENT_TYPE = CONTENT_TYPE_LATEST
# Upper bounds of the latency histograms' buckets, in seconds.
BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 10.0)


class Metrics:
    """Decisions by level, errors by kind, request latency by route, log append latency."""

    def __init__(self) -> None:
        self._registry = CollectorRegistry()
        self._shared = os.environ.get("PROMETHEUS_MULTIPROC_DIR")
        registry = self._registry
        self._decisions = Counter(
            "oq_decisions", "Decisions made, by the level answered.", ["level"], registry=registry
        )
        self._errors = Counter(
            "oq_errors",
            "Requests, or lines of a batch, answered with an error, by its kind.",
            ["kind"],
            registry=registry,
        )
        self._latency = Histogram(
            "oq_request_seconds",
            "Time to answer a request, to its last byte, by route.",
            ["route"],
            buckets=BUCKETS,
            registry=registry,
        )
        self._append = Histogram(
            "oq_log_append_seconds",
            "Time to append decisions to the log.",
            buckets=BUCKETS,
            registry=registry,
        )

    def decided(self, level: str, count: int = 1) -> None:
        self._decisions.labels(level).inc(count)

    def failed(self, kind: str, count: int = 1) -> None:
        self._errors.labels(kind).inc(count)

    def took(self, route: str, seconds: float) -> None:
        self._latency.labels(route).observe(seconds)

    def appended(self, seconds: float) -> None:
        self._append.observe(seconds)

    def text(self) -> bytes:
        """The exposition: every worker's counts, summed, where workers share a folder."""
        if self._shared:
            registry = CollectorRegistry()
            MultiProcessCollector(registry, path=self._shared)  # type: ignore[no-untyped-call]
            return generate_latest(registry)
        return generate_latest(self._registry)
