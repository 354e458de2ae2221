"""The decision log's pages: the server's time for a page of 50 decisions from a large log,
against the same page from a log of a thousand entries in the same run, each through the whole
application (middleware, route, store, template) without a network between.

    python benchmarks/ui.py                      # a log of 10^6 entries (a few minutes to fill)
    python benchmarks/ui.py --entries 100000
    python benchmarks/ui.py --quick              # a smoke run: small logs, targets not judged

The logs are filled through the store's own append path (the canonical text, digest and labels
of each record handed to its writer), in twenty batches, with records of the shape and size a
decision has (the example's, under one of four levels, each claim id a hundred times)."""

import argparse
import asyncio
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

from ostrel_quorvane.decision import decide
from ostrel_quorvane.service.app import create_app
from ostrel_quorvane.service.config import ServiceConfig
from ostrel_quorvane.store import content_hash, open_store
from ostrel_quorvane.store.writer import Appending

EXAMPLE = Path(__file__).parents[1] / "examples" / "agent-tool-run" / "request.json"
LEVELS = ("ALR", "REF", "ESC", "AAA")
BATCHES = 20
TOKEN = "benchmark-token"


def fill(path, entries):
    """A log of ``entries`` decisions; returns the moments around one batch in its middle."""
    decision = decide(EXAMPLE.read_bytes())
    record = decision.record
    claim = json.loads(record)["inputs"][0]["request"]["claim_id"]
    moments, claims = [], max(1, entries // 100)  # each claim id a hundred times, spread out
    with open_store(path) as store:
        store.publish(decision.chain)
        batch = -(-entries // BATCHES)
        for start in range(0, entries, batch):
            items = []
            for i in range(start, min(entries, start + batch)):
                level = LEVELS[i % len(LEVELS)]
                ours = f"claim-{i % claims:07d}"
                text = record.replace(claim, ours)
                items.append(Appending(text, content_hash(text), None, level, ours,
                                       "agent-build-runner", "ctx-ci-2026-12-09"))  # fmt: skip
            store.submit(items).result()
            moments.append(time.time())
    middle = len(moments) // 2
    return moments[max(0, middle - 1)], moments[middle]


class Caller:
    """GETs of the application in this process, with a session cookie."""

    def __init__(self, path):
        self.app = create_app(ServiceConfig(store=str(path), tokens=(TOKEN,), access_log=False))
        self.loop = asyncio.new_event_loop()
        status, headers, _ = self.call("POST", "/ui/login", f"token={TOKEN}".encode())
        assert status == 303, status
        self.cookie = headers[b"set-cookie"].split(b";")[0]

    def call(self, method, target, body=b""):
        path, _, query = target.partition("?")
        scope = {"type": "http", "http_version": "1.1", "method": method, "scheme": "http",
                 "path": path, "raw_path": path.encode(), "query_string": query.encode(),
                 "root_path": "", "client": ("127.0.0.1", 1), "server": ("127.0.0.1", 80),
                 "headers": [(b"host", b"127.0.0.1"), (b"content-length", str(len(body)).encode()),
                             *([(b"cookie", self.cookie)] if hasattr(self, "cookie") else [])]}  # fmt: skip
        sent = [{"type": "http.request", "body": body, "more_body": False}]
        answer = {}

        async def receive():
            return sent.pop() if sent else {"type": "http.disconnect"}

        async def send(message):
            if message["type"] == "http.response.start":
                answer["status"], answer["headers"] = message["status"], dict(message["headers"])
            else:
                answer["body"] = answer.get("body", b"") + message.get("body", b"")

        self.loop.run_until_complete(self.app(scope, receive, send))
        return answer["status"], answer["headers"], answer.get("body", b"")

    def seconds(self, target, rounds):
        status, _, body = self.call("GET", target)  # warms the store's connection and caches
        listed = body.count(b'class="open"')
        assert status == 200 and listed in (0, 50), (target, status, body[-300:])
        times = []
        for _ in range(rounds):
            started = time.perf_counter()
            self.call("GET", target)
            times.append(time.perf_counter() - started)
        return statistics.median(times)


def pages(large, small):
    """The pages timed: (name, target), with the entry numbers and moments of each log."""
    (entries, since, until), (few, since_few, until_few) = large, small
    return [
        ("newest", "/ui/decisions", "/ui/decisions"),
        ("by level", "/ui/decisions?permission=REF", "/ui/decisions?permission=REF"),
        ("by claim id", "/ui/decisions?claim_id=claim-0000007", "/ui/decisions?claim_id=claim-0000007"),
        ("older, halfway", f"/ui/decisions?before={entries // 2}", f"/ui/decisions?before={few // 2}"),
        ("by level, halfway", f"/ui/decisions?permission=ESC&before={entries // 2}",
         f"/ui/decisions?permission=ESC&before={few // 2}"),
        ("by time, mid-log", f"/ui/decisions?since={since}&until={until}",
         f"/ui/decisions?since={since_few}&until={until_few}"),
    ]  # fmt: skip


def figures(quick, entries=None):
    """Rows of (figure, seconds, ratio, target, unit)."""
    entries = entries or (40_000 if quick else 1_000_000)
    few, rounds = 2_000 if quick else 1_000, 5 if quick else 25
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        started = time.perf_counter()
        moments = fill(Path(folder, "large.db"), entries)
        filled = time.perf_counter() - started
        small_moments = fill(Path(folder, "small.db"), few)
        large, small = Caller(Path(folder, "large.db")), Caller(Path(folder, "small.db"))
        # The page of 50 at the few entries is the baseline: a page read through an index costs
        # about the same whatever the log's length.
        for name, target, baseline in pages((entries, *moments), (few, *small_moments)):
            spent = [(large.seconds(target, rounds), small.seconds(baseline, rounds))
                     for _ in range(3)]  # fmt: skip
            seconds = statistics.median(a for a, _ in spent)
            ratio = statistics.median(a / b for a, b in spent)
            rows.append(
                (f"page of 50, {name}, N={entries:,} / N={few:,}", seconds, ratio, 2.0, "x")
            )
        # The overview counts the levels of the whole span in the index on the level: it grows
        # with the entries the chart spans (all of each log here), and is shown, not judged.
        spent = [(large.seconds("/ui/", rounds), small.seconds("/ui/", rounds)) for _ in range(3)]
        rows.append((f"overview, 24 hours of N={entries:,} / N={few:,}",
                     statistics.median(a for a, _ in spent),
                     statistics.median(a / b for a, b in spent), None, "x"))  # fmt: skip
    print(f"(filled {entries:,} entries in {filled:.0f} s)", file=sys.stderr)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, help="entries in the large log (default 10^6)")
    parser.add_argument("--quick", action="store_true", help="small logs: a smoke run")
    options = parser.parse_args()
    print(f"{'figure':<52} {'server time':>12} {'ratio':>7} {'target':>7}")
    for name, seconds, ratio, target, _ in figures(options.quick, options.entries):
        judged = f"{target:7.2f}" if target is not None else ""
        print(f"{name:<52} {seconds * 1e3:9.2f} ms {ratio:7.2f} {judged:>7}")


if __name__ == "__main__":
    main()
