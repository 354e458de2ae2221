"""The verifiable log's figures: appending with the Merkle tree kept against the same append
without it, inclusion and consistency proofs from SQLite logs of 10^4, 10^5 and 10^6 entries, and
checking a receipt offline.

    python benchmarks/log_proofs.py [--quick]
"""

import argparse
import json
import statistics
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import _ostrel_quorvane as oq
from ostrel_quorvane.decision import decide
from ostrel_quorvane.receipts import verify_receipt
from ostrel_quorvane.store import open_store, tree

sys.path.insert(0, str(Path(__file__).parent))
import request_files  # noqa: E402


@contextmanager
def tree_not_kept():
    """The append as it was before the tree: the same transaction, no subtrees written."""
    kept = tree.extend
    tree.extend = lambda *args: None
    try:
        yield
    finally:
        tree.extend = kept


def append_figure(folder, rounds):
    line = request_files.request(10)
    decisions = [decide(json.dumps(line).encode(), at=1.8e9) for _ in range(100)]
    with_tree = open_store(Path(folder, "tree.db"))
    without = open_store(Path(folder, "plain.db"))
    times, ratios = [], []
    for _ in range(rounds):
        with tree_not_kept():
            start = time.perf_counter()
            without.submit([d.appending() for d in decisions]).result()
            base = time.perf_counter() - start
        start = time.perf_counter()
        with_tree.submit([d.appending() for d in decisions]).result()
        spent = time.perf_counter() - start
        times.append(spent / 100)
        ratios.append(spent / base)
    with_tree.close()
    without.close()
    return ("log append with tree, batches of 100", statistics.median(times),
            statistics.median(ratios), 1.25, "x append without it")  # fmt: skip


def filled(path, size):
    """A log of ``size`` small entries, appended in large batches."""
    store = open_store(path)
    step = 10_000
    for start in range(0, size, step):
        store.append_many(
            [{"n": n, "verdict": "ALR"} for n in range(start, min(size, start + step))]
        )
    return store


def proof_times(store, size, calls):
    """Seconds per inclusion proof (of entries found by content hash) and per consistency proof
    in the log of ``size`` entries, each the best of five passes over ``calls`` of them."""
    digests = [e.content_hash for e in store.entries(start=size // 3) if e.sequence % 97 == 0]
    digests = digests[:calls]

    def inclusion():
        for digest in digests:
            store.proofs.inclusion(digest, size)

    def consistency():
        for k in range(len(digests)):
            store.proofs.consistency(size // 2 + k * 7 + 1, size)

    spent = {}
    for name, run in (("inclusion", inclusion), ("consistency", consistency)):
        run()  # pages read once
        spent[name] = min(_timed(run) for _ in range(5)) / len(digests)
    return spent


def proof_figures(folder, sizes, calls):
    rows, base = [], {}
    for size in sizes:
        store = filled(Path(folder, f"proofs-{size}.db"), size)
        for name, spent in proof_times(store, size, calls).items():
            base.setdefault(name, spent)
            # Judged by its time (at most 2 ms at 10^6 entries); the ratio shows the growth.
            rows.append((f"{name} proof, N={size:,}", spent, spent / base[name], None,
                         f"x N={sizes[0]:,}"))  # fmt: skip
        store.close()
    return rows


def _timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def receipt_figure(folder, rounds):
    key, verifier = oq._log_keygen("bench.example/log")
    line = json.dumps(request_files.request(10)).encode()
    decision = decide(line, at=1.8e9)
    store = open_store(Path(folder, "receipt.db"))
    store.append_many([{"n": n} for n in range(1000)])
    (entry,) = store.submit([decision.appending()]).result()
    store.append_many([{"n": n} for n in range(1000)])
    receipt = store.proofs.receipt(entry.content_hash, key)
    record = decision.record.encode()
    document = receipt.as_json()
    checkpoint = receipt.checkpoint
    times, ratios = [], []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(200):
            oq._log_open(checkpoint, [verifier])
        base = (time.perf_counter() - start) / 200
        start = time.perf_counter()
        for _ in range(200):
            verify_receipt(record, document, [verifier])
        spent = (time.perf_counter() - start) / 200
        times.append(spent)
        ratios.append(spent / base)
    store.close()
    return ("verify-receipt, the check alone", statistics.median(times),
            statistics.median(ratios), None, "x the signature check")  # fmt: skip


def figures(quick):
    rounds = 3 if quick else 9
    sizes = (1_000, 10_000) if quick else (10_000, 100_000, 1_000_000)
    with tempfile.TemporaryDirectory() as folder:
        rows = [append_figure(folder, rounds)]
        rows += proof_figures(folder, sizes, 50 if quick else 200)
        rows.append(receipt_figure(folder, rounds))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small logs: a smoke run")
    options = parser.parse_args()
    print(f"{'figure':<40} {'time':>12} {'ratio':>8} {'target':>8}  unit")
    for name, seconds, ratio, target, unit in figures(options.quick):
        shown = f"{seconds * 1e6:9.1f} us"
        bound = f"{target:8.2f}" if target is not None else ""
        print(f"{name:<40} {shown:>12} {ratio:8.2f} {bound:>8}  {unit}")


if __name__ == "__main__":
    main()
