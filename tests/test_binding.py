"""Argument binding and conversion messages shared by every function."""

import _ostrel_quorvane as oq
import pytest
from hostile import BrokenItems, IndexRaises, Items, Texty

P = oq.Permission
Chain = oq.PermissionChain
DEFAULT = Chain.default_chain()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Chain.new(["A"], {}, 3), "PermissionChain.new() takes 2 positional arguments but 3 were given"),
        (lambda: P.from_str("a", "b"), "Permission.from_str() takes 1 positional arguments but 2 were given"),
        (lambda: Chain.new(), "PermissionChain.new() missing 2 required positional arguments: 'levels' and 'roles'"),
        (lambda: Chain.new(["A"]), "PermissionChain.new() missing 1 required positional argument: 'roles'"),
        (lambda: Chain.new(["A"], levels=["B"]), "PermissionChain.new() got multiple values for argument 'levels'"),
        (lambda: Chain.new(level=["A"]), "PermissionChain.new() got an unexpected keyword argument 'level'"),
        (lambda: Chain.new(Levels=["A"], roles={}), "PermissionChain.new() got an unexpected keyword argument 'Levels'"),
        (lambda: DEFAULT.meet(P.AAA), "PermissionChain.meet() missing 1 required positional argument: 'b'"),
        (lambda: oq.compute_provenance_hash("a"), "compute_provenance_hash() missing 3 required positional arguments: 'candidate_id', 'context_id', and 'allowed_use'"),
        (lambda: oq.compute_provenance_hash(), "compute_provenance_hash() missing 4 required positional arguments: 'claim_id', 'candidate_id', 'context_id', and 'allowed_use'"),
        (lambda: oq.GapRecord("g", "t", "open", None, 1), "GapRecord.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: oq.Expiry.at(), "Expiry.at() missing 1 required positional argument: 'deadline_unix'"),
        (lambda: DEFAULT.meet(b=P.AAA), "PermissionChain.meet() missing 1 required positional argument: 'a'"),
        (lambda: P.from_str(5), "argument 's': 'int' object cannot be converted to 'PyString'"),
        (lambda: oq.ChainHash.from_hex(None), "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: DEFAULT.rank("AAA"), "argument 'p': 'str' object cannot be converted to 'Permission'"),
        (lambda: DEFAULT.role(0), "argument 'role': 'int' object cannot be converted to 'ChainRole'"),
        (lambda: DEFAULT.meet(P.AAA, b=1.5), "argument 'b': 'float' object cannot be converted to 'Permission'"),
        (lambda: P.AAA.meet(DEFAULT), "argument 'other': 'PermissionChain' object cannot be converted to 'Permission'"),
        (lambda: Chain.new("AB", {}), "argument 'levels': Can't extract `str` to `Vec`"),
        (lambda: Chain.new(5, {}), "argument 'levels': 'int' object cannot be converted to 'Sequence'"),
        (lambda: Chain.new(["A", 5], {}), "argument 'levels': 'int' object cannot be converted to 'PyString'"),
        (lambda: Chain.new(["A", "B"], [1]), "argument 'roles': 'list' object cannot be converted to 'PyDict'"),
        (lambda: Chain.new(["A", "B"], {"Top": 1}), "argument 'roles': 'str' object cannot be converted to 'ChainRole'"),
        (lambda: Chain.new(["A", "B"], {oq.ChainRole.Top: "1"}), "argument 'roles': 'str' object cannot be interpreted as an integer"),
        (lambda: Chain.new(["A", "B"], {oq.ChainRole.Top: IndexRaises(TypeError("no index here"))}), "argument 'roles': no index here"),
    ],
)  # fmt: skip
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_check_comes_before_missing_check():
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        DEFAULT.meet(x=1)


def test_conversion_error_keeps_the_original_cause():
    class Caused:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("converted") from root

    with pytest.raises(TypeError, match="^argument 'roles': converted$") as info:
        Chain.new(["A", "B"], {oq.ChainRole.Top: Caused()})
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(TypeError) as plain:
        P.from_str(1)
    assert plain.value.__cause__ is None


@pytest.mark.parametrize("value", [-1, 2**64])
def test_index_overflow_passes_unprefixed(value):
    with pytest.raises(OverflowError) as info:
        Chain.new(["A", "B"], {oq.ChainRole.Bottom: value})
    assert not str(info.value).startswith("argument")


def test_non_type_errors_pass_unchanged():
    with pytest.raises(KeyError, match="broken item"):
        Chain.new(BrokenItems(KeyError("broken item")), {})


def test_sequences_and_str_subclasses_are_accepted():
    chain = Chain.new(("A", Texty("B")), {role: 0 for role in ALL_ROLES} | TOP_AT_1)
    assert [p.as_str() for p in chain.ascending()] == ["A", "B"]
    chain = Chain.new(Items(["L0", "L1"]), {role: 0 for role in ALL_ROLES} | TOP_AT_1)
    assert len(chain) == 2
    assert P.from_str(Texty("aaa")) == P.AAA


def test_lone_surrogate_is_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        P.from_str("\ud800")
    with pytest.raises(UnicodeEncodeError):
        Chain.new(["A", "\udfff"], {})


ALL_ROLES = [getattr(oq.ChainRole, n) for n in (
    "Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling",
    "BlockerThreshold", "Top")]  # fmt: skip
TOP_AT_1 = {oq.ChainRole.BlockerThreshold: 1, oq.ChainRole.Top: 1}
