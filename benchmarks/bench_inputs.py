"""Throughput of the request-building side of the engine.

Run on demand, after `pip install .`:  python benchmarks/bench_inputs.py
Prints one line per operation: the best of several timed rounds, per call.
"""

import time

import _ostrel_quorvane as oq

P = oq.Permission
R = oq.ChainRole
NAMES = ["OOC", "EXP", "REF", "UNS", "ETA", "ESC", "ROL", "DIA", "REV", "AEX", "ALR", "AAA"]
ROLES = {
    R.Bottom: 0, R.ExpiryFloor: 1, R.Refused: 2, R.Unsatisfied: 3,
    R.DisallowedUsesCeiling: 6, R.BlockerThreshold: 7, R.Top: 11,
}  # fmt: skip
HASH = oq.compute_provenance_hash("claim", "candidate", "context", "read")
DETAILS = '{"issuer": {"name": "ca", "serial": 12345}, "scopes": ["a", "b", "c"], "ok": true}'


def token(i):
    return oq.ProofToken(
        f"t{i}", "attest", "1", "valid", ["g1", "g2"], ["g3"], HASH, 1.7e9, "ca", 2e9, DETAILS
    )


TOKENS = [token(i) for i in range(100_000)]
GAPS = [oq.GapRecord(f"g{i}", "evidence", "bounded", 1.0) for i in range(100)]


def context(tokens):
    return oq.ProofContext(
        "claim", "candidate", "context", "read", oq.Membership.InClass, P.AAA,
        oq.Expiry.at(2e9), gaps=GAPS, tokens=tokens,
    )  # fmt: skip


CASES = [
    ("PermissionChain.new, 12 levels", lambda: oq.PermissionChain.new(NAMES, ROLES), 20_000),
    ("PermissionChain.default_chain()", oq.PermissionChain.default_chain, 200_000),
    ("Permission <", lambda: P.ESC < P.AAA, 500_000),
    ("Permission.meet", lambda: P.ESC.meet(P.AAA), 500_000),
    ("Permission.from_str", lambda: P.from_str("aex"), 200_000),
    ("compute_provenance_hash", lambda: oq.compute_provenance_hash("c", "k", "x", "read"), 200_000),
    ("ProofToken with details", lambda: token(0), 50_000),
    ("ProofToken.details (dump)", lambda: TOKENS[0].details, 100_000),
    ("ProofContext, 100 gaps, 10 tokens", lambda: context(TOKENS[:10]), 20_000),
    ("ProofContext, 100,000 tokens", lambda: context(TOKENS), 20),
]


def measure(fn, calls, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def main():
    width = max(len(name) for name, _, _ in CASES)
    for name, fn, calls in CASES:
        per_call = measure(fn, calls)
        unit, scale = ("us", 1e6) if per_call < 1e-3 else ("ms", 1e3)
        print(f"{name:<{width}}  {per_call * scale:10.3f} {unit}/call")


if __name__ == "__main__":
    main()
