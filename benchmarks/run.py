"""The engine's performance figures, each against its target, as ratios measured in one run.

Run on demand, after installing the extension:

    python benchmarks/run.py            # the table (about a minute)
    python benchmarks/run.py --json     # the same figures as one JSON object
    python benchmarks/run.py --quick    # a smoke run with few iterations; targets not judged

Every time is the median over repeated rounds of a timed loop. A target is a ratio to a baseline
measured in the same process at the same time (a SHA-256 of 40 bytes, a str.startswith call,
compile itself, json.loads of the same bytes), so that it holds on a noisy shared machine.
"""

import argparse
import ctypes
import gc
import hashlib
import json
import statistics
import subprocess
import sys
import timeit

import _ostrel_quorvane as oq
import request_path
import store
from timing import against

P = oq.Permission
R = oq.GapRequirement
NC = oq.NegativeControlStatus
FAR = 4_000_000_000.0  # a deadline well after any run of this script


def w1_context(suffix="", shared_from=None):
    """W1: 8 gaps, 6 profiles of 2 to 4 requirements (one any_of, one nested), 10 tokens (one with
    status "expired", one negative control, one with another context's hash), 2 disallowed uses,
    authority ceiling ALR. `suffix` renames half the gaps and tokens, so two contexts share the other half."""
    h = oq.compute_provenance_hash("agent-7", "tool:run", "session-42", "execute")

    def gid(i):
        return f"g{i}" + (suffix if i >= 4 else "")

    gaps = [
        oq.GapRecord(gid(i), "evidence", ["open", "bounded", "closed"][i % 3], 0.5)
        for i in range(8)
    ]
    # Even tokens close their gap, odd ones only bound it, so AAA fails and ALR holds.
    tokens = [
        oq.ProofToken(
            f"t{i}" + (suffix if i >= 4 else ""), "attestation", "1", "valid",
            [gid(i)] if i % 2 == 0 else [], [] if i % 2 == 0 else [gid(i)], h, 1.7e9, "ca", FAR,
        )
        for i in range(7)
    ]  # fmt: skip
    tokens.append(
        oq.ProofToken("expired", "attestation", "1", "expired", [gid(1)], [], h, 1.7e9, "ca")
    )
    tokens.append(
        oq.ProofToken(
            "nc", "canary", "1", "valid", [], [], h, 1.7e9, "ca", is_negative_control=True
        )
    )
    tokens.append(
        oq.ProofToken("foreign", "attestation", "1", "valid", [gid(2)], [], "0" * 64, 1.7e9, "ca")
    )
    req = R
    profiles = [
        oq.Profile(P.AAA, [req(gid(0), "closed"), req(gid(1), "closed"), req(gid(2), "closed"), req(gid(3), "closed")]),
        oq.Profile(P.ALR, [req(gid(0), "closed"), R.any_of([req(gid(6), "closed"), req(gid(7), "bounded")]), req(gid(4), "bounded")]),
        oq.Profile(P.AEX, [req(gid(1), "bounded"), R.any_of([R.any_of([req(gid(5), "closed"), req(gid(2), "bounded")]), req(gid(3), "closed")])]),
        oq.Profile(P.REV, [req(gid(0), "bounded"), req(gid(1), "bounded"), req(gid(7), "bounded")]),
        oq.Profile(P.DIA, [req(gid(2), "bounded"), req(gid(3), "bounded")]),
        oq.Profile(P.ETA, [req(gid(4), "bounded"), req(gid(5), "bounded")]),
    ]  # fmt: skip
    return oq.ProofContext(
        "agent-7", "tool:run", "session-42", "execute", oq.Membership.InClass, P.ALR,
        oq.Expiry.at(FAR), gaps, profiles, tokens, ["network", "filesystem-write"],
        oq.Scope(["tool:run"], ["/srv/work"], ["run"], []), "fp-42",
    )  # fmt: skip


def scaled_context(n, suffix=""):
    h = oq.compute_provenance_hash("c", "d", "x", "use")
    gaps = [oq.GapRecord(f"g{i}", "t") for i in range(n)]
    tokens = [
        oq.ProofToken(f"t{i}{suffix}", "a", "1", "valid", [f"g{i}"], [], h, 0, "i")
        for i in range(n)
    ]
    profile = oq.Profile(P.AAA, [R(f"g{i}", "closed") for i in range(n)])
    return oq.ProofContext(
        "c", "d", "x", "use", oq.Membership.InClass, P.AAA, oq.Expiry.never(), gaps, [profile], tokens
    )  # fmt: skip


def scaling_ratios(quick):
    """For each kind and each size N after the first: (median seconds per call at N, median ratio
    of the time at N to the time at the size before). The two sizes of a ratio are timed in turn
    in every round, so that a slow spell of the machine weighs on both."""
    sizes = [10, 100, 1_000] if quick else [10, 100, 1_000, 10_000, 100_000]
    contexts = {size: (scaled_context(size), scaled_context(size, "b")) for size in sizes}
    rounds = 3 if quick else 15
    result = {}
    for kind, stmt, share in (("compile", "oq.compile(a)", 1), ("compose", "oq.compose(a, b)", 5)):
        for small, large in zip(sizes, sizes[1:], strict=False):
            timers = {}
            for size in (small, large):
                a, b = contexts[size]
                # About 0.1 s of calls per round for compile, so that each figure is a steady average.
                reps = 1 if quick else max(1, 100_000 // size // share)
                timers[size] = (timeit.Timer(stmt, globals={"oq": oq, "a": a, "b": b}), reps)
            times, ratios = [], []
            for _ in range(rounds):
                small_time, large_time = (
                    t.timeit(n) / n for t, n in (timers[small], timers[large])
                )
                times.append(large_time)
                ratios.append(large_time / small_time)
            result[(kind, large, small)] = (statistics.median(times), statistics.median(ratios))
    return result


def per_call(stmt, env, number, rounds):
    """Median seconds per call of `stmt` over `rounds` timed loops of `number` calls."""
    timer = timeit.Timer(stmt, globals=env)
    return statistics.median(timer.timeit(number) / number for _ in range(rounds))


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]  # fmt: skip


def allocated_bytes():
    """Bytes the C allocator has handed out and not taken back (where the engine's records live)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


TRACING_CHILD = """
import logging, sys
sys.path[:0] = {path!r}
import run
if {traced}:
    logging.getLogger("ostrel_quorvane_core").setLevel(logging.ERROR)
    run.oq.init_tracing()
env = {{"oq": run.oq, "hashlib": run.hashlib, "ctx": run.w1_context(), "data": b"x" * 40}}
print(*run.against("oq.compile(ctx)", "hashlib.sha256(data).hexdigest()", env, {number}, {rounds}))
"""


def tracing_cost(number, rounds, pairs):
    """compile(W1) in a process with the bridge installed (loggers at ERROR) over one that never
    installed it: each child times compile against a SHA-256 in turn, and the children alternate,
    so that the machine's slow spells fall on both sides."""
    results = {False: [], True: []}
    for _ in range(pairs):
        for traced in (False, True):
            code = TRACING_CHILD.format(
                path=sys.path[:1], traced=traced, number=number, rounds=rounds
            )
            out = subprocess.run(
                [sys.executable, "-c", code], capture_output=True, text=True, check=True
            )
            results[traced].append([float(x) for x in out.stdout.split()])
    seconds = statistics.median(t for t, _ in results[True])
    ratio = statistics.median(r for _, r in results[True]) / statistics.median(
        r for _, r in results[False]
    )
    return seconds, ratio


def measure(quick):
    n, rounds = (200, 3) if quick else (20_000, 15)
    w1 = w1_context()
    w1b = w1_context("b")
    live = oq.compile(w1)
    runtime = oq.RuntimeContext(2e9, "fp-42", {"nc": NC.Live})
    env = {
        "oq": oq, "hashlib": hashlib, "w1": w1, "w1b": w1b, "live": live, "runtime": runtime,
        "data": b"x" * 40, "chain": oq.PermissionChain.default_chain(),
        "names": [f"L{i}" for i in range(256)],
        "roles": {getattr(oq.ChainRole, r): i for i, r in enumerate(
            ["Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling", "BlockerThreshold", "Top"])},
        "parts": ("agent-7", "tool:run", "session-42", "execute"),
        "joined": "\0".join(("agent-7", "tool:run", "session-42", "execute")).encode(),
        "s": "abc", "a": "a",
    }  # fmt: skip
    env["roles"][oq.ChainRole.Top] = 255
    env["roles"][oq.ChainRole.BlockerThreshold] = 254
    sha = "hashlib.sha256(data).hexdigest()"
    t = {}
    t["compile"] = against("oq.compile(w1)", sha, env, n, rounds)
    t["compile_static"] = against("oq.compile_static(w1)", sha, env, n, rounds)
    t["permission"] = against("live.permission(runtime)", "s.startswith(a)", env, n * 5, rounds)
    t["compose"] = against("oq.compose(w1, w1b)", "oq.compile(w1)", env, n // 5 or 1, rounds, n)
    t["provenance"] = against(
        "oq.compute_provenance_hash(*parts)", "hashlib.sha256(joined).hexdigest()", env, n, rounds
    )
    t["context_build"] = per_call(
        "oq.ProofContext('agent-7', 'tool:run', 'session-42', 'execute', oq.Membership.InClass,"
        " oq.Permission.ALR, oq.Expiry.never(), gaps, profiles, tokens, uses)",
        {**env, "gaps": [oq.GapRecord(f"g{i}", "e") for i in range(8)], "profiles": [],
         "tokens": [], "uses": ["network", "filesystem-write"]},
        n, rounds,
    )  # fmt: skip
    t["chain_new_256"] = per_call("oq.PermissionChain.new(names, roles)", env, n // 10 or 1, rounds)

    scaling = scaling_ratios(quick)

    # Each held judgment: its Python object, its slot in the list, and what the engine allocated.
    count = 1_000 if quick else 100_000
    gc.collect()
    before = allocated_bytes()
    held = [oq.compile(w1) for _ in range(count)]
    engine = (allocated_bytes() - before) / count
    per_judgment = engine + sys.getsizeof(held[0]) + 8
    del held

    traced, tracing_ratio = tracing_cost(n // 2 or 1, rounds, 1 if quick else 3)
    return t, scaling, per_judgment, traced, tracing_ratio


def figures(quick):
    t, scaling, per_judgment, traced, tracing_ratio = measure(quick)
    rows = [
        ("compile(W1)", *t["compile"], 2.5, "x sha256(40 B)"),
        ("compile_static(W1)", *t["compile_static"], None, "x sha256(40 B)"),
        ("LiveJudgment.permission", *t["permission"], 3.0, "x str.startswith"),
        ("compose(W1, W1')", *t["compose"], 4.5, "x compile(W1)"),
        ("compute_provenance_hash", *t["provenance"], 1.2, "x sha256+hex"),
        ("ProofContext(W1 parts)", t["context_build"], None, None, ""),
        ("PermissionChain.new, 256", t["chain_new_256"], None, None, ""),
    ]
    for (kind, large, small), (seconds, ratio) in scaling.items():
        target = 12.0 if small >= 1_000 else None
        rows.append((f"{kind} N={large:,} / N={small:,}", seconds, ratio, target, "x"))
    rows.append(("held LiveJudgment", None, per_judgment, 512.0, "bytes each"))
    rows.append(("compile(W1), tracing off", traced, tracing_ratio, 1.15, "x never initialised"))
    return rows + request_path.figures(quick) + store.figures(quick)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--quick", action="store_true", help="few iterations: a smoke run")
    options = parser.parse_args()
    rows = figures(options.quick)
    results = [
        {"figure": name, "seconds": seconds, "ratio": ratio, "unit": unit, "target": target,
         "holds": None if target is None or options.quick else ratio <= target}
        for name, seconds, ratio, target, unit in rows
    ]  # fmt: skip
    if options.json:
        print(json.dumps({"quick": options.quick, "results": results}, indent=2))
        return
    print(f"{'figure':<34} {'time':>10} {'measured':>10} {'target':>8}  {'':<20} holds")
    for r in results:
        time = f"{r['seconds'] * 1e6:8.2f} us" if r["seconds"] is not None else ""
        ratio = f"{r['ratio']:10.2f}" if r["ratio"] is not None else ""
        target = f"{r['target']:8.2f}" if r["target"] is not None else ""
        holds = {True: "yes", False: "NO", None: ""}[r["holds"]]
        print(f"{r['figure']:<34} {time:>10} {ratio:>10} {target:>8}  {r['unit']:<20} {holds}")


if __name__ == "__main__":
    main()
