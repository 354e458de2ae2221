"""The store's figures: appending decisions to the SQLite log in batches of 100 against compiling
each from its JSON line, and verifying logs of two sizes against each other."""

import json
import statistics
import tempfile
import time
import timeit
from pathlib import Path

import _ostrel_quorvane as oq
import request_files
from ostrel_quorvane.batch import decide_many
from ostrel_quorvane.request import loads_request
from ostrel_quorvane.store import open_store

try:
    from ostrel_quorvane.decision import decide
except ImportError:  # a package from before the one decision path, measured for comparison
    decide = None


def figures(quick):
    """Rows of (figure, seconds, ratio, target, unit)."""
    rounds = 3 if quick else 7
    line = json.dumps(request_files.request(10)).encode()
    chain = oq.PermissionChain.default_chain()
    if decide is not None:
        # What a decision hands the log: its canonical text and digest, made when it was decided.
        decisions = [decide(line, at=1.8e9) for _ in range(100)]

        def append(store):
            store.submit([decision.appending() for decision in decisions]).result()
    else:  # a package from before: records canonicalized and hashed on the way in
        records = list(decide_many([line] * 100, at=1.8e9))

        def append(store):
            store.append_many(records)

    def compile_line():
        request = loads_request(line)
        oq.compile_static(request.context, chain)

    rows = []
    with tempfile.TemporaryDirectory() as folder:
        store = open_store(Path(folder, "append.db"))
        times, ratios = [], []
        for _ in range(rounds):
            base = timeit.timeit(compile_line, number=100) / 100
            start = time.perf_counter()
            append(store)
            per = (time.perf_counter() - start) / 100
            times.append(per)
            ratios.append(per / base)
        store.close()
        rows.append(
            ("log append, batches of 100", statistics.median(times), statistics.median(ratios),
             1.5, "x compile from JSON")
        )  # fmt: skip

        large, small = (10_000, 1_000) if quick else (100_000, 10_000)
        stores = {}
        for size in (large, small):
            stores[size] = open_store(Path(folder, f"verify-{size}.db"))
            stores[size].append_many({"n": i, "verdict": "ALR"} for i in range(size))
        times, ratios = [], []
        for _ in range(1 if quick else 3):
            spent = {}
            for size in (small, large):
                start = time.perf_counter()
                assert stores[size].verify() is None
                spent[size] = time.perf_counter() - start
            times.append(spent[large])
            ratios.append(spent[large] / spent[small])
        for each in stores.values():
            each.close()
        rows.append(
            (f"log verify N={large:,} / N={small:,}", statistics.median(times),
             statistics.median(ratios), 12.0, "x")
        )  # fmt: skip
    return rows
