"""What the engine promises under load: no growth across many calls, the same answers from many
threads at once, and the guarantees a caller's security rests on, as properties."""

import gc
import os
import sys
import threading
import time

import _ostrel_quorvane as oq
import pytest
from hypothesis import given
from test_compile import DEFAULT, HASH, R, contexts, seven_level_chain, token
from test_compile import context as make_context

P = oq.Permission
NC = oq.NegativeControlStatus
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
FAR = 4_000_000_000.0


def context(**overrides):
    overrides.setdefault("context_fingerprint", "fp")
    return make_context(**overrides)


W = context(
    gaps=["g1", ("g2", "t", "bounded")],
    profiles=[("AAA", [R("g1", "closed")]), ("ALR", [R.any_of([R("g1", "closed"), R("g2", "bounded")])])],
    tokens=[token("t", bounds=["g1"]), token("nc", is_negative_control=True), token("x", closes=["g1"], provenance="0" * 64)],
    disallowed_uses=["net"], expiry=oq.Expiry.at(FAR),
)  # fmt: skip
W2 = context(gaps=["g1"], profiles=[("ETA", [])], tokens=[token("t", bounds=["g1"])])
RUNTIME = oq.RuntimeContext(2e9, "fp", {"nc": NC.Live})
BAD = context(gaps=["g", "g"])


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raises(exc, fn):
    def call():
        with pytest.raises(exc):
            fn()

    return call


# Every entry point on its success and its failure path.
CALLS = {
    "compile": lambda: oq.compile(W),
    "compile malformed": raises(oq.QuorvaneError, lambda: oq.compile_static(BAD)),
    "derivation": lambda: [(s.note, s.token_ids) for s in oq.compile_static(W).derivation.steps],
    "permission": lambda: oq.compile(W).permission(RUNTIME),
    "permission expired": raises(oq.ExpiredError, lambda: oq.compile(W).permission(oq.RuntimeContext(FAR, "fp"))),
    "compose": lambda: oq.compile(oq.compose(W, W2)),
    "compose conflict": raises(oq.CompositionError, lambda: oq.compose(W, context(allowed_use="x"))),
    "registry": lambda: oq.InMemoryChainRegistry().publish(DEFAULT),
    "audit": raises(oq.AuditError, lambda: oq.verify_published(oq.compile_static(W), oq.InMemoryChainRegistry())),
    "chain": lambda: seven_level_chain(["A", "B", "C", "D", "E", "F", "G"]),
    "chain refused": raises(oq.ChainError, lambda: oq.PermissionChain.new(["A"], {})),
    "token details": lambda: token("t", details='{"a": [1, 2.5, "x"]}').details,
    "token refused": raises(ValueError, lambda: token("t", details="[1,")),
    "binding refused": raises(TypeError, lambda: oq.compile(W, chain=5)),
    "provenance hash": lambda: oq.compute_provenance_hash("a", "b", "c", "d"),
}  # fmt: skip


@pytest.mark.skipif(ASAN, reason="the sanitizer's own allocations make counts meaningless")
@pytest.mark.parametrize("name", CALLS)
def test_no_growth_over_many_calls(name):
    call = CALLS[name]
    for _ in range(200):  # warm caches, interned names and the reused index storage
        call()
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), rss()
    for _ in range(3_000):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 50
    assert rss() - resident < 2 << 20


def work(i):
    """One round of mixed work whose answers do not depend on the thread that runs it."""
    live = oq.compile(W)
    static = oq.compile_static(oq.compose(W, W2))
    registry = oq.InMemoryChainRegistry()
    registry.publish(DEFAULT)
    oq.verify_published(static, registry)
    return (
        live.permission_str(RUNTIME),
        [(s.phase, str(s.permission_after), s.note, s.token_ids) for s in static.derivation.steps],
        oq.compute_provenance_hash(str(i % 7), "b", "c", "d"),
    )


def test_threads_give_the_answers_of_one():
    expected = [work(i) for i in range(7)]
    shared = oq.InMemoryChainRegistry()
    errors, rounds = [], [0] * 8
    deadline = time.monotonic() + (2.0 if not ASAN else 4.0)

    def run(t):
        try:
            i = 0
            while time.monotonic() < deadline:
                assert work(i) == expected[i % 7]
                shared.publish(DEFAULT)
                i += 1
            rounds[t] = i
        except BaseException as error:  # noqa: BLE001 - reported below, with its thread
            errors.append((t, error))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(t,)) for t in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert len(shared) == 1 and min(rounds) > 0


@given(contexts)
def test_evidence_of_tampering_never_leaves_a_level_above_refused(ctx):
    """A token with another context's hash, or a dead one, that the search consulted while the
    level stayed below the blocker threshold always ends at or below Refused."""
    judgment = oq.compile_static(ctx)
    steps = judgment.derivation.steps
    search = next((s for s in steps if s.phase == "descending_search"), None)
    if search is None:
        return
    below = DEFAULT.rank(search.permission_after) < DEFAULT.rank(P.DIA)
    blocked = any(
        s.phase == "structural_blockers" and s.note.endswith("Refused meet applied") for s in steps
    )
    if below and blocked:
        assert DEFAULT.rank(judgment.permission) <= DEFAULT.rank(P.REF)
    ranks = [DEFAULT.rank(s.permission_after) for s in steps]
    assert ranks == sorted(ranks, reverse=True)


@given(contexts)
def test_compile_changes_nothing_it_is_given(ctx):
    before = (repr(ctx), ctx.provenance_hash(), repr(DEFAULT), DEFAULT.chain_hash())
    first = oq.compile_static(ctx)
    oq.compile(ctx, DEFAULT)
    assert (repr(ctx), ctx.provenance_hash(), repr(DEFAULT), DEFAULT.chain_hash()) == before
    again = oq.compile_static(ctx)
    assert [(s.note, s.token_ids) for s in again.derivation.steps] == [
        (s.note, s.token_ids) for s in first.derivation.steps
    ]


def test_provenance_comparison_depends_only_on_the_length():
    # A hash differing in its first byte and one differing in its last are refused alike, and a
    # hash of another length never matches; upper-case digits spell another text, not the hash.
    first = ("f" if HASH[0] != "f" else "e") + HASH[1:]
    last = HASH[:-1] + ("f" if HASH[-1] != "f" else "e")
    for foreign in (first, last, HASH[:-1], HASH + "0", HASH.upper()):
        judged = oq.compile_static(
            context(
                gaps=["g"],
                profiles=[("AAA", [R("g", "closed")])],
                tokens=[token("t", closes=["g"], provenance=foreign)],
            )
        )
        assert judged.permission == P.REF, foreign
        assert judged.derivation.steps[-1].note.startswith("PROVENANCE_MISMATCH")
