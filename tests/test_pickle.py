"""Every value class through pickle and a process pool, and states that were tampered with."""

import multiprocessing
import pickle

import _ostrel_quorvane as oq
import ostrel_quorvane
import pytest
from hypothesis import given
from test_compile import R, context, contexts, seven_level_chain, token

P = oq.Permission
CUSTOM = seven_level_chain(["A", "B", "C", "D", "E", "F", "G"])


def canonical(value):
    """A value as plain data: module objects through their state, containers item by item."""
    if type(value) in ostrel_quorvane.pickling.PICKLED_CLASSES:
        kind, state = oq._state(value)
        return (kind, canonical(state))
    if isinstance(value, list | tuple):
        return [canonical(item) for item in value]
    if isinstance(value, dict):
        return {key: canonical(item) for key, item in value.items()}
    return value


def shared_arms(levels):
    arm = R("g1", "closed")
    for _ in range(levels):
        arm = R.any_of([arm, arm])
    return arm


W = context(
    gaps=["g1", ("g2", "t", "bounded", 2.5), ("g3", "t", "closed")],
    profiles=[("AAA", [R("g1", "closed")]), ("ALR", [R.any_of([R("g1", "closed"), R("g2", "bounded")])])],
    tokens=[token("t", bounds=["g1"], expires_at=4e9, details='{"k": [1, 2.5]}'),
            token("nc", is_negative_control=True), token("x", closes=["g1"], provenance="0" * 64)],
    disallowed_uses=["net"], expiry=oq.Expiry.at(4e9), context_fingerprint="fp",
    scope=oq.Scope(["c"], [], ["tool"], []),
    membership=oq.Membership.InClass,
)  # fmt: skip
COMPOSED = oq.compose(W, context(gaps=["g1"], profiles=[("ETA", [])]))
JUDGED = oq.compile_static(W)
LIVE = oq.compile(COMPOSED)

VALUES = {
    "default level": P.ALR,
    "custom level": CUSTOM.parse("E"),
    "role": oq.ChainRole.BlockerThreshold,
    "chain hash": CUSTOM.chain_hash(),
    "chain": CUSTOM,
    "status": oq.NegativeControlStatus.Stale,
    "membership": oq.Membership.other("contractor"),
    "scope": oq.Scope(["a"], ["p", "q"], [], ["r"]),
    "expiry": oq.Expiry.at(1_700_000_000),
    "no expiry": oq.Expiry.never(),
    "gap": oq.GapRecord("g", "t", "bounded", -0.0),
    "requirement": shared_arms(40),
    "profile": oq.Profile(P.ESC, [R("g", "bounded"), shared_arms(3)]),
    "token": token("t", closes=["a", "b"], bounds=["c"], status="revoked", expires_at=123.0),
    "context": W,
    "composed context": COMPOSED,
    "runtime": oq.RuntimeContext(1_700_000_000, "fp", {"nc": oq.NegativeControlStatus.Live}, False),
    "judgment": JUDGED,
    "live judgment": LIVE,
    "derivation": JUDGED.derivation,
    "derivation step": JUDGED.derivation.steps[-1],
}  # fmt: skip


@pytest.mark.parametrize("name", VALUES)
def test_each_value_class_round_trips(name):
    value = VALUES[name]
    again = pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
    assert type(again) is type(value)
    assert repr(again) == repr(value)
    assert canonical(again) == canonical(value)
    if name in ("default level", "custom level", "chain", "chain hash", "role", "scope", "gap"):
        assert again == value


def test_restored_values_behave_as_the_originals():
    again = pickle.loads(pickle.dumps((JUDGED, LIVE, COMPOSED, W)))
    judged, live, composed, ctx = again
    steps = [
        (s.phase, str(s.permission_after), s.note, s.token_ids) for s in judged.derivation.steps
    ]
    assert steps == [
        (s.phase, str(s.permission_after), s.note, s.token_ids) for s in JUDGED.derivation.steps
    ]
    runtime = oq.RuntimeContext(2e9, "fp+ctx", {"nc": oq.NegativeControlStatus.Live})
    assert live.permission_str(runtime) == LIVE.permission_str(runtime)
    # A composed context keeps what binds it: its ceiling and the chain it was composed under.
    assert oq.compile_static(composed).permission == oq.compile_static(COMPOSED).permission
    with pytest.raises(oq.QuorvaneError, match="expected_chain_hash"):
        oq.compile_static(composed, CUSTOM)
    assert oq.compile_static(ctx).derivation.provenance_hash == JUDGED.derivation.provenance_hash
    assert (
        pickle.loads(pickle.dumps(oq.NegativeControlStatus.Live)) is oq.NegativeControlStatus.Live
    )


def test_a_deep_requirement_pickles_without_recursion():
    deep = R("g", "closed")
    for _ in range(100_000):
        deep = R.any_of([deep])
    again = pickle.loads(pickle.dumps(deep))
    ctx = context(gaps=[("g", "t", "closed")], profiles=[("ESC", [again])])
    assert oq.compile_static(ctx).permission == P.ESC
    assert oq._state(again)[1][0][-1] == ([99_999], 0)


def judged_in_a_child(value):
    return pickle.dumps((value, oq.compile_static(value).derivation.steps[0].note))


def test_values_cross_a_process_pool():
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(judged_in_a_child, [W, COMPOSED])
    for original, result in zip([W, COMPOSED], results, strict=True):
        value, note = pickle.loads(result)
        assert canonical(value) == canonical(original)
        assert note == oq.compile_static(original).derivation.steps[0].note


def tampered(value, edit):
    kind, state = oq._state(value)
    return kind, edit(list(state))


def replaced(i, item):
    def edit(state):
        state[i] = item
        return tuple(state)

    return edit


BAD_STATES = [
    ("unknown kind", ("Nothing", ())),
    ("bad level name", ("Permission", ("a b",))),
    ("role out of range", ("ChainRole", (7,))),
    ("short hash", ("ChainHash", ("ab",))),
    ("chain that breaks its rules", ("PermissionChain", (["A"], [0] * 7))),
    ("status out of range", ("NegativeControlStatus", (4,))),
    ("wrong arity", ("Scope", ([], []))),
    ("time out of range", ("Expiry", ((10**9, 0, 0),))),
    ("second out of range", ("Expiry", ((0, 86_400, 0),))),
    ("NaN bound", ("GapRecord", ("g", "t", 1, float("nan")))),
    ("forward arm", ("GapRequirement", ([([1], 0), ("g", 2)],))),
    ("profile root missing", ("Profile", (P.AAA, [("g", 2)], [3]))),
    ("bad token details", tampered(VALUES["token"], replaced(8, "[1,"))),
    ("token status", tampered(VALUES["token"], replaced(3, 9))),
    ("token position outside the context", tampered(JUDGED, replaced(2, [99]))),
    ("step range outside the derivation", tampered(JUDGED, replaced(1, [(2, 3, P.AAA, 0, 50, 0, 0)]))),
    ("phase out of range", tampered(JUDGED, replaced(1, [(9, 0, P.AAA, 0, 0, 0, 0)]))),
    ("step index outside", ("DerivationStep", oq._state(JUDGED.derivation.steps[0])[1][:-1] + (8,))),
    ("a context where a token belongs", tampered(W, replaced(9, [P.AAA]))),
    ("a level its derivation does not reach", tampered(JUDGED, replaced(6, P.AAA))),
    ("a single requirement asking for nothing", ("GapRequirement", ([("g", 0)],))),
    ("arms that are not a list", ("GapRequirement", ([("g", 2), (b"\x00", 0)],))),
    ("a second past the day, wrapped", ("Expiry", ((0, 2**64 + 5, 0),))),
    ("a fraction of a second in a deadline", ("Expiry", ((0, 0, 7),))),
    ("days beyond any int", ("Expiry", ((2**70, 0, 0),))),
    ("steps out of pipeline order", tampered(JUDGED, replaced(1, [(6, 0, P.EXP, 0, 0, 0, 0), (2, 3, P.EXP, 0, 0, 0, 0)]))),
    ("a detail its phase never gives", tampered(JUDGED, replaced(1, [(0, 5, P.ROL, 0, 0, 0, 0)]))),
    ("labels outside the search", tampered(JUDGED, lambda st: (st.__setitem__(1, [(4, 0, P.ROL, 0, 0, 0, 1)]), st.__setitem__(3, ["x"]), tuple(st))[-1])),
]  # fmt: skip


@pytest.mark.parametrize(("name", "bad"), BAD_STATES, ids=[b[0] for b in BAD_STATES])
def test_tampered_states_are_refused(name, bad):
    with pytest.raises((ValueError, TypeError, OverflowError)):
        oq._restore(*bad)


@given(contexts)
def test_every_judgment_compilation_writes_restores(ctx):
    for judged in (oq.compile_static(ctx), oq.compile(ctx)):
        again = oq._restore(*oq._state(judged))
        assert canonical(again) == canonical(judged) and repr(again) == repr(judged)


def test_other_objects_have_no_state():
    with pytest.raises(TypeError):
        oq._state(oq.InMemoryChainRegistry())
