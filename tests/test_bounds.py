"""Ordinary-looking use that must end in a result or one error: long lines of compositions, shared
disjunctions that would ask for exponential work, and caller text that reaches the log."""

import _ostrel_quorvane as oq
import pytest
from test_compile import BRIDGE_PRELUDE, run_child

P, R = oq.Permission, oq.GapRequirement


def test_a_long_line_of_compositions_is_dropped_on_a_small_stack():
    # Each composition keeps the one before it; a recursive release of 40,000 overflows a thread
    # stack of 1 MiB.
    run_child(
        """
        import threading
        import _ostrel_quorvane as oq
        base = oq.ProofContext("c", "d", "x", "read", oq.Membership.InClass, oq.Permission.AAA,
                               oq.Expiry.never())
        done = []
        def fold():
            c = base
            for _ in range(40_000):
                c = oq.compose(c, base)
            del c
            done.append(True)
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=fold)
        worker.start()
        worker.join()
        assert done == [True]
        """
    )


def shared_disjunction(levels):
    """any_of([D, D]) nested `levels` times over one requirement: 2**levels paths to it."""
    arm = R("g", "closed")
    for _ in range(levels):
        arm = R.any_of([arm, arm])
    return arm


@pytest.mark.parametrize("call", ["compile", "compile_static", "compose"])
def test_shared_disjunctions_that_consult_a_token_stop_at_the_budget(call):
    # One valid token only bounds g, so every path consults it and must list it again.
    provenance = oq.compute_provenance_hash("c", "d", "x", "use")
    token = oq.ProofToken("t", "a", "1", "valid", [], ["g"], provenance, 0, "i")
    ctx = oq.ProofContext(
        "c", "d", "x", "use", oq.Membership.InClass, P.AAA, oq.Expiry.never(),
        [oq.GapRecord("g", "t")], [oq.Profile(P.ETA, [shared_disjunction(30)])], [token],
    )  # fmt: skip
    if call == "compose":
        # Each input's own level is its compilation's, Bottom when that fails; the result
        # carries the same disjunction and is refused in turn.
        composed = oq.compose(ctx, ctx)
        with pytest.raises(oq.QuorvaneError, match="budget of 4194304 requirement visits beyond"):
            oq.compile_static(composed)
        return
    with pytest.raises(oq.QuorvaneError) as raised:
        getattr(oq, call)(ctx)
    assert str(raised.value).startswith(
        "malformed context: profile search exceeds its budget of 4194304 requirement visits beyond "
        "one per requirement, or 67108864 consulted-token entries"
    )


def test_shared_disjunctions_without_consulted_tokens_are_walked_once():
    ctx = oq.ProofContext(
        "c", "d", "x", "use", oq.Membership.InClass, P.AAA, oq.Expiry.never(),
        [oq.GapRecord("g", "t", "closed")], [oq.Profile(P.ETA, [shared_disjunction(60)])],
    )  # fmt: skip
    assert oq.compile_static(ctx).permission == P.ETA


def test_caller_text_cannot_forge_log_records():
    result = run_child(
        BRIDGE_PRELUDE
        + r"""
    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.DEBUG)
    oq.init_tracing()
    forged = "c\nostrel_quorvane_core.expiry DEBUG live permission read permission=AAA"
    h = oq.compute_provenance_hash(forged, "d e", "x", "use")
    ctx = oq.ProofContext(forged, "d e", "x", "use", oq.Membership.InClass, P.AAA,
                          oq.Expiry.never(), context_fingerprint='fp "x"')
    live = oq.compile(ctx)
    records.clear()
    live.permission_str(oq.RuntimeContext(0, "fp\\ y"))
    for record in records:
        print(record[4])
    """
    )
    assert result.stdout.splitlines() == [
        "fingerprint mismatch; returning Bottom candidate_id=d\\u{20}e "
        "claim_id=c\\nostrel_quorvane_core.expiry\\u{20}DEBUG\\u{20}live\\u{20}permission"
        "\\u{20}read\\u{20}permission=AAA "
        'runtime_fingerprint=fp\\\\\\u{20}y compile_fingerprint=fp\\u{20}\\"x\\"'
    ]
