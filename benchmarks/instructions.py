"""Instructions the engine executes per call of compile and compose, by size, counted by valgrind.

Run on demand, with valgrind installed (apt-get install valgrind) and the extension importable:

    python benchmarks/instructions.py            # N = 1,000, 10,000 and 100,000 (a few minutes)
    python benchmarks/instructions.py --quick    # N = 100 and 1,000

Times at N and 10 N (benchmarks/run.py) also measure the memory hierarchy: a larger context
leaves a faster cache for a slower one. An instruction count does not, and it repeats exactly
from run to run, so its ratio shows the work itself scaling.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

# Where the engine's work for each call begins: everything it runs below these is counted.
ENTRY = {"compile": "oq::compile_context*", "compose": "oq::compose_contexts*"}

CHILD = """
import sys
sys.path[:0] = {path!r}
import run
a, b = run.scaled_context({n}), run.scaled_context({n}, "b")
for _ in range({calls}):
    {stmt}
"""


def instructions_per_call(kind, n, calls):
    stmt = "run.oq.compile(a)" if kind == "compile" else "run.oq.compose(a, b)"
    code = CHILD.format(
        path=[os.path.dirname(os.path.abspath(__file__))], n=n, calls=calls, stmt=stmt
    )
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--toggle-collect={ENTRY[kind]}",
             f"--callgrind-out-file={out}", sys.executable, "-c", code],
            capture_output=True, text=True, check=True,
        )  # fmt: skip
    found = re.search(r"Collected : (\d+)", result.stderr) or re.search(
        r"I\s+refs:\s+([\d,]+)", result.stderr
    )
    return int(found.group(1).replace(",", "")) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    args = parser.parse_args()
    sizes = [100, 1_000] if args.quick else [1_000, 10_000, 100_000]
    print(f"{'figure':34} {'instructions/call':>18} {'per element':>12} {'ratio':>7}")
    for kind in ("compile", "compose"):
        counts = {n: instructions_per_call(kind, n, 3) for n in sizes}
        for small, large in zip(sizes, sizes[1:], strict=False):
            print(
                f"{kind + f' N={large:,} / N={small:,}':34} {counts[large]:18,.0f} "
                f"{counts[large] / large:12.1f} {counts[large] / counts[small]:7.2f}"
            )


if __name__ == "__main__":
    main()
