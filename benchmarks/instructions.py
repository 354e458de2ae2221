"""Instructions the engine executes per call of compile and compose, by size, counted by valgrind.

Run on demand, with valgrind installed (apt-get install valgrind) and an unstripped build of the
extension importable (the installed one is stripped), for example with PYTHONPATH=build/dev/py:

    python benchmarks/instructions.py            # N = 1,000, 10,000 and 100,000 (a few minutes)
    python benchmarks/instructions.py --quick    # N = 100 and 1,000
    python benchmarks/instructions.py --cache    # also the cache lines fetched from memory

With --cache, valgrind also simulates a 32 MB last-level cache (no prefetching) and counts the
lines each call fetches from memory, per element: what the time at 100,000 waits on.

Times at N and 10 N (benchmarks/run.py) also measure the memory hierarchy: a larger context
leaves a faster cache for a slower one. An instruction count does not, and it repeats exactly
from run to run, so its ratio shows the work itself scaling.
"""

import argparse
import os
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


def per_call(kind, n, calls, cache):
    """(instructions, lines fetched from memory) per call of `kind` on contexts of `n` elements;
    the second is None unless `cache`."""
    stmt = "run.oq.compile(a)" if kind == "compile" else "run.oq.compose(a, b)"
    code = CHILD.format(
        path=[os.path.dirname(os.path.abspath(__file__))], n=n, calls=calls, stmt=stmt
    )
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        simulate = ["--cache-sim=yes", "--LL=33554432,16,64"] if cache else []
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--toggle-collect={ENTRY[kind]}", *simulate,
             f"--callgrind-out-file={out}", sys.executable, "-c", code],
            capture_output=True, text=True, check=True,
        )  # fmt: skip
        with open(out) as profile:
            fields = dict(
                line.split(":", 1) for line in profile if line.startswith(("events:", "totals:"))
            )
    # Callgrind leaves trailing zero totals out.
    totals = [int(v) for v in fields["totals"].split()]
    names = fields["events"].split()
    values = dict(zip(names, totals + [0] * (len(names) - len(totals)), strict=True))
    if values["Ir"] == 0:
        sys.exit(
            f"no instructions counted under {ENTRY[kind]}: the extension imported carries no "
            "symbols (an installed one is stripped); put an unstripped build first on "
            "PYTHONPATH, for example build/dev/py"
        )
    lines = (values["DLmr"] + values["DLmw"]) / calls if cache else None
    return values["Ir"] / calls, lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--cache", action="store_true", help="also count memory lines fetched")
    args = parser.parse_args()
    sizes = [100, 1_000] if args.quick else [1_000, 10_000, 100_000]
    header = f"{'figure':34} {'instructions/call':>18} {'per element':>12} {'ratio':>7}"
    print(header + (f" {'memory lines/element':>21}" if args.cache else ""))
    for kind in ("compile", "compose"):
        counts = {n: per_call(kind, n, 3, args.cache) for n in sizes}
        for small, large in zip(sizes, sizes[1:], strict=False):
            (instructions, lines), (base, _) = counts[large], counts[small]
            row = (
                f"{kind + f' N={large:,} / N={small:,}':34} {instructions:18,.0f} "
                f"{instructions / large:12.1f} {instructions / base:7.2f}"
            )
            print(row + (f" {lines / large:21.2f}" if args.cache else ""))


if __name__ == "__main__":
    main()
