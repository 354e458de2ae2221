"""Argument binding checked against a small model of its rules, over random call shapes."""

import _ostrel_quorvane as oq
import pytest
from hypothesis import given
from hypothesis import strategies as st

CHAIN = oq.PermissionChain.default_chain()

# (callable, full name, parameters as (name, required))
FUNCTIONS = [
    (oq.compute_provenance_hash, "compute_provenance_hash()",
     [("claim_id", True), ("candidate_id", True), ("context_id", True), ("allowed_use", True)]),
    (oq.PermissionChain.new, "PermissionChain.new()", [("levels", True), ("roles", True)]),
    (CHAIN.meet, "PermissionChain.meet()", [("a", True), ("b", True)]),
    (oq.GapRecord, "GapRecord.__new__()",
     [("gap_id", True), ("gap_type", True), ("status", False), ("bound_value", False)]),
    (oq.Scope, "Scope.__new__()",
     [("allowed_candidates", False), ("allowed_paths", False), ("allowed_tools", False),
      ("allowed_resources", False)]),
    (oq.ProofToken, "ProofToken.__new__()",
     [("token_id", True), ("token_type", True), ("schema_version", True), ("status", True),
      ("closes_gaps", True), ("bounds_gaps", True), ("provenance_hash", True),
      ("issued_at", True), ("issuer", True), ("expires_at", False), ("details", False),
      ("is_negative_control", False)]),
]  # fmt: skip


def join_names(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def expected_message(full_name, params, nargs, keywords):
    """The binding error for this call shape, or the parameter whose conversion fails first."""
    names = [name for name, _ in params]
    required = sum(1 for _, req in params if req)
    if nargs > len(params):
        verb = "was" if nargs == 1 else "were"
        if required == len(params):
            return f"{full_name} takes {len(params)} positional arguments but {nargs} {verb} given"
        return (
            f"{full_name} takes from {required} to {len(params)} positional arguments "
            f"but {nargs} {verb} given"
        )
    given_slots = set(range(nargs))
    for keyword in keywords:
        if keyword not in names:
            return f"{full_name} got an unexpected keyword argument '{keyword}'"
        index = names.index(keyword)
        if index in given_slots:
            return f"{full_name} got multiple values for argument '{keyword}'"
        given_slots.add(index)
    missing = [name for i, (name, req) in enumerate(params) if req and i not in given_slots]
    if missing:
        plural = "argument" if len(missing) == 1 else "arguments"
        return f"{full_name} missing {len(missing)} required positional {plural}: {join_names(missing)}"
    if not given_slots:
        return None
    return f"argument '{names[min(given_slots)]}': "


@st.composite
def call_shapes(draw):
    index = draw(st.integers(0, len(FUNCTIONS) - 1))
    _, _, params = FUNCTIONS[index]
    names = [name for name, _ in params]
    nargs = draw(st.integers(0, len(params) + 2))
    keywords = draw(
        st.lists(st.sampled_from(names + ["bogus", "Levels", "self"]), unique=True, max_size=4)
    )
    return index, nargs, keywords


class Unconvertible:
    """Refused by every converter."""


@given(call_shapes())
def test_binding_follows_its_rules(shape):
    index, nargs, keywords = shape
    fn, full_name, params = FUNCTIONS[index]
    expected = expected_message(full_name, params, nargs, keywords)
    args = [Unconvertible()] * nargs
    kwargs = dict.fromkeys(keywords, Unconvertible())
    if expected is None:
        fn(*args, **kwargs)
        return
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    message = str(info.value)
    if expected.endswith(": "):
        assert message.startswith(expected)
    else:
        assert message == expected
