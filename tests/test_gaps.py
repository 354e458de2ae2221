"""GapRecord, GapRequirement and Profile."""

import math
import operator

import _ostrel_quorvane as oq
import pytest
from hostile import BrokenItems, FloatRaises, Floaty, IndexRaises, Indexy, Items, Texty

G = oq.GapRecord
Req = oq.GapRequirement
P = oq.Permission


def test_signatures_and_docstrings():
    assert G.__text_signature__ == '(gap_id, gap_type, status="open", bound_value=None)'
    assert Req.__text_signature__ == "(gap_id, minimum_status)"
    assert oq.Profile.__text_signature__ == "(permission, required_gaps)"
    assert Req.any_of.__text_signature__ == "(arms)"
    assert Req.any_of.__doc__ == (
        "Construct a disjunctive requirement satisfied by any of the supplied arms.\n"
        "Each arm is itself a GapRequirement (which may itself be `any_of`).\n"
        "The derivation step records which arm fired by gap_id."
    )
    for cls in (G, Req, oq.Profile):
        assert cls.__doc__ == ""


@pytest.mark.parametrize(
    "args, status",
    [
        (("g", "t"), "open"),
        (("g", "t", "open"), "open"),
        (("g", "t", "closed"), "closed"),
        (("g", "t", "bounded"), "bounded"),
        (("g", "t", "bounded", 2.5), "bounded"),
        (("g", "t", "open", float("nan")), "open"),
        (("g", "t", "closed", float("nan")), "closed"),
        (("g", "t", "bounded", float("inf")), "bounded"),
        (("g", "t", "bounded", -float("inf")), "bounded"),
        (("g", "t", "bounded", 7), "bounded"),
        (("g", "t", "bounded", 2**80), "bounded"),
        (("g", "t", "bounded", True), "bounded"),
        (("g", "t", "bounded", Floaty(1.5)), "bounded"),
        (("g", "t", "bounded", Indexy()), "bounded"),
        (("", "", "open"), "open"),
    ],
)  # fmt: skip
def test_gap_record_construction(args, status):
    record = G(*args)
    assert (record.gap_id, record.gap_type, record.status) == (args[0], args[1], status)
    assert repr(record) == f"GapRecord(gap_id={args[0]}, gap_type={args[1]}, status={status})"


def test_gap_record_strings_are_inserted_raw():
    record = G('a"b\n', "\0x\t", "bounded", 1.0)
    assert repr(record) == 'GapRecord(gap_id=a"b\n, gap_type=\0x\t, status=bounded)'
    assert record.gap_id == 'a"b\n'
    assert record.gap_type == "\0x\t"
    assert type(G(Texty("g"), Texty("t"), Texty("closed")).gap_id) is str
    assert G(Texty("g"), "t", Texty("closed")).status == "closed"


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: G("g", "t", "Open"), ValueError, "Unknown gap status: Open"),
        (lambda: G("g", "t", ""), ValueError, "Unknown gap status: "),
        (lambda: G("g", "t", "bounded "), ValueError, "Unknown gap status: bounded "),
        (lambda: G("g", "t", 'x"\n'), ValueError, 'Unknown gap status: x"\n'),
        (lambda: G("g", "t", "open", "x"), TypeError, "argument 'bound_value': must be real number, not str"),
        (lambda: G("g", "t", "bogus", "x"), TypeError, "argument 'bound_value': must be real number, not str"),
        (lambda: G("g", "t", "bounded", FloatRaises(TypeError("no float"))), TypeError, "argument 'bound_value': no float"),
        (lambda: G("g", "t", "bounded", IndexRaises(TypeError("no index"))), TypeError, "argument 'bound_value': no index"),
        (lambda: G("g", "t", "bounded", FloatRaises(ValueError("bad float"))), ValueError, "bad float"),
        (lambda: G("g", "t", "open", IndexRaises(ValueError("bad index"))), ValueError, "bad index"),
        (lambda: G("g", "t", "bounded", 2**1100), OverflowError, "int too large to convert to float"),
        (lambda: G(1, "t"), TypeError, "argument 'gap_id': 'int' object cannot be converted to 'PyString'"),
        (lambda: G("g", None), TypeError, "argument 'gap_type': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: G("g", "t", b"open"), TypeError, "argument 'status': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: G(1, 2, 3, "x"), TypeError, "argument 'gap_id': 'int' object cannot be converted to 'PyString'"),
        (lambda: G(), TypeError, "GapRecord.__new__() missing 2 required positional arguments: 'gap_id' and 'gap_type'"),
        (lambda: G("g", "t", "open", None, 1), TypeError, "GapRecord.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: G("g", "t", value=1), TypeError, "GapRecord.__new__() got an unexpected keyword argument 'value'"),
        (lambda: Req("g", "open"), ValueError, "Unknown required_status: open"),
        (lambda: Req("g", "Closed"), ValueError, "Unknown required_status: Closed"),
        (lambda: Req("g", ""), ValueError, "Unknown required_status: "),
        (lambda: Req(None, "closed"), TypeError, "argument 'gap_id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: Req("g", 2), TypeError, "argument 'minimum_status': 'int' object cannot be converted to 'PyString'"),
        (lambda: Req("g"), TypeError, "GapRequirement.__new__() missing 1 required positional argument: 'minimum_status'"),
        (lambda: Req.any_of("ab"), TypeError, "argument 'arms': Can't extract `str` to `Vec`"),
        (lambda: Req.any_of(""), TypeError, "argument 'arms': Can't extract `str` to `Vec`"),
        (lambda: Req.any_of(Texty("ab")), TypeError, "argument 'arms': Can't extract `str` to `Vec`"),
        (lambda: Req.any_of(3), TypeError, "argument 'arms': 'int' object cannot be converted to 'Sequence'"),
        (lambda: Req.any_of({Req("g", "closed")}), TypeError, "argument 'arms': 'set' object cannot be converted to 'Sequence'"),
        (lambda: Req.any_of([Req("g", "closed"), "g"]), TypeError, "argument 'arms': 'str' object cannot be converted to 'GapRequirement'"),
        (lambda: Req.any_of([G("g", "t")]), TypeError, "argument 'arms': 'GapRecord' object cannot be converted to 'GapRequirement'"),
        (lambda: Req.any_of(BrokenItems(TypeError("bad item"))), TypeError, "argument 'arms': bad item"),
        (lambda: Req.any_of(BrokenItems(KeyError("gone"))), KeyError, "'gone'"),
        (lambda: Req.any_of(), TypeError, "GapRequirement.any_of() missing 1 required positional argument: 'arms'"),
        (lambda: oq.Profile("AAA", []), TypeError, "argument 'permission': 'str' object cannot be converted to 'Permission'"),
        (lambda: oq.Profile(P.AAA, "g"), TypeError, "argument 'required_gaps': Can't extract `str` to `Vec`"),
        (lambda: oq.Profile(P.AAA, None), TypeError, "argument 'required_gaps': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: oq.Profile(P.AAA, [1]), TypeError, "argument 'required_gaps': 'int' object cannot be converted to 'GapRequirement'"),
        (lambda: oq.Profile(P.AAA, BrokenItems(TypeError("bad item"))), TypeError, "argument 'required_gaps': bad item"),
        (lambda: oq.Profile(P.AAA, BrokenItems(LookupError("gone"))), LookupError, "gone"),
        (lambda: oq.Profile(1, "g"), TypeError, "argument 'permission': 'int' object cannot be converted to 'Permission'"),
        (lambda: oq.Profile(P.AAA), TypeError, "Profile.__new__() missing 1 required positional argument: 'required_gaps'"),
    ],
)  # fmt: skip
def test_construction_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_non_type_errors_are_not_prefixed_or_wrapped():
    root = ValueError("root")
    with pytest.raises(ValueError) as info:
        G("g", "t", "bounded", FloatRaises(root))
    assert info.value is root
    key = KeyError("gone")
    with pytest.raises(KeyError) as info:
        Req.any_of(BrokenItems(key))
    assert info.value is key


def test_lone_surrogates_are_refused():
    for make in (
        lambda: G("\ud800", "t"),
        lambda: G("g", "\udfff"),
        lambda: G("g", "t", "open\ud800"),
        lambda: Req("\ud800", "closed"),
    ):
        with pytest.raises(UnicodeEncodeError):
            make()


def panic_of(make):
    with pytest.raises(BaseException) as info:
        make()
    return info.value


@pytest.mark.parametrize(
    "bound", [float("nan"), -float("nan"), Floaty(float("nan"))], ids=["nan", "-nan", "__float__"]
)
def test_nan_bound_is_a_panic(bound):
    exc = panic_of(lambda: G("g", "t", "bounded", bound))
    assert type(exc).__name__ == "PanicException"
    assert isinstance(exc, BaseException)
    assert not isinstance(exc, Exception)
    assert str(exc) == "numeric bound value must not be NaN"


def test_nan_bound_panic_is_not_caught_as_exception():
    with pytest.raises(BaseException) as info:
        try:
            G("g", "t", "bounded", math.nan)
        except Exception:  # noqa: BLE001 - the point is that this does not catch it
            pytest.fail("the panic was caught by except Exception")
    assert type(info.value).__name__ == "PanicException"


def test_gap_status_none_is_refused():
    # status defaults to "open", not None, so an explicit None is an ordinary wrong type.
    with pytest.raises(TypeError) as info:
        G("g", "t", None)
    message = "argument 'status': 'NoneType' object cannot be converted to 'PyString'"
    assert str(info.value) == message


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (G("g", "t"), G("g", "t"), True),
        (G("g", "t"), G("g", "t", "open", 5.0), True),
        (G("g", "t", "open", 1.0), G("g", "t", "open", float("nan")), True),
        (G("g", "t", "closed", 1.0), G("g", "t", "closed", 2.0), True),
        (G("g", "t", "bounded"), G("g", "t", "bounded", 0), True),
        (G("g", "t", "bounded", 0.0), G("g", "t", "bounded", -0.0), True),
        (G("g", "t", "bounded", 1.0), G("g", "t", "bounded", 2.0), False),
        (G("g", "t", "bounded", 1.0), G("g", "t", "bounded", Floaty(1.0)), True),
        (G("g", "t", "bounded", float("inf")), G("g", "t", "bounded", float("inf")), True),
        (G("g", "t", "bounded", float("inf")), G("g", "t", "bounded", -float("inf")), False),
        (G("g", "t", "bounded", 1e308), G("g", "t", "bounded", float("inf")), False),
        (G("g", "t", "bounded", 2**53), G("g", "t", "bounded", 2**53 + 1), True),
        (G("g", "t", "bounded"), G("g", "t", "open"), False),
        (G("g", "t", "bounded"), G("g", "t", "closed"), False),
        (G("g", "t", "open"), G("g", "t", "closed"), False),
        (G("g", "t"), G("h", "t"), False),
        (G("g", "t"), G("g", "u"), False),
        (G("é", "t"), G("e\u0301", "t"), False),
        (G("g\0", "t"), G("g", "t"), False),
        (G("", ""), G("", ""), True),
    ],
)  # fmt: skip
def test_gap_record_equality(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is not equal


def test_gap_record_is_unordered_and_unhashable():
    record = G("g", "t")
    assert record.__eq__("g") is NotImplemented
    assert record != "GapRecord(gap_id=g, gap_type=t, status=open)"
    assert (record == None) is False  # noqa: E711
    assert G.__hash__ is None
    with pytest.raises(TypeError):
        hash(record)
    for compare in (operator.lt, operator.le, operator.gt, operator.ge):
        assert getattr(record, f"__{compare.__name__}__")(record) is NotImplemented
        with pytest.raises(TypeError):
            compare(record, record)


@pytest.mark.parametrize(
    "req, text, gap_id, minimum, any_of",
    [
        (Req("g1", "closed"), "GapRequirement(gap_id=g1, minimum_status=closed)", "g1", "closed", False),
        (Req("g1", "bounded"), "GapRequirement(gap_id=g1, minimum_status=bounded)", "g1", "bounded", False),
        (Req("", "bounded"), "GapRequirement(gap_id=, minimum_status=bounded)", "", "bounded", False),
        (Req('a"\n', "closed"), 'GapRequirement(gap_id=a"\n, minimum_status=closed)', 'a"\n', "closed", False),
        (Req.any_of([]), "GapRequirement(any_of=[0 arms])", "", "open", True),
        (Req.any_of(()), "GapRequirement(any_of=[0 arms])", "", "open", True),
        (Req.any_of([Req("g", "closed")]), "GapRequirement(any_of=[1 arms])", "", "open", True),
        (Req.any_of((Req("g", "closed"), Req("g", "closed"), Req.any_of([]))), "GapRequirement(any_of=[3 arms])", "", "open", True),
        (Req.any_of(Items([Req("a", "closed"), Req("b", "bounded")])), "GapRequirement(any_of=[2 arms])", "", "open", True),
        (Req.any_of([Req.any_of([Req("x", "closed")] * 5)]), "GapRequirement(any_of=[1 arms])", "", "open", True),
    ],
)  # fmt: skip
def test_requirements(req, text, gap_id, minimum, any_of):
    assert repr(req) == text
    assert (req.gap_id, req.minimum_status, req.is_any_of) == (gap_id, minimum, any_of)


def test_requirements_and_profiles_compare_by_identity():
    a, b = Req("g", "closed"), Req("g", "closed")
    assert a == a and a != b
    assert hash(a) == hash(a)
    p = oq.Profile(P.AAA, [a])
    assert p == p and p != oq.Profile(P.AAA, [a])
    assert {p: 1}[p] == 1


def test_any_of_copies_its_arms():
    arm = Req("g", "closed")
    arms = [arm, Req("h", "bounded")]
    before = list(arms)
    disjunction = Req.any_of(arms)
    assert arms == before and arms[0] is arm
    arms.append(Req("i", "closed"))
    arms.clear()
    assert repr(disjunction) == "GapRequirement(any_of=[2 arms])"
    nested = Req.any_of([disjunction])
    assert repr(disjunction) == "GapRequirement(any_of=[2 arms])"
    assert repr(nested) == "GapRequirement(any_of=[1 arms])"


@pytest.mark.parametrize(
    "level, gaps, text",
    [
        (P.AAA, [Req("a", "closed"), Req("b", "bounded")], "Profile(permission=AAA, gaps=2)"),
        (P.OOC, [], "Profile(permission=OOC, gaps=0)"),
        (P.ESC, (Req.any_of([]),), "Profile(permission=ESC, gaps=1)"),
        (P.REV, Items([Req("a", "closed")] * 3), "Profile(permission=REV, gaps=3)"),
        (oq.PermissionChain.new(["FOO", "BAR"], {r: 0 for r in (
            oq.ChainRole.Bottom, oq.ChainRole.ExpiryFloor, oq.ChainRole.Refused,
            oq.ChainRole.Unsatisfied, oq.ChainRole.DisallowedUsesCeiling)}
            | {oq.ChainRole.BlockerThreshold: 1, oq.ChainRole.Top: 1}).parse("BAR"),
         [Req("a", "closed")], "Profile(permission=BAR, gaps=1)"),
    ],
)  # fmt: skip
def test_profiles(level, gaps, text):
    profile = oq.Profile(level, gaps)
    assert repr(profile) == text
    assert profile.permission == level
    assert profile.permission is not level
    assert profile.permission is not profile.permission


def test_profile_copies_its_requirements():
    gaps = [Req("a", "closed"), Req("b", "closed")]
    before = list(gaps)
    profile = oq.Profile(P.AAA, gaps)
    assert gaps == before
    gaps.pop()
    assert repr(profile) == "Profile(permission=AAA, gaps=2)"


def test_large_profile():
    gaps = [Req(f"g{i}", "closed") for i in range(100_000)]
    assert repr(oq.Profile(P.AAA, gaps)) == "Profile(permission=AAA, gaps=100000)"
    assert repr(Req.any_of(gaps)) == "GapRequirement(any_of=[100000 arms])"


@pytest.mark.parametrize(
    "obj, attr",
    [
        (G("g", "t"), "gap_id"),
        (G("g", "t"), "status"),
        (Req("g", "closed"), "minimum_status"),
        (Req("g", "closed"), "is_any_of"),
        (oq.Profile(P.AAA, []), "permission"),
    ],
)
def test_getters_are_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, getattr(obj, attr))
    with pytest.raises(AttributeError):
        obj.bound_value = 1.0


def test_deeply_nested_disjunctions_are_built_and_freed_without_recursion():
    requirement = Req("g", "closed")
    for _ in range(300_000):
        requirement = Req.any_of([requirement])
    profile = oq.Profile(P.AAA, [requirement])
    assert repr(requirement) == "GapRequirement(any_of=[1 arms])"
    del requirement
    assert repr(profile) == "Profile(permission=AAA, gaps=1)"
    del profile
