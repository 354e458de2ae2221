"""The service's figures, on loopback: decide against the same server's JSON echo, without and
with the SQLite decision log, p99 latency, and a worker's memory after many decisions.

    python benchmarks/serve.py           # the table (about two minutes)
    python benchmarks/serve.py --quick   # a smoke run with few requests; targets not judged

The load comes from `hey` (Debian's package `hey`) at fixed concurrency; each figure is a ratio
of two runs made in turn against one server.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import request_files  # noqa: E402

CONCURRENCY = 32


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, store=None):
        self.port = free_port()
        env = {
            **os.environ,
            "OQ_STORE": store or "",
            "OQ_ACCESS_LOG": "0",  # the decision path measured, not the writing of its log line
            "PYTHONPATH": os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]),
        }
        self.process = subprocess.Popen(
            [sys.executable, "-m", "granian", "--interface", "asgi", "--factory", "--port", str(self.port),
             "--log-level", "warning", "serve_app:create"],
            env=env, cwd=HERE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        )  # fmt: skip
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{self.port}/healthz", timeout=1).read()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("the server did not start")

    def worker_rss(self):
        children = subprocess.run(
            ["pgrep", "-P", str(self.process.pid)], capture_output=True, text=True
        )
        pid = int(children.stdout.split()[0])
        status = Path(f"/proc/{pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+)", status).group(1)) * 1024

    def stop(self):
        os.killpg(self.process.pid, 15)
        self.process.wait(10)


def load(server, path, body, requests):
    """(requests per second, p99 seconds) of `requests` POSTs of `body` to `path`."""
    out = subprocess.run(
        ["hey", "-n", str(requests), "-c", str(CONCURRENCY), "-m", "POST", "-T", "application/json",
         "-D", str(body), f"http://127.0.0.1:{server.port}{path}"],
        capture_output=True, text=True, check=True,
    ).stdout  # fmt: skip
    statuses = out.partition("Status code distribution:")[2]
    if "Error distribution" in out or re.findall(r"\[(\d{3})\]", statuses) != ["200"]:
        raise RuntimeError(f"not every answer was 200:\n{out}")
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = float(re.search(r"99%+ in ([\d.]+) secs", out).group(1))
    return rate, p99


def figures(quick):
    count = 2_000 if quick else 20_000
    rounds = 1 if quick else 3
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        body = Path(folder, "w1.json")
        body.write_text(json.dumps(request_files.request(10)))
        for label, store, target in (
            ("no log", None, 0.7),
            ("SQLite log", str(Path(folder, "log.db")), 0.5),
        ):
            server = Server(store)
            try:
                load(server, "/v1/decide", body, count // 10)  # warm up
                ratios, rates, p99s = [], [], []
                for _ in range(rounds):
                    echo, _ = load(server, "/v1/echo", body, count)
                    rate, p99 = load(server, "/v1/decide", body, count)
                    ratios.append(rate / echo)
                    rates.append(rate)
                    p99s.append(p99)
            finally:
                server.stop()
            ratios.sort()
            rows.append((f"POST /v1/decide, {label}", 1 / sorted(rates)[len(rates) // 2],
                         ratios[len(ratios) // 2], target, "x echo throughput"))  # fmt: skip
            rows.append(
                (
                    f"  its p99 latency at {CONCURRENCY} in flight",
                    sorted(p99s)[len(p99s) // 2],
                    None,
                    None,
                    "",
                )
            )
        server = Server()
        try:
            load(server, "/v1/decide?log=false", body, 1_000)
            early = server.worker_rss()
            load(server, "/v1/decide?log=false", body, 9_000 if quick else 99_000)
            late = server.worker_rss()
        finally:
            server.stop()
        rows.append(("worker memory, 100,000 / 1,000 decisions" if not quick else "worker memory, 10,000 / 1,000",
                     None, late / early, 1.10, "x"))  # fmt: skip
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few requests: a smoke run")
    options = parser.parse_args()
    if shutil.which("hey") is None:
        sys.exit("benchmarks/serve.py needs the load generator hey: apt-get install hey")
    print(f"{'figure':<44} {'time':>12} {'measured':>10} {'target':>8}  {'':<20} holds")
    for name, seconds, ratio, target, unit in figures(options.quick):
        time_text = f"{seconds * 1e6:9.1f} us" if seconds is not None else ""
        ratio_text = f"{ratio:10.2f}" if ratio is not None else ""
        target_text = f"{target:8.2f}" if target is not None else ""
        if target is None or options.quick:
            holds = ""
        else:
            holds = "yes" if (ratio >= target if "echo" in unit else ratio <= target) else "NO"
        print(f"{name:<44} {time_text:>12} {ratio_text:>10} {target_text:>8}  {unit:<20} {holds}")


if __name__ == "__main__":
    main()
