"""Build the agent-tool-run request in code, judge it, and check it again at the moment of use.

Run it with ``python examples/decide_in_python.py``; it prints the judgment and its derivation.
"""

from __future__ import annotations

import ostrel_quorvane as oq

CLAIM, CANDIDATE, CONTEXT, USE = (
    "claim-deploy-7731",
    "agent-build-runner",
    "ctx-ci-2026-12-09",
    "run_tool:terraform_plan",
)


def build_context() -> oq.ProofContext:
    """The request: two gaps closed by tokens bound to this context, and one negative control."""
    provenance = oq.compute_provenance_hash(CLAIM, CANDIDATE, CONTEXT, USE)
    gaps = [oq.GapRecord("identity", "workload_identity"), oq.GapRecord("sandbox", "isolation")]
    profiles = [
        oq.Profile(
            oq.Permission.ALR,
            [oq.GapRequirement("identity", "closed"), oq.GapRequirement("sandbox", "closed")],
        ),
        oq.Profile(oq.Permission.ESC, [oq.GapRequirement("identity", "bounded")]),
    ]
    tokens = [
        oq.ProofToken(
            "tok-oidc", "oidc_attestation", "1", "valid", ["identity"], [], provenance,
            1765267200.0, "https://token.ci.example",
        ),
        oq.ProofToken(
            "tok-sandbox", "sandbox_report", "2", "valid", ["sandbox"], [], provenance,
            1765267200.0, "sandbox-controller", details='{"network": "egress-denied"}',
        ),
        oq.ProofToken(
            "tok-canary", "canary", "1", "valid", [], [], provenance, 1765267200.0,
            "canary-service", is_negative_control=True,
        ),
    ]  # fmt: skip
    return oq.ProofContext(
        CLAIM, CANDIDATE, CONTEXT, USE, oq.Membership.InClass, oq.Permission.ALR,
        oq.Expiry.at(4070908800.0), gaps, profiles, tokens,
        context_fingerprint="fp-ci-runner-42",
    )  # fmt: skip


def main() -> None:
    context = build_context()
    judgment = oq.compile_static(context)
    print(f"permission {judgment.permission} under chain {judgment.chain_hash.to_hex()[:16]}")
    for step in judgment.derivation.steps:
        print(f"  {step.phase}: {step.permission_after} ({step.note})")

    live = oq.compile(context)
    canary = {"tok-canary": oq.NegativeControlStatus.Live}
    at_use = oq.RuntimeContext(1765270800.0, "fp-ci-runner-42", canary)
    print(f"live permission {live.permission(at_use)}")
    stale = oq.RuntimeContext(1765270800.0, "fp-ci-runner-42", {})
    print(f"with the canary unseen {live.permission_str(stale)}")


if __name__ == "__main__":
    main()
