"""Level names, Permission, ChainRole, ChainHash, PermissionChain and the default chain."""

import _ostrel_quorvane as oq
import pytest
from hypothesis import given
from hypothesis import strategies as st

P = oq.Permission
R = oq.ChainRole
Chain = oq.PermissionChain
DEFAULT_HEX = "d2727b9e0edf84eec52108084b53d22c1a2350059ae5f21c7deb5ab645b2c491"
DEFAULT_NAMES = ["OOC", "EXP", "REF", "UNS", "ETA", "ESC", "ROL", "DIA", "REV", "AEX", "ALR", "AAA"]
ROLE_NAMES = [
    "Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling",
    "BlockerThreshold", "Top",
]  # fmt: skip
ROLES = [getattr(R, name) for name in ROLE_NAMES]


def bindings(b, e, r, u, d, k, t):
    return dict(zip(ROLES, (b, e, r, u, d, k, t), strict=True))


def minimal(n):
    """Every role at 0 except BlockerThreshold and Top at the last index."""
    return bindings(0, 0, 0, 0, 0, n - 1, n - 1)


def names_of(levels):
    return [level.as_str() for level in levels]


def chain_error(levels, roles):
    with pytest.raises(oq.ChainError) as info:
        Chain.new(levels, roles)
    return str(info.value)


@pytest.mark.parametrize(
    "levels, roles, message",
    [
        (["A"], minimal(2), "chain has too few levels: 1 (minimum 2)"),
        ([], {}, "chain has too few levels: 0 (minimum 2)"),
        ([f"L{i}" for i in range(257)], {}, "chain has too many levels: 257 (maximum 256)"),
        (["A", "A", "-x"], {}, 'duplicate level name "A"'),
        (["A", "-x", "A"], {}, "invalid level name \"-x\": CharsetViolation { offending_char: '-', position: 0 }"),
        (["L0", "L1", "L1"], minimal(3), 'duplicate level name "L1"'),
        (["A", ""], {}, 'invalid level name "": Empty'),
        (["A", "B" * 65], {}, f'invalid level name "{"B" * 65}": TooLong {{ length: 65, max: 64 }}'),
        (["A", "é" * 33], {}, f'invalid level name "{"é" * 33}": TooLong {{ length: 66, max: 64 }}'),
        (["A", "A B"], {}, "invalid level name \"A B\": CharsetViolation { offending_char: ' ', position: 1 }"),
        (["A", "a\tb"], {}, "invalid level name \"a\\tb\": CharsetViolation { offending_char: '\\t', position: 1 }"),
        (["A", "B"], {}, "chain is missing role Bottom"),
        (["A", "B"], {R.Bottom: 0, R.Top: 1}, "chain is missing role ExpiryFloor"),
        (["A", "B"], bindings(0, 0, 0, 0, 0, 2, 1), "role BlockerThreshold maps to index 2 but chain has only 2 levels"),
        (["A", "B"], bindings(1, 0, 0, 0, 0, 1, 1), "role Bottom at index 1 violates structural constraint: Bottom must be index 0"),
        (DEFAULT_NAMES, bindings(0, 1, 2, 3, 6, 7, 10), "role Top at index 10 violates structural constraint: Top must be index 11 (last)"),
        (["A", "B"], bindings(0, 1, 0, 0, 0, 1, 1), "role ExpiryFloor at index 1 violates structural constraint: ExpiryFloor index (1) must be strictly less than BlockerThreshold index (1)"),
        (["A", "B", "C"], bindings(0, 0, 0, 2, 0, 1, 2), "role Unsatisfied at index 2 violates structural constraint: Unsatisfied index (2) must be strictly less than BlockerThreshold index (1)"),
        (["A", "B"], bindings(0, 0, 0, 0, 1, 1, 1), "role DisallowedUsesCeiling at index 1 violates structural constraint: DisallowedUsesCeiling index (1) must be strictly less than Top index (1)"),
    ],
)  # fmt: skip
def test_construction_checks_in_order(levels, roles, message):
    assert chain_error(levels, roles) == message


def test_huge_name_is_an_ordinary_chain_error():
    message = chain_error(["A", "X" * 1_000_000], minimal(2))
    assert message.endswith(": TooLong { length: 1000000, max: 64 }")


def test_valid_shapes():
    assert len(Chain.new(["A", "B"], bindings(0, 0, 0, 0, 0, 1, 1))) == 2
    assert len(Chain.new(["9A", "A-B_c"], minimal(2))) == 2
    assert len(Chain.new(["a" * 64, "b"], minimal(2))) == 2
    assert len(Chain.new([f"L{i}" for i in range(256)], minimal(256))) == 256


def test_default_chain_queries():
    chain = Chain.default_chain()
    assert names_of(chain.ascending()) == DEFAULT_NAMES
    assert names_of(chain.descending()) == DEFAULT_NAMES[::-1]
    assert len(chain) == 12
    assert repr(chain) == (
        "PermissionChain([" + ", ".join(f'"{n}"' for n in DEFAULT_NAMES) + f"], hash={DEFAULT_HEX})"
    )
    assert str(chain) == repr(chain)
    assert chain.chain_hash().to_hex() == DEFAULT_HEX
    expected_roles = dict(
        zip(ROLE_NAMES, ["OOC", "EXP", "REF", "UNS", "ROL", "DIA", "AAA"], strict=True)
    )
    for name, level in expected_roles.items():
        assert chain.role(getattr(R, name)) == getattr(P, level)
    assert chain.rank(P.ETA) == 4
    assert chain.meet(P.REV, P.ESC) == P.ESC
    assert chain.meet(a=P.ESC, b=P.REV) == P.ESC
    assert chain.parse("AAA") == P.AAA
    assert chain.parse("aaa") is None
    assert chain.contains(P.DIA)
    assert chain == Chain.default_chain()
    assert chain is not Chain.default_chain()
    assert Chain.default_chain.__doc__ == "Return the default 12-level chain (OOC..AAA)."


def test_chain_with_foreign_levels():
    custom = Chain.new(["FOO", "REF", "TOP"], minimal(3))
    foo = custom.parse("FOO")
    default = Chain.default_chain()
    assert default.rank(foo) is None
    assert not default.contains(foo)
    assert custom.rank(P.REF) == 1
    assert custom.contains(P.REF)
    with pytest.raises(oq.ChainError, match='^level "FOO" is not in this chain$'):
        default.meet(foo, P.AAA)
    with pytest.raises(oq.ChainError, match='^level "FOO" is not in this chain$'):
        default.meet(P.AAA, foo)
    assert custom.meet(custom.parse("TOP"), P.REF) == P.REF


def test_chain_equality_and_hashing():
    a = Chain.new(["A", "B"], minimal(2))
    assert a == Chain.new(["A", "B"], minimal(2))
    assert a != Chain.new(["B", "A"], minimal(2))
    moved = Chain.new(["A", "B", "C"], bindings(0, 0, 0, 0, 1, 2, 2))
    assert moved != Chain.new(["A", "B", "C"], minimal(3))
    assert a != "chain"
    assert (a == 1) is False
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        a < a  # noqa: B015
    assert repr(a) == f'PermissionChain(["A", "B"], hash={a.chain_hash().to_hex()})'


def test_permission_display_equality_and_hash():
    esc = P.ESC
    assert (repr(esc), str(esc), esc.as_str()) == ("Permission.ESC", "ESC", "ESC")
    assert hash(P.AAA) == 3099773850204345921
    assert P.AAA is P.AAA
    assert P.AAA != "AAA"
    assert (P.AAA == "AAA") is False
    first = Chain.new(["FOO", "BAR"], minimal(2)).parse("FOO")
    second = Chain.new(["X", "FOO"], minimal(2)).parse("FOO")
    assert first == second
    assert hash(first) == hash(second)
    assert {first: 1}[second] == 1
    assert names_of(list(vars(P)[n] for n in DEFAULT_NAMES)) == DEFAULT_NAMES


def test_permission_default_chain_members():
    assert P.REF < P.UNS
    assert P.AAA >= P.AAA and P.OOC <= P.EXP and P.AAA > P.ALR
    assert not P.ESC < P.ESC
    assert P.AAA.meet(P.EXP) == P.EXP
    assert P.AAA.meet(other=P.EXP) is not P.EXP
    assert P.from_str("aex") == P.AEX
    assert P.from_str("Aaa") is not P.AAA
    assert P.from_str("eſc") == P.ESC  # long s upper-cases to S
    with pytest.raises(TypeError):
        P.AAA < "AAA"  # noqa: B015


@pytest.mark.parametrize(
    "text, message",
    [
        ("", 'Unknown permission: ""'),
        ("xyz", 'Unknown permission: "xyz"'),
        ('a"b\n', 'Unknown permission: "a\\"b\\n"'),
        ("AAA ", 'Unknown permission: "AAA "'),
    ],
)
def test_from_str_unknown(text, message):
    with pytest.raises(ValueError) as info:
        P.from_str(text)
    assert str(info.value) == message


def test_foreign_level_ordering_and_meet_panic():
    foo = Chain.new(["FOO", "BAR"], minimal(2)).parse("FOO")
    assert foo == foo
    with pytest.raises(BaseException) as info:
        foo < P.AAA  # noqa: B015
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == (
        "Permission::cmp called with a level not in the default chain: FOO or AAA. "
        "Use chain.cmp(&a, &b) against an explicit chain for non-default chains."
    )
    with pytest.raises(BaseException) as info:
        foo.meet(P.AAA)
    assert str(info.value) == 'Permission::meet: level "FOO" is not in this chain'


def test_chain_roles():
    assert [repr(role) for role in ROLES] == [f"ChainRole.{n}" for n in ROLE_NAMES]
    assert str(R.Top) == "ChainRole.Top"
    assert R.Top is R.Top
    assert R.Top == R.Top and R.Top != R.Bottom
    assert R.Top != "Top"
    top = Chain.new(["Top", "X"], minimal(2)).parse("Top")
    assert hash(R.Top) == hash(top)
    with pytest.raises(TypeError):
        R.Top < R.Bottom  # noqa: B015


def test_chain_hash_value():
    h = Chain.default_chain().chain_hash()
    assert str(h) == h.to_hex() == DEFAULT_HEX
    assert repr(h) == f"ChainHash({DEFAULT_HEX})"
    assert oq.ChainHash.from_hex(DEFAULT_HEX) == h
    assert oq.ChainHash.from_hex(DEFAULT_HEX.upper()) == h
    assert hash(oq.ChainHash.from_hex(DEFAULT_HEX)) == hash(h)
    assert (h != h) is False
    assert h != DEFAULT_HEX
    with pytest.raises(TypeError):
        h < h  # noqa: B015


@pytest.mark.parametrize(
    "text",
    [DEFAULT_HEX[:62], DEFAULT_HEX + "00", DEFAULT_HEX[:63], "g" + DEFAULT_HEX[1:], "", "0x" + DEFAULT_HEX[2:], " " + DEFAULT_HEX[1:]],
)  # fmt: skip
def test_chain_hash_from_hex_rejects(text):
    with pytest.raises(ValueError) as info:
        oq.ChainHash.from_hex(text)
    assert str(info.value) == f'invalid ChainHash hex: "{text}"'


NAME = st.text(alphabet="ABCXYZabc019_-", min_size=1, max_size=8).filter(lambda s: s[0] != "-")


@given(st.lists(NAME, min_size=2, max_size=40, unique=True))
def test_valid_chains_rank_their_levels_in_order(names):
    chain = Chain.new(names, minimal(len(names)))
    assert names_of(chain.ascending()) == names
    for rank, name in enumerate(names):
        assert chain.rank(chain.parse(name)) == rank
    assert chain == Chain.new(list(names), minimal(len(names)))
    if names != names[::-1]:
        assert chain != Chain.new(names[::-1], minimal(len(names)))


@given(st.lists(st.text(max_size=6), min_size=2, max_size=6))
def test_arbitrary_names_never_crash(names):
    try:
        chain = Chain.new(names, minimal(len(names)))
    except oq.ChainError as exc:
        assert str(exc).startswith(("invalid level name ", "duplicate level name "))
    except UnicodeEncodeError:
        pass
    else:
        assert len(chain) == len(names)
