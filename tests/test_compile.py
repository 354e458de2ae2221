"""compile and compile_static, the judgment classes and the logging bridge."""

import subprocess
import sys
import textwrap
import time

import _ostrel_quorvane as oq
import pytest
from hypothesis import given
from hypothesis import strategies as st

P = oq.Permission
R = oq.GapRequirement
DEFAULT = oq.PermissionChain.default_chain()
HASH = oq.compute_provenance_hash("claim", "cand", "ctx", "use")
ROLE_NAMES = ["Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling", "BlockerThreshold", "Top"]  # fmt: skip


def seven_level_chain(names):
    return oq.PermissionChain.new(
        names, {getattr(oq.ChainRole, r): i for i, r in enumerate(ROLE_NAMES)}
    )


def token(token_id, closes=(), bounds=(), status="valid", provenance=HASH, issuer="iss", **extra):
    return oq.ProofToken(
        token_id, "attest", "1", status, list(closes), list(bounds), provenance, 0, issuer, **extra
    )


def context(gaps=(), profiles=(), tokens=(), **overrides):
    fields = dict(
        claim_id="claim", candidate_id="cand", context_id="ctx", allowed_use="use",
        membership=oq.Membership.InClass, authority_ceiling=P.AAA, expiry=oq.Expiry.never(),
        gaps=[oq.GapRecord(*g) if isinstance(g, tuple) else oq.GapRecord(g, "t") for g in gaps],
        profiles=[oq.Profile(getattr(P, level), list(reqs)) for level, reqs in profiles],
        tokens=list(tokens),
    )  # fmt: skip
    fields.update(overrides)
    return oq.ProofContext(**fields)


def steps(judgment):
    return [
        (s.phase, str(s.permission_after), s.note, s.token_ids) for s in judgment.derivation.steps
    ]


def test_signatures_and_classes():
    assert oq.compile.__text_signature__ == "(ctx, chain=None)"
    assert oq.compile_static.__text_signature__ == "(ctx, chain=None)"
    assert oq.init_tracing.__text_signature__ == "()"
    assert oq.compile.__module__ == "_ostrel_quorvane"
    for cls in (oq.Judgment, oq.LiveJudgment, oq.Derivation, oq.DerivationStep):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert oq.LiveJudgment.__doc__.startswith("A live judgment handle.  The Python")
    assert not hasattr(oq.LiveJudgment, "derivation") and not hasattr(oq.LiveJudgment, "expiry")


@pytest.mark.parametrize(
    "ctx, message",
    [
        (context(allowed_use="", gaps=["g", "g"]), "malformed context: allowed_use must not be empty"),
        (context(gaps=["g", "g"], profiles=[("AAA", [R("x", "closed")])]), "malformed context: duplicate gap_id 'g'"),
        (context(gaps=["g1"], profiles=[("AAA", [R("g9", "closed")])]), "malformed context: profile for AAA references unknown gap_id 'g9'"),
        (context(gaps=["g"], profiles=[("ETA", [R.any_of([])])]), "malformed context: profile for ETA: any_of requirement has zero arms"),
        (context(profiles=[("ETA", []), ("ETA", [])]), "malformed context: duplicate profile for permission level ETA"),
    ],
)  # fmt: skip
def test_malformed_contexts_raise_quorvane_error(ctx, message):
    for fn in (oq.compile, oq.compile_static):
        with pytest.raises(oq.QuorvaneError) as info:
            fn(ctx)
        assert type(info.value) is oq.QuorvaneError and str(info.value) == message


def test_levels_outside_a_custom_chain_are_refused():
    chain = seven_level_chain(["B", "E", "R", "U", "D", "T", "X"])
    with pytest.raises(
        oq.QuorvaneError,
        match="^malformed context: profile permission 'AAA' not in supplied chain$",
    ):
        oq.compile(context(profiles=[("AAA", [])]), chain)
    with pytest.raises(
        oq.QuorvaneError, match="^malformed context: authority_ceiling 'AAA' not in supplied chain$"
    ):
        oq.compile(context(), chain)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: oq.compile(c, None, None), "compile() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda c: oq.compile(c, ctx=c), "compile() got multiple values for argument 'ctx'"),
        (lambda c: oq.compile(context=c), "compile() got an unexpected keyword argument 'context'"),
        (lambda c: oq.compile_static(), "compile_static() missing 1 required positional argument: 'ctx'"),
        (lambda c: oq.compile(5), "argument 'ctx': 'int' object cannot be converted to 'ProofContext'"),
        (lambda c: oq.compile_static(c, DEFAULT.descending()), "argument 'chain': 'list' object cannot be converted to 'PermissionChain'"),
    ],
)  # fmt: skip
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(context())
    assert str(info.value) == message


def test_a_full_derivation_through_the_binding():
    ctx = context(
        gaps=["g1", "g2", ("g3", "t", "closed")],
        profiles=[("AAA", [R("g1", "closed")]), ("ALR", [R.any_of([R("g1", "closed"), R("g2", "bounded")]), R("g3", "closed")])],
        tokens=[token("b", bounds=["g2", "g1"]), token("nc", status="revoked", is_negative_control=True), token("old", expires_at=1.0)],
        disallowed_uses=["exec", "net"], authority_ceiling=P.ESC,
    )  # fmt: skip
    before = repr(ctx)
    live, static = oq.compile(ctx), oq.compile_static(ctx)
    assert steps(static) == [
        ("descending_search", "ALR", "profile satisfied at ALR via any_of arm(s): g2", ["b", "b", "b", "any_of_arm:g2"]),
        ("structural_blockers", "ROL", "disallowed_uses present (exec, net), ceiling at ROL", []),
        ("authority_ceiling", "ESC", "authority ceiling is ESC", []),
        ("expiry_blocker", "EXP", "at least one proof token has expired", ["old"]),
        ("negative_control_registration", "EXP", "1 negative-control token(s) registered; liveness checked at runtime", ["nc"]),
    ]  # fmt: skip
    assert static.permission == P.EXP and static.permission_str == "EXP"
    assert (
        repr(live)
        == f"LiveJudgment(permission=EXP, expiry=None, chain_hash={DEFAULT.chain_hash()})"
    )
    assert live.chain_hash == static.chain_hash == DEFAULT.chain_hash()
    assert static.derivation.provenance_hash == HASH == ctx.provenance_hash()
    assert repr(ctx) == before


def test_membership_and_deadline_end_early():
    late = oq.Expiry.at(time.time() - 10)
    outside = context(membership=oq.Membership.other('x"y'), expiry=late, profiles=[("AAA", [])])
    assert steps(oq.compile_static(outside)) == [
        ("membership_check", "OOC", 'out-of-class membership: OutOfClassOther("x\\"y")', [])
    ]
    expired = oq.compile_static(context(expiry=late, profiles=[("AAA", [])]))
    assert steps(expired) == [
        ("context_expiry", "EXP", "context expiry fired before token evaluation", [])
    ]
    # Validation still comes first.
    with pytest.raises(oq.QuorvaneError, match="unknown gap_id"):
        oq.compile(context(expiry=late, profiles=[("AAA", [R("g", "closed")])]))


def test_reprs_copies_and_comparison():
    ctx = context(
        gaps=["g"], profiles=[("AAA", [R("g", "closed")])], tokens=[token("t", closes=["g"])],
        expiry=oq.Expiry.at(1893456000), disallowed_uses=['say "hi"'],
    )  # fmt: skip
    judgment = oq.compile_static(ctx)
    assert (
        repr(judgment)
        == f"Judgment(permission=ROL, expiry=Some(2030-01-01T00:00:00Z), chain_hash={DEFAULT.chain_hash()})"
    )
    assert repr(judgment.expiry) == "Expiry(deadline=2030-01-01T00:00:00+00:00)"
    derivation = judgment.derivation
    assert repr(derivation) == f'Derivation(steps=2, provenance_hash="{HASH}")'
    assert repr(derivation.steps[1]) == (
        'DerivationStep(phase="structural_blockers", permission_after=ROL, '
        'note="disallowed_uses present (say \\"hi\\"), ceiling at ROL")'
    )
    derivation.steps[0].token_ids.append("x")
    assert judgment.derivation.steps[0].token_ids == ["t"]
    assert judgment.derivation is not derivation
    assert abs(derivation.compiled_at - time.time()) < 5 and derivation.compiled_at.is_integer()

    other_chain = seven_level_chain(["OOC", "EXP", "REF", "UNS", "ROL", "DIA", "AAA"])
    elsewhere = oq.compile_static(context(profiles=[("ROL", [])]), other_chain)
    assert judgment == elsewhere and not (judgment != elsewhere)
    assert judgment != oq.compile_static(context())
    live = oq.compile(ctx)
    assert (judgment == live) is False and judgment != live
    with pytest.raises(TypeError):
        hash(judgment)
    with pytest.raises(TypeError):
        judgment < elsewhere  # noqa: B015
    assert hash(live) == hash(live)


def test_default_chain_is_recorded_when_implicit():
    ctx = context()
    assert oq.compile(ctx).chain_hash == oq.compile(ctx, None).chain_hash == DEFAULT.chain_hash()


GAP_IDS = ["g1", "g2", "g3"]
STATUSES = ["open", "bounded", "closed"]
requirements = st.recursive(
    st.builds(R, st.sampled_from(GAP_IDS), st.sampled_from(["bounded", "closed"])),
    lambda inner: st.lists(inner, min_size=1, max_size=3).map(R.any_of),
    max_leaves=6,
)
tokens = st.builds(
    token,
    st.sampled_from(["t1", "t2", "t3"]),
    st.lists(st.sampled_from(GAP_IDS), max_size=2),
    st.lists(st.sampled_from(GAP_IDS), max_size=2),
    st.sampled_from(["valid", "valid", "revoked", "invalid"]),
    st.sampled_from([HASH, HASH, "other"]),
    expires_at=st.sampled_from([None, None, 1.0]),
    is_negative_control=st.booleans(),
)
contexts = st.builds(
    context,
    gaps=st.just([(g, "t", "open") for g in GAP_IDS[:2]] + [("g3", "t", "bounded")]),
    profiles=st.lists(
        st.tuples(st.sampled_from([str(p) for p in DEFAULT.ascending()]), st.lists(requirements, max_size=3)),
        max_size=4, unique_by=lambda p: p[0],
    ),
    tokens=st.lists(tokens, max_size=5),
    disallowed_uses=st.lists(st.just("x"), max_size=1),
    authority_ceiling=st.sampled_from(DEFAULT.ascending()),
)  # fmt: skip


@given(contexts)
def test_live_and_static_agree_and_the_search_level_only_falls(ctx):
    live, static = oq.compile(ctx), oq.compile_static(ctx)
    assert repr(live).replace("LiveJudgment", "Judgment") == repr(static)
    again = oq.compile_static(ctx)
    assert steps(again) == steps(static)
    assert again.derivation.provenance_hash == static.derivation.provenance_hash
    ranks = [DEFAULT.rank(s.permission_after) for s in static.derivation.steps]
    assert ranks == sorted(ranks, reverse=True)
    assert static.permission == static.derivation.steps[-1].permission_after


def run_child(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result


BRIDGE_PRELUDE = """
    import logging, sys
    import _ostrel_quorvane as oq
    P, R = oq.Permission, oq.GapRequirement
    h = oq.compute_provenance_hash("c", "d", "x", "use")
    ctx = oq.ProofContext(
        "c", "d", "x", "use", oq.Membership.InClass, P.AEX, oq.Expiry.never(),
        [oq.GapRecord("g", "t")], [oq.Profile(P.AAA, [R("g", "closed")]), oq.Profile(P.ALR, [])],
        [oq.ProofToken("t", "a", "1", "revoked", ["g"], [], h, 0, "i")], ["net"])
    def steps(j):
        return [(s.phase, str(s.permission_after), s.note, s.token_ids) for s in j.derivation.steps]
    records = []
    class Keep(logging.Handler):
        def emit(self, record):
            records.append((record.name, record.levelno, record.pathname, record.lineno, record.getMessage()))
"""


def test_bridge_forwards_events_to_logging():
    run_child(
        BRIDGE_PRELUDE
        + """
    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.DEBUG)
    before = steps(oq.compile_static(ctx))
    assert records == [], records
    assert oq.init_tracing() is None and oq.init_tracing() is None
    assert steps(oq.compile_static(ctx)) == before
    file = "ostrel-quorvane-core/src/compiler"
    name = "ostrel_quorvane_core.compiler"
    assert records == [
        (name, 10, file, 306, "gap requirement not met; descending phase=descending_search permission=AAA"),
        (name, 10, file, 322, 'descending search complete phase=descending_search permission=ALR note="profile satisfied at ALR"'),
        (name, 30, file, 391, "disallowed_uses present; meeting with ceiling phase=structural_blockers before=ALR after=ROL"),
        (name, 10, file, 509, "compilation complete permission=ROL"),
    ], records
    """
    )


def test_bridge_honours_logger_levels_and_survives_raising_handlers():
    run_child(
        BRIDGE_PRELUDE
        + """
    class Boom(logging.Handler):
        def emit(self, record):
            raise RuntimeError("handler failed")
    logging.getLogger("ostrel_quorvane_core").setLevel(logging.WARNING)
    logging.getLogger().addHandler(Keep())
    logging.getLogger().addHandler(Boom())
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)
    logging.raiseExceptions = True
    oq.init_tracing()
    before = steps(oq.compile_static(ctx))
    assert [r[3] for r in records] == [391], records
    # A level set after the first records takes effect at the next event, lowered or raised,
    # on the target's own logger or on a parent it inherits from.
    logging.getLogger("ostrel_quorvane_core").setLevel(logging.DEBUG)
    assert steps(oq.compile_static(ctx)) == before
    assert [r[3] for r in records] == [391, 306, 322, 391, 509], records
    logging.getLogger("ostrel_quorvane_core").setLevel(logging.ERROR)
    assert steps(oq.compile_static(ctx)) == before
    logging.getLogger("ostrel_quorvane_core").setLevel(logging.NOTSET)
    logging.getLogger().setLevel(logging.WARNING)
    assert steps(oq.compile_static(ctx)) == before
    assert [r[3] for r in records] == [391, 306, 322, 391, 509, 391], records
    assert unraisable == ["RuntimeError"] * len(records), unraisable
    """
    )


def test_bridge_asks_a_logger_class_that_decides_for_itself():
    run_child(
        BRIDGE_PRELUDE
        + """
    class Quiet(logging.Logger):
        def isEnabledFor(self, level):
            return super().isEnabledFor(level) and level >= logging.WARNING
    logging.setLoggerClass(Quiet)
    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.DEBUG)
    oq.init_tracing()
    for _ in range(3):
        oq.compile_static(ctx)
    assert [r[1] for r in records] == [30, 30, 30], records
    """
    )


def test_bridge_keeps_one_logger_per_target_under_threads_and_reentry():
    # Threads switching while the first events look their loggers up, and a handler that
    # compiles inside that lookup, must all end with the one logger each target names.
    run_child(
        BRIDGE_PRELUDE
        + """
    import threading
    sys.setswitchinterval(1e-6)
    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.DEBUG)
    real = logging.getLogger
    def reentrant(name=None):
        if name and name.startswith("ostrel_quorvane_core") and not getattr(reentrant, "done", 0):
            reentrant.done = 1
            oq.compile_static(ctx)
        return real(name)
    logging.getLogger = reentrant
    oq.init_tracing()
    threads = [threading.Thread(target=lambda: [oq.compile_static(ctx) for _ in range(20)])
               for _ in range(8)]
    for t in threads: t.start()
    for t in threads: t.join()
    logging.getLogger = real
    records.clear()
    for _ in range(5):
        oq.compile_static(ctx)
    assert {r[0] for r in records} == {"ostrel_quorvane_core.compiler"}, records
    assert [r[3] for r in records] == [306, 322, 391, 509] * 5, records
    """
    )


@pytest.mark.parametrize(
    "setup",
    [
        "sys.modules['logging'] = type(sys)('logging')",  # no getLogger at all
        "logging.getLogger = lambda name: (_ for _ in ()).throw(KeyError(name))",
        "logging.Logger.isEnabledFor = lambda self, level: 1 / 0",
        "logging.Logger.makeRecord = lambda *a: None",
    ],
)
def test_hostile_logging_never_changes_results(setup):
    run_child(
        BRIDGE_PRELUDE
        + f"""
    before = steps(oq.compile_static(ctx))
    {setup}
    sys.unraisablehook = lambda u: None
    oq.init_tracing()
    for _ in range(3):
        assert steps(oq.compile_static(ctx)) == before
    """
    )


def test_unimportable_logging_panics_and_installs_nothing():
    run_child(
        """
    import sys
    import _ostrel_quorvane as oq
    sys.modules["logging"] = None
    try:
        oq.init_tracing()
    except BaseException as panic:
        assert not isinstance(panic, Exception)
        assert str(panic).startswith("Failed to initialize python logging: ModuleNotFoundError("), panic
    else:
        raise AssertionError("no panic")
    del sys.modules["logging"]
    assert oq.init_tracing() is None
    """
    )


def test_a_refused_logger_lookup_is_tried_once_per_event():
    run_child(
        BRIDGE_PRELUDE
        + """
    calls = []
    def refuse(name):
        calls.append(name)
        raise KeyError(name)
    logging.getLogger = refuse
    sys.unraisablehook = lambda u: None
    oq.init_tracing()
    before = steps(oq.compile_static(ctx))
    assert len(calls) == 4, calls  # events 306, 322, 391 and 509
    assert steps(oq.compile_static(ctx)) == before and len(calls) == 8, calls
    """
    )
