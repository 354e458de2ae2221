"""How many times a decided request crosses from Python into the engine: the calls of the
extension's functions and methods counted by a profiling hook, per request, for the tool's
decide, a batch line, and a decision logged as the service logs it.

    python benchmarks/crossings.py

A count, not a time: it is the same on any machine.
"""

import contextlib
import io
import json
import sys
import tempfile
from pathlib import Path

import _ostrel_quorvane
import request_files
from ostrel_quorvane import cli
from ostrel_quorvane.batch import decide_many
from ostrel_quorvane.store import open_store

try:
    from ostrel_quorvane.decision import decide
except ImportError:  # a package from before the one decision path
    decide = None


def _ours(function):
    owner = getattr(function, "__self__", None)
    module = getattr(function, "__module__", None)
    return owner is _ostrel_quorvane or module == "_ostrel_quorvane" or (
        owner is not None and type(owner).__module__ == "builtins" and
        type(owner).__name__ in _ostrel_quorvane.__all__
    )  # fmt: skip


def counted(run):
    """How many calls into the extension ``run()`` makes."""
    count = 0

    def hook(frame, event, arg):
        nonlocal count
        if event == "c_call" and _ours(arg):
            count += 1

    sys.setprofile(hook)
    try:
        run()
    finally:
        sys.setprofile(None)
    return count


def main():
    line = json.dumps(request_files.request(10))
    with tempfile.TemporaryDirectory() as folder:
        request = Path(folder, "request.json")
        request.write_text(line)
        batch = Path(folder, "batch.jsonl")
        batch.write_text((line + "\n") * 100)
        store = Path(folder, "store.db")

        def tool(*argv):
            with contextlib.redirect_stderr(io.StringIO()):
                cli.main([str(a) for a in argv], io.StringIO())

        tool("decide", request, "--json", "--at", "1800000000", "--log", store)  # warm, made
        rows = [
            ("tool: decide --json", counted(lambda: tool("decide", request, "--json", "--at", "1800000000")), 1),
            ("tool: decide --json --log", counted(lambda: tool("decide", request, "--json", "--at", "1800000000", "--log", store)), 1),
            ("batch: one line of 100", counted(lambda: list(decide_many([line] * 100, at=1.8e9))) / 100, 1),
        ]  # fmt: skip
        if decide is not None:
            with open_store(store) as log:
                log_one = lambda: log.submit([decide(line, at=1.8e9).appending()]).result()  # noqa: E731
                rows.append(("service: decide, logged", counted(log_one), 1))
    print(f"{'path':<32} {'crossings':>10}")
    for name, count, _ in rows:
        print(f"{name:<32} {count:>10.1f}")


if __name__ == "__main__":
    main()
