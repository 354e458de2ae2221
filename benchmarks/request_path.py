"""The request path's figures: from JSON bytes to a decision, each against json.loads of the same
bytes timed in the same run, and decisions in batches against a Python loop over the lines."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import _ostrel_quorvane as oq
import request_files
from ostrel_quorvane.batch import decide_many
from ostrel_quorvane.request import load_request
from timing import against

try:
    from ostrel_quorvane.decision import decide
except ImportError:  # a package from before the one decision path, measured for comparison
    decide = None

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "agent-tool-run" / "request.json"

# The peak resident size of the child's own memory (VmHWM starts again at exec, where the
# resource module's maxrss carries the parent's over).
MEMORY_CHILD = """
import gc, sys
sys.path[:0] = {path!r}
from ostrel_quorvane.request import load_request

def peak():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024

gc.collect()
before = peak()
request = load_request({file!r})
print(peak() - before)
"""


def _decide(path):
    request = load_request(path)
    oq.compile(request.context, request.chain or oq.PermissionChain.default_chain())


def _peak_growth(path):
    """Bytes the peak resident size of a fresh interpreter grows by while it reads `path`."""
    code = MEMORY_CHILD.format(path=sys.path[:2], file=str(path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout)


def figures(quick):
    """Rows of (figure, seconds, ratio, target, unit)."""
    number, rounds = (200, 3) if quick else (5_000, 15)
    big_tokens, small_tokens = (10_000, 1_000) if quick else (100_000, 10_000)
    lines = 500 if quick else 10_000
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        w1 = Path(folder, "w1.json")
        w1.write_bytes(request_files.text(10))
        for name, path in (("agent-tool-run", EXAMPLE), ("W1 file", w1)):
            data = path.read_bytes()
            seconds, ratio = against(
                lambda p=path: _decide(p), lambda d=data: json.loads(d), None, number, rounds
            )
            rows.append((f"load_request+compile, {name}", seconds, ratio, 1.0, "x json.loads"))

        big, small = Path(folder, "big.json"), Path(folder, "small.json")
        big.write_bytes(request_files.text(big_tokens))
        small.write_bytes(request_files.text(small_tokens))
        big_data = big.read_bytes()
        few = 1 if quick else 3
        seconds, ratio = against(
            lambda: load_request(big), lambda: json.loads(big_data), None, 1, few
        )
        rows.append((f"read {big_tokens:,}-token file", seconds, ratio, 1.5, "x json.loads"))
        growth = statistics.median(_peak_growth(big) for _ in range(few))
        rows.append(("  its peak memory", None, growth / os.path.getsize(big), 2.5, "x file size"))
        seconds, ratio = against(
            lambda: load_request(big), lambda: load_request(small), None, 1, few, 10
        )
        rows.append((f"read N={big_tokens:,} / N={small_tokens:,}", seconds, ratio, 12.0, "x"))

        line = json.dumps(request_files.request(10)).encode()
        batch = [line] * lines
        if decide is not None:
            # One decision from the line's bytes to its record in the log's canonical form and
            # that record's SHA-256, against Python reading and writing the same JSON in order.
            seconds, ratio = against(
                lambda: decide(line, at=1.8e9),
                lambda: json.dumps(json.loads(line), sort_keys=True),
                None,
                number,
                rounds,
            )
            rows.append(("decide(bytes), W1 line", seconds, ratio, 0.6, "x loads+dumps(sorted)"))

        def python_loop():
            for each in batch:
                json.dumps(json.loads(each))

        def native_batch():
            for _ in decide_many(batch, at=1.8e9):
                pass

        seconds, ratio = against(native_batch, python_loop, None, 1, 1 if quick else 5)
        rows.append(
            (f"decide_many, {lines:,} W1 lines", seconds / lines, ratio, 2.0, "x loads+dumps")
        )
    return rows
