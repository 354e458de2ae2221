"""Judging as of a moment, and a live judgment whose evidence runs out after compilation."""

import time
from datetime import UTC, datetime, timedelta, timezone

import _ostrel_quorvane as oq
import ostrel_quorvane as package
import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_compile import HASH, R, context, requirements, steps, token

P = oq.Permission
NOW = int(time.time())
OFFSETS = st.sampled_from([None, -3600, -1, 0, 1, 2, 3600])


def at_offset(offset, base):
    return None if offset is None else float(base + offset)


@st.composite
def timed_contexts(draw, base=NOW):
    """Contexts whose deadline and token expiries fall just around `base`."""
    gaps = ["g1", "g2"]
    tokens = [
        token(
            f"t{i}",
            closes=draw(st.lists(st.sampled_from(gaps), max_size=2)),
            bounds=draw(st.lists(st.sampled_from(gaps), max_size=1)),
            status=draw(st.sampled_from(["valid", "valid", "revoked"])),
            provenance=draw(st.sampled_from([HASH, HASH, "other"])),
            expires_at=at_offset(draw(OFFSETS), base),
        )
        for i in range(draw(st.integers(0, 4)))
    ]
    deadline = at_offset(draw(OFFSETS), base)
    profiles = draw(
        st.lists(
            st.tuples(st.sampled_from(["AAA", "ALR", "ESC", "ETA"]), st.lists(requirements, max_size=2)),
            max_size=3, unique_by=lambda p: p[0],
        )
    )  # fmt: skip
    return context(
        gaps=[(g, "t", "open") for g in gaps] + [("g3", "t", "bounded")],
        profiles=profiles,
        tokens=tokens,
        expiry=oq.Expiry.never() if deadline is None else oq.Expiry.at(deadline),
    )


def summary(judgment):
    return (judgment.permission, steps(judgment), judgment.derivation.compiled_at)


@given(timed_contexts(), st.integers(-2, 2))
def test_compile_at_is_deterministic(ctx, shift):
    moment = NOW + shift
    first = package.compile_static_at(ctx, moment)
    assert first.derivation.compiled_at == moment
    assert summary(package.compile_static_at(ctx, moment)) == summary(first)
    live = package.compile_at(ctx, float(moment))
    assert repr(live).replace("LiveJudgment", "Judgment") == repr(first)


@given(timed_contexts(base=int(time.time()) + 1))
def test_compile_at_agrees_with_compile_when_the_clock_reads_the_same(ctx):
    for _ in range(3):  # a second boundary between the readings: try again
        before = time.time()
        judged = oq.compile_static(ctx)
        after = time.time()
        if int(before) == int(after):
            assert summary(package.compile_static_at(ctx, before)) == summary(judged)
            return
    pytest.skip("the clock kept crossing a second boundary")


def test_a_token_valid_until_later_is_evidence_as_of_earlier():
    nine = datetime(2026, 12, 9, 9, 0, tzinfo=UTC)
    ctx = context(
        gaps=["g"],
        profiles=[("ALR", [R("g", "closed")])],
        tokens=[token("t", closes=["g"], expires_at=nine.timestamp())],
    )
    assert package.compile_static_at(ctx, nine - timedelta(minutes=30)).permission == P.ALR
    offset = timezone(timedelta(hours=1))
    assert package.compile_static_at(ctx, nine.astimezone(offset)).permission == P.EXP
    assert oq.compile_static(ctx).permission == P.EXP  # it is later than that now


@pytest.mark.parametrize(
    "at, error",
    [
        (9e12, ValueError),
        (-9e12, ValueError),
        (float("nan"), ValueError),
        (float("inf"), ValueError),
        (datetime(2026, 12, 9), ValueError),  # naive: no offset to read it by
        (True, TypeError),
        ("1700000000", TypeError),
    ],
)
def test_moments_the_engine_cannot_represent_are_refused(at, error):
    with pytest.raises(error):
        package.compile_at(context(), at)


def test_the_native_helper_refuses_out_of_range_moments():
    with pytest.raises(ValueError, match="outside the representable range"):
        oq._compile_at(context(), 9e12)
    with pytest.raises(TypeError, match="argument 'at'"):
        oq._compile_static_at(context(), "soon")


@pytest.mark.parametrize(
    "now, expected",
    [(-1, "ALR"), (0, "EXP"), (1, "EXP"), (60, "EXP")],
    ids=["just before", "at", "just after", "a minute after"],
)
def test_a_live_judgment_notices_a_token_that_has_expired(now, expected):
    expires = NOW + 2
    ctx = context(
        gaps=["g"],
        profiles=[("ALR", [R("g", "closed")])],
        tokens=[token("t", closes=["g"], expires_at=float(expires)),
                token("spare", closes=["g"], expires_at=float(expires + 3600))],
        context_fingerprint="fp",
    )  # fmt: skip
    live = package.compile_at(ctx, NOW)
    runtime = oq.RuntimeContext(expires + now, "fp")
    assert live.permission_str(runtime) == expected
    if expected == "EXP":
        with pytest.raises(oq.ExpiredError, match="judgment expired at None"):
            live.permission(runtime)
    else:
        assert live.permission(runtime) == P.ALR
    # The checks before it keep their order and results.
    assert live.permission_str(oq.RuntimeContext(expires + now, "other")) == "OOC"
