"""Live evaluation, composition, and the chain registry with audit."""

import time

import _ostrel_quorvane as oq
import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_compile import DEFAULT, HASH, R, contexts, seven_level_chain, token
from test_compile import context as make_context

P = oq.Permission
NC = oq.NegativeControlStatus
NOW = 4_000_000_000  # after any compile time of these tests, so deadlines are ahead


def context(**overrides):
    overrides.setdefault("context_fingerprint", "fp")
    return make_context(**overrides)


def runtime(now=NOW, fingerprint="fp", states=None, strict=True):
    return oq.RuntimeContext(now, fingerprint, states, strict)


LIVE = context(
    profiles=[("ALR", [])], expiry=oq.Expiry.at(NOW + 100),
    tokens=[token("nc", status="revoked", is_negative_control=True), token("plain")],
)  # fmt: skip


@pytest.mark.parametrize(
    "rt, expected",
    [
        (runtime(states={"nc": NC.Live, "plain": NC.Failed}), "ALR"),
        (runtime(NOW + 100, "elsewhere"), "EXP"),
        (runtime(NOW + 99.9, states={"nc": NC.Live}), "ALR"),
        (runtime(fingerprint="fpx", states={"nc": NC.Failed}), "OOC"),
        (runtime(), "REF"),
        (runtime(states={"nc": NC.Stale}), "REF"),
        (runtime(states={"nc": NC.Missing}), "REF"),
        (runtime(states={"nc": NC.Failed}, strict=False), "ALR"),
    ],
)
def test_live_evaluation_checks_in_order(rt, expected):
    live = oq.compile(LIVE)
    assert live.permission_str(rt) == expected
    if expected == "EXP":
        with pytest.raises(oq.ExpiredError, match=r"^judgment expired at Some\(.*Z\)$"):
            live.permission(runtime=rt)
    else:
        assert live.permission(rt) == getattr(P, expected)


def test_expired_compiled_level_raises_without_a_deadline():
    live = oq.compile(context(profiles=[("AAA", [])], tokens=[token("old", expires_at=1)]))
    with pytest.raises(oq.ExpiredError, match="^judgment expired at None$"):
        live.permission(runtime())
    assert live.permission_str(runtime(fingerprint="x")) == "OOC"


def test_runtime_context_and_status_classes():
    assert repr(oq.RuntimeContext(1700000000, "ctx-1")) == (
        'RuntimeContext(now=2023-11-14T22:13:20+00:00, fp="ctx-1", strict_mode=true)'
    )
    assert oq.RuntimeContext(0, "x", strict_mode=False).strict_mode is False
    assert repr(oq.RuntimeContext(1e300, "fp")).startswith(
        f"RuntimeContext(now={time.gmtime().tm_year}"
    )
    assert oq.RuntimeContext.__text_signature__ == (
        "(now_unix, context_fingerprint, negative_control_states=None, strict_mode=True)"
    )
    assert oq.LiveJudgment.permission.__text_signature__ == "($self, runtime)"
    assert (
        NC.Live is NC.Live
        and str(NC.Stale) == "Stale"
        and repr(NC.Failed) == "NegativeControlStatus.Failed"
    )
    assert NC.Live == NC.Live and NC.Live != NC.Stale and NC.Live != 0
    with pytest.raises(TypeError):
        hash(NC.Live)
    with pytest.raises(TypeError, match="^No constructor defined$"):
        NC()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: oq.RuntimeContext(), "RuntimeContext.__new__() missing 2 required positional arguments: 'now_unix' and 'context_fingerprint'"),
        (lambda: oq.RuntimeContext(0, 5), "argument 'context_fingerprint': 'int' object cannot be converted to 'PyString'"),
        (lambda: oq.RuntimeContext(0, "fp", {"t1": "Live"}), "argument 'negative_control_states': 'str' object cannot be converted to 'NegativeControlStatus'"),
        (lambda: oq.RuntimeContext(0, "fp", {1: NC.Live}), "argument 'negative_control_states': 'int' object cannot be converted to 'PyString'"),
        (lambda: oq.RuntimeContext(0, "fp", [("t", NC.Live)]), "argument 'negative_control_states': 'list' object cannot be converted to 'PyDict'"),
        (lambda: oq.RuntimeContext(0, "fp", strict_mode=0), "argument 'strict_mode': 'int' object cannot be converted to 'PyBool'"),
        (lambda: oq.RuntimeContext(0, "fp", strict_mode=None), "argument 'strict_mode': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: oq.compile(LIVE).permission(oq.compile(LIVE)), "argument 'runtime': 'LiveJudgment' object cannot be converted to 'RuntimeContext'"),
        (lambda: oq.compose(LIVE), "compose() missing 1 required positional argument: 'g2'"),
        (lambda: oq.compose(LIVE, LIVE, "chain"), "argument 'chain': 'str' object cannot be converted to 'PermissionChain'"),
        (lambda: oq.verify_published(oq.compile(LIVE), oq.InMemoryChainRegistry()), "argument 'judgment': 'LiveJudgment' object cannot be converted to 'Judgment'"),
        (lambda: oq.verify_published(oq.compile_static(LIVE), {}), "argument 'registry': 'dict' object cannot be converted to 'InMemoryChainRegistry'"),
        (lambda: oq.InMemoryChainRegistry(1), "InMemoryChainRegistry.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: oq.InMemoryChainRegistry().lookup("ab"), "argument 'hash': 'str' object cannot be converted to 'ChainHash'"),
    ],
)  # fmt: skip
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_states_dict_whose_keys_mutate_it_while_read():
    states, armed = {}, []

    class Key(str):
        def __hash__(self):
            if armed:
                states.clear()
            return str.__hash__(self)

        def __eq__(self, other):
            if armed:
                states.clear()
            return str.__eq__(self, other)

    states[Key("nc")] = NC.Live
    states[Key("other")] = NC.Live
    armed.append(True)
    rt = oq.RuntimeContext(NOW, "fp", states)
    assert oq.compile(LIVE).permission_str(rt) == "ALR"
    assert len(states) == 2  # read from a snapshot, without calling the keys' hooks


@pytest.mark.parametrize(
    "g2, message",
    [
        (context(allowed_use="write"), "composition failed: use conflict: contexts have incompatible allowed_use sets"),
        (context(tokens=[token("t", issuer="x")]), "composition failed: token conflict: token 't' exists in both contexts with different content"),
        (context(tokens=[token("t", details="1.0")]), "composition failed: token conflict: token 't' exists in both contexts with different content"),
    ],
)  # fmt: skip
def test_composition_failures(g2, message):
    g1 = context(tokens=[token("t", details="1")])
    with pytest.raises(oq.CompositionError) as info:
        oq.compose(g1, g2)
    assert str(info.value) == message


def test_composition_refuses_a_chain_without_the_inputs_levels():
    chain = seven_level_chain(["B", "E", "R", "U", "D", "T", "X"])
    with pytest.raises(oq.CompositionError, match="^composition failed: chain mismatch: "):
        oq.compose(context(), context(), chain)


def test_composed_context_is_bound_to_its_chain():
    other = seven_level_chain(["OOC", "EXP", "REF", "UNS", "ROL", "DIA", "AAA"])
    ctx = context(authority_ceiling=P.DIA, profiles=[("AAA", [])])
    composed = oq.compose(ctx, ctx)
    expected = f"malformed context: expected_chain_hash {DEFAULT.chain_hash()} does not match supplied chain {other.chain_hash()}"
    with pytest.raises(oq.QuorvaneError) as info:
        oq.compile(composed, other)
    assert str(info.value) == expected
    with pytest.raises(oq.CompositionError, match="chain mismatch"):
        oq.compose(composed, ctx, other)
    assert (
        oq.compile(oq.compose(composed, ctx)).permission_str(runtime(fingerprint="fp+fp+fp"))
        == "DIA"
    )


def test_composed_context_keeps_the_weaker_evidence():
    strong = context(
        gaps=["g"], tokens=[token("t", closes=["g"])], profiles=[("AAA", [R("g", "closed")])]
    )
    weak = context(
        gaps=["g"],
        profiles=[("AAA", [R("g", "closed")]), ("ETA", [])],
        membership=oq.Membership.InClass,
    )
    before = (repr(strong), repr(weak))
    judgment = oq.compile_static(oq.compose(strong, weak))
    assert [s.phase for s in judgment.derivation.steps] == [
        "descending_search",
        "permission_ceiling",
    ]
    assert judgment.permission == P.ETA
    assert (repr(strong), repr(weak)) == before


# Expiry and out-of-class membership are left out: they cap a judgment through other floors.
@given(contexts, contexts)
def test_composition_never_promotes(g1, g2):
    own = [oq.compile_static(g).permission for g in (g1, g2)]
    try:
        composed = oq.compile_static(oq.compose(g1, g2))
    except oq.CompositionError as error:
        assert "token conflict" in str(error)
        return
    assert DEFAULT.rank(composed.permission) <= min(DEFAULT.rank(p) for p in own)


states = st.dictionaries(
    st.sampled_from(["t1", "t2", "t3"]), st.sampled_from([NC.Live, NC.Stale, NC.Failed, NC.Missing])
)


@given(
    contexts,
    st.sampled_from([NOW, NOW + 10**9]),
    st.sampled_from(["ctx", "fp"]),
    states,
    st.booleans(),
)
def test_evaluation_is_the_compiled_level_or_a_floor_and_changes_nothing(ctx, now, fp, nc, strict):
    live = oq.compile(ctx)
    rt = oq.RuntimeContext(now, fp, nc, strict)
    before = (repr(live), repr(rt))
    first = live.permission_str(rt)
    assert first in {repr(live).split("=")[1].split(",")[0], "EXP", "OOC", "REF"}
    assert live.permission_str(rt) == first and (repr(live), repr(rt)) == before


def test_registry_and_audit():
    registry = oq.InMemoryChainRegistry()
    judgment = oq.compile_static(context())
    assert len(registry) == 0 and registry.lookup(DEFAULT.chain_hash()) is None
    with pytest.raises(oq.AuditError) as info:
        oq.verify_published(judgment, registry)
    assert str(info.value) == (
        "chain hash d2727b9e0edf84eec52108084b53d22c1a2350059ae5f21c7deb5ab645b2c491 is not published in the registry"
    )
    assert registry.publish(DEFAULT) == DEFAULT.chain_hash()
    rebuilt = seven_level_chain(["OOC", "EXP", "REF", "UNS", "ROL", "DIA", "AAA"])
    registry.publish(rebuilt)
    registry.publish(seven_level_chain(["OOC", "EXP", "REF", "UNS", "ROL", "DIA", "AAA"]))
    assert len(registry) == 2
    found = registry.lookup(rebuilt.chain_hash())
    assert (
        found == rebuilt
        and found is not rebuilt
        and registry.lookup(rebuilt.chain_hash()) is not found
    )
    assert oq.verify_published(judgment, registry) is None
    assert oq.InMemoryChainRegistry.publish.__text_signature__ == "($self, chain)"
    assert oq.verify_published.__text_signature__ == "(judgment, registry)"
    assert repr(registry).startswith("<builtins.InMemoryChainRegistry object at ")


def test_provenance_hash_is_shared_by_contexts_and_tokens():
    assert context().provenance_hash() == HASH
