"""Membership, Scope, Expiry and ProofContext."""

import datetime
import operator
import re

import _ostrel_quorvane as oq
import pytest
from hostile import BrokenItems, FloatRaises, Floaty, Indexy, Items, Texty

M = oq.Membership
S = oq.Scope
E = oq.Expiry
P = oq.Permission
Ctx = oq.ProofContext
MEMBERSHIP_NAMES = [
    "InClass", "OutOfClassExact", "OutOfClassAuthorizedDeterministicWrite",
    "OutOfClassNoConsequentialUse",
]  # fmt: skip
SCOPE_FIELDS = ("candidates", "paths", "tools", "resources")
ORDERINGS = (operator.lt, operator.le, operator.gt, operator.ge)
CURRENT = re.compile(
    r"^Expiry\(deadline=(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00\)$"
)


def tok(token_id="t1"):
    return oq.ProofToken(token_id, "attest", "1", "valid", [], [], "h", 0, "iss")


def context(**overrides):
    fields = dict(
        claim_id="claim", candidate_id="cand", context_id="ctx", allowed_use="read",
        membership=M.InClass, authority_ceiling=P.AAA, expiry=E.never(),
    )  # fmt: skip
    fields.update(overrides)
    return Ctx(**fields)


def test_signatures():
    assert S.__text_signature__ == (
        "(allowed_candidates=None, allowed_paths=None, allowed_tools=None, allowed_resources=None)"
    )
    assert Ctx.__text_signature__ == (
        "(claim_id, candidate_id, context_id, allowed_use, membership, authority_ceiling, expiry,"
        " gaps=None, profiles=None, tokens=None, disallowed_uses=None, scope=None,"
        " context_fingerprint=None)"
    )
    assert (S.__doc__, Ctx.__doc__) == ("", "")
    assert M.__doc__ is None and E.__doc__ is None
    assert M.other.__text_signature__ == "(reason)"
    assert M.is_in_class.__text_signature__ == "($self)"
    assert E.at.__text_signature__ == "(deadline_unix)"
    assert E.never.__text_signature__ == "()"
    assert E.fired.__text_signature__ == "($self, now_unix)"
    assert Ctx.provenance_hash.__text_signature__ == "($self)"


@pytest.mark.parametrize("cls", [M, E])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


# Membership


@pytest.mark.parametrize("name", MEMBERSHIP_NAMES)
def test_membership_class_attributes(name):
    value = getattr(M, name)
    assert value is getattr(M, name)
    assert repr(value) == f"Membership({name})"
    assert value.is_in_class() is (name == "InClass")
    assert value == getattr(M, name)


@pytest.mark.parametrize(
    "reason, text",
    [
        ("x", 'Membership(OutOfClassOther("x"))'),
        ("", 'Membership(OutOfClassOther(""))'),
        ('say "hi"', 'Membership(OutOfClassOther("say \\"hi\\""))'),
        ("back\\slash", 'Membership(OutOfClassOther("back\\\\slash"))'),
        ("a\tb\nc\rd", 'Membership(OutOfClassOther("a\\tb\\nc\\rd"))'),
        ("nul\0", 'Membership(OutOfClassOther("nul\\0"))'),
        ("\x85", 'Membership(OutOfClassOther("\\u{85}"))'),
        ("\x01\x1f\x7f", 'Membership(OutOfClassOther("\\u{1}\\u{1f}\\u{7f}"))'),
        ("\u200b\u2028\u2029\ufeff", 'Membership(OutOfClassOther("\\u{200b}\\u{2028}\\u{2029}\\u{feff}"))'),
        ("e\u0301", 'Membership(OutOfClassOther("e\\u{301}"))'),
        ("it's é 😀 ü", "Membership(OutOfClassOther(\"it's é 😀 ü\"))"),
        ("InClass", 'Membership(OutOfClassOther("InClass"))'),
        (Texty("sub"), 'Membership(OutOfClassOther("sub"))'),
    ],
)  # fmt: skip
def test_membership_other(reason, text):
    value = M.other(reason)
    assert repr(value) == text
    assert value.is_in_class() is False
    assert value == M.other(str(reason))


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (M.InClass, M.InClass, True),
        (M.InClass, M.OutOfClassExact, False),
        (M.OutOfClassExact, M.OutOfClassNoConsequentialUse, False),
        (M.other("x"), M.other("x"), True),
        (M.other("x"), M.other("y"), False),
        (M.other("x"), M.other("x\0"), False),
        (M.other("é"), M.other("e\u0301"), False),
        (M.other(""), M.OutOfClassExact, False),
        (M.other("InClass"), M.InClass, False),
    ],
)
def test_membership_equality(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is not equal


def test_membership_is_unordered_and_unhashable():
    assert M.InClass.__eq__(0) is NotImplemented
    assert M.InClass != "InClass"
    assert M.__hash__ is None
    with pytest.raises(TypeError):
        hash(M.InClass)
    with pytest.raises(TypeError):
        hash(M.other("x"))
    for compare in ORDERINGS:
        with pytest.raises(TypeError):
            compare(M.InClass, M.OutOfClassExact)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: M.other(5), TypeError, "argument 'reason': 'int' object cannot be converted to 'PyString'"),
        (lambda: M.other(None), TypeError, "argument 'reason': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: M.other(), TypeError, "Membership.other() missing 1 required positional argument: 'reason'"),
        (lambda: M.other("a", "b"), TypeError, "Membership.other() takes 1 positional arguments but 2 were given"),
        (lambda: M.other("\ud800"), UnicodeEncodeError, None),
    ],
)  # fmt: skip
def test_membership_other_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


# Scope


@pytest.mark.parametrize(
    "scope, lists, text",
    [
        (S(), ([], [], [], []), "Scope(candidates=[], paths=[], tools=[], resources=[])"),
        (S([], [], [], []), ([], [], [], []), "Scope(candidates=[], paths=[], tools=[], resources=[])"),
        (S(None, None, None, None), ([], [], [], []), "Scope(candidates=[], paths=[], tools=[], resources=[])"),
        (S(["a", "b"]), (["a", "b"], [], [], []), 'Scope(candidates=["a", "b"], paths=[], tools=[], resources=[])'),
        (S(allowed_paths=("p", "p")), ([], ["p", "p"], [], []), 'Scope(candidates=[], paths=["p", "p"], tools=[], resources=[])'),
        (S(allowed_tools=Items(["t"])), ([], [], ["t"], []), 'Scope(candidates=[], paths=[], tools=["t"], resources=[])'),
        (S(allowed_resources=[Texty("r")]), ([], [], [], ["r"]), 'Scope(candidates=[], paths=[], tools=[], resources=["r"])'),
        (S(['q"', "\\"], ["\t\n"], ["\0"], ["\x85"]), (['q"', "\\"], ["\t\n"], ["\0"], ["\x85"]),
         'Scope(candidates=["q\\"", "\\\\"], paths=["\\t\\n"], tools=["\\0"], resources=["\\u{85}"])'),
        (S([""], ["é😀"]), ([""], ["é😀"], [], []), 'Scope(candidates=[""], paths=["é😀"], tools=[], resources=[])'),
    ],
)  # fmt: skip
def test_scope(scope, lists, text):
    getters = tuple(getattr(scope, f"allowed_{name}") for name in SCOPE_FIELDS)
    assert getters == lists
    assert all(type(v) is list for v in getters)
    assert all(type(item) is str for v in getters for item in v)
    assert repr(scope) == text


def test_scope_getters_return_new_lists():
    scope = S(["a"])
    assert scope.allowed_candidates is not scope.allowed_candidates
    scope.allowed_candidates.append("b")
    assert scope.allowed_candidates == ["a"]
    with pytest.raises(AttributeError):
        scope.allowed_candidates = ["b"]


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (S(), S([], [], [], []), True),
        (S(), S(None, [], None, []), True),
        (S(["a"]), S(("a",)), True),
        (S(allowed_paths=["a", "b"]), S(allowed_paths=["b", "a"]), False),
        (S(allowed_paths=["a"]), S(allowed_paths=["a", "a"]), False),
        (S(allowed_paths=["a"]), S(allowed_tools=["a"]), False),
        (S(allowed_resources=["a"]), S(allowed_resources=["a\0"]), False),
        (S(["ab"]), S(["a", "b"]), False),
        (S([""]), S(), False),
        (S(["x"], ["y"], ["z"], ["w"]), S(["x"], ["y"], ["z"], ["w"]), True),
    ],
)
def test_scope_equality(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is not equal


def test_scope_is_unordered_and_unhashable():
    assert S().__eq__([]) is NotImplemented
    assert S() != "Scope(candidates=[], paths=[], tools=[], resources=[])"
    assert S.__hash__ is None
    with pytest.raises(TypeError):
        hash(S())
    for compare in ORDERINGS:
        with pytest.raises(TypeError):
            compare(S(), S())


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"allowed_paths": "abc"}, TypeError, "argument 'allowed_paths': Can't extract `str` to `Vec`"),
        ({"allowed_candidates": Texty("abc")}, TypeError, "argument 'allowed_candidates': Can't extract `str` to `Vec`"),
        ({"allowed_tools": 3}, TypeError, "argument 'allowed_tools': 'int' object cannot be converted to 'Sequence'"),
        ({"allowed_resources": {"a"}}, TypeError, "argument 'allowed_resources': 'set' object cannot be converted to 'Sequence'"),
        ({"allowed_candidates": ["a", 1]}, TypeError, "argument 'allowed_candidates': 'int' object cannot be converted to 'PyString'"),
        ({"allowed_paths": [None]}, TypeError, "argument 'allowed_paths': 'NoneType' object cannot be converted to 'PyString'"),
        ({"allowed_tools": BrokenItems(TypeError("bad item"))}, TypeError, "argument 'allowed_tools': bad item"),
        ({"allowed_tools": BrokenItems(KeyError("gone"))}, KeyError, "'gone'"),
        ({"allowed_candidates": "x", "allowed_resources": 1}, TypeError, "argument 'allowed_candidates': Can't extract `str` to `Vec`"),
        ({"allowed_paths": [1], "allowed_tools": "x"}, TypeError, "argument 'allowed_paths': 'int' object cannot be converted to 'PyString'"),
        ({"paths": []}, TypeError, "Scope.__new__() got an unexpected keyword argument 'paths'"),
        ({"allowed_paths": ["\ud800"]}, UnicodeEncodeError, None),
    ],
)  # fmt: skip
def test_scope_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        S(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_scope_copies_its_lists():
    paths = ["a", "b"]
    scope = S(allowed_paths=paths)
    assert paths == ["a", "b"]
    paths.reverse()
    assert scope.allowed_paths == ["a", "b"]


# Expiry


@pytest.mark.parametrize(
    "deadline, text",
    [
        (0, "1970-01-01T00:00:00+00:00"),
        (0.999, "1970-01-01T00:00:00+00:00"),
        (-0.5, "1970-01-01T00:00:00+00:00"),
        (-1.5, "1969-12-31T23:59:59+00:00"),
        (1.9, "1970-01-01T00:00:01+00:00"),
        (86399, "1970-01-01T23:59:59+00:00"),
        (-86401, "1969-12-30T23:59:59+00:00"),
        (1_700_000_000, "2023-11-14T22:13:20+00:00"),
        (951_782_400, "2000-02-29T00:00:00+00:00"),
        (float("nan"), "1970-01-01T00:00:00+00:00"),
        (Floaty(float("nan")), "1970-01-01T00:00:00+00:00"),
        (Indexy(), "1970-01-01T00:01:40+00:00"),
        (True, "1970-01-01T00:00:01+00:00"),
        (253402300799, "9999-12-31T23:59:59+00:00"),
        (253402300800, "+10000-01-01T00:00:00+00:00"),
        (-62167219200, "0000-01-01T00:00:00+00:00"),
        (-62167219200 - 86400, "-0001-12-31T00:00:00+00:00"),
        (-62167219201, "-0001-12-31T23:59:59+00:00"),
        (-62198755200, "-0001-01-01T00:00:00+00:00"),
        (-377705116800, "-9999-01-01T00:00:00+00:00"),
        (-377736739200, "-10000-01-01T00:00:00+00:00"),
        (8210266876799, "+262142-12-31T23:59:59+00:00"),
        (-8334601228800, "-262143-01-01T00:00:00+00:00"),
    ],
)  # fmt: skip
def test_expiry_at_repr(deadline, text):
    assert repr(E.at(deadline)) == f"Expiry(deadline={text})"


def test_expiry_never():
    assert repr(E.never()) == "Expiry(never)"
    assert E.never() is not E.never()


@pytest.mark.parametrize(
    "deadline",
    [1e300, -1e300, float("inf"), -float("inf"), 2.0**63, -(2.0**64), 2**62, -(2**62), 8210266876800, -8334601228801],
)  # fmt: skip
def test_out_of_range_deadline_is_the_current_time(deadline):
    before = datetime.datetime.now(datetime.UTC)
    text = repr(E.at(deadline))
    after = datetime.datetime.now(datetime.UTC)
    match = CURRENT.match(text)
    assert match, text
    assert int(match.group(1)) in {before.year, after.year}
    stamp = datetime.datetime.fromisoformat(text[len("Expiry(deadline=") : -1])
    slack = datetime.timedelta(seconds=2)
    assert before - slack <= stamp <= after + slack


@pytest.mark.parametrize(
    "expiry, now, fired",
    [
        (E.at(100), 100, True),
        (E.at(100), 99.9, False),
        (E.at(100), 100.99, True),
        (E.at(100), 101, True),
        (E.at(100), 99, False),
        (E.at(100.7), 100, True),
        (E.at(-1.5), -1, True),
        (E.at(-1.5), -1.99, True),
        (E.at(-1.5), -2, False),
        (E.at(0), -0.9, True),
        (E.at(0), float("nan"), True),
        (E.at(1), float("nan"), False),
        (E.at(float("nan")), 0, True),
        (E.at(0), float("inf"), True),
        (E.at(0), 1e300, True),
        (E.at(0), -1e300, True),
        (E.at(1e300), 0, False),
        (E.at(1e300), 1e300, True),
        (E.at(8210266876799), float("inf"), False),
        (E.at(8210266876799), 8210266876799, True),
        (E.at(-8334601228800), -8334601228800, True),
        (E.at(-8334601228800), -8334601228799, True),
        (E.at(-8334601228800), -8334601228801, True),  # out of range: now is the current time
        (E.at(100), Floaty(100.5), True),
        (E.at(100), Indexy(), True),
        (E.never(), 1e18, False),
        (E.never(), float("inf"), False),
        (E.never(), float("nan"), False),
        (E.never(), -1e300, False),
    ],
)  # fmt: skip
def test_expiry_fired(expiry, now, fired):
    assert expiry.fired(now) is fired
    assert expiry.fired(now_unix=now) is fired


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: E.at(None), TypeError, "argument 'deadline_unix': must be real number, not NoneType"),
        (lambda: E.at("100"), TypeError, "argument 'deadline_unix': must be real number, not str"),
        (lambda: E.at(FloatRaises(TypeError("no float"))), TypeError, "argument 'deadline_unix': no float"),
        (lambda: E.at(FloatRaises(ValueError("bad float"))), ValueError, "bad float"),
        (lambda: E.at(2**1100), OverflowError, "int too large to convert to float"),
        (lambda: E.at(), TypeError, "Expiry.at() missing 1 required positional argument: 'deadline_unix'"),
        (lambda: E.never().fired(), TypeError, "Expiry.fired() missing 1 required positional argument: 'now_unix'"),
        (lambda: E.never().fired("x"), TypeError, "argument 'now_unix': must be real number, not str"),
        (lambda: E.at(0).fired(FloatRaises(TypeError("no float"))), TypeError, "argument 'now_unix': no float"),
        (lambda: E.at(0).fired(FloatRaises(ValueError("bad float"))), ValueError, "bad float"),
    ],
)  # fmt: skip
def test_expiry_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_expiry_has_identity_equality():
    a = E.at(0)
    assert a == a
    assert a != E.at(0)
    assert E.never() != E.never()
    assert hash(a) == hash(a)
    for compare in ORDERINGS:
        with pytest.raises(TypeError):
            compare(a, a)


# ProofContext


def test_context_defaults_and_getters():
    ctx = context()
    assert (ctx.claim_id, ctx.candidate_id, ctx.context_id, ctx.allowed_use) == (
        "claim", "cand", "ctx", "read")  # fmt: skip
    assert ctx.authority_ceiling == P.AAA
    assert repr(ctx) == "ProofContext(claim_id=claim, candidate_id=cand, allowed_use=read)"
    for name in ("context_fingerprint", "gaps", "profiles", "tokens", "scope", "membership"):
        assert not hasattr(ctx, name)
    with pytest.raises(AttributeError):
        ctx.claim_id = "other"


@pytest.mark.parametrize("level", [P.OOC, P.ESC, P.AAA])
def test_authority_ceiling_is_a_new_permission(level):
    ctx = context(authority_ceiling=level)
    ceiling = ctx.authority_ceiling
    assert ceiling == level
    assert ceiling is not level
    assert ceiling is not ctx.authority_ceiling


def test_every_optional_argument():
    ctx = Ctx(
        "c", "k", "x", "use", M.other("why"), P.ESC, E.at(10),
        gaps=[oq.GapRecord("g", "t", "bounded", 1.0), oq.GapRecord("g", "t")],
        profiles=(oq.Profile(P.ESC, [oq.GapRequirement("g", "closed")]),),
        tokens=Items([tok("a"), tok("a")]),
        disallowed_uses=["write", "write"],
        scope=S(["k"]),
        context_fingerprint="fp",
    )  # fmt: skip
    assert repr(ctx) == "ProofContext(claim_id=c, candidate_id=k, allowed_use=use)"
    assert ctx.authority_ceiling == P.ESC
    explicit_none = Ctx("c", "k", "x", "use", M.InClass, P.AAA, E.never(), *[None] * 6)
    assert repr(explicit_none) == repr(context(claim_id="c", candidate_id="k", allowed_use="use"))


@pytest.mark.parametrize(
    "claim, candidate, ctx_id, use",
    [
        ("a", "b", "c", "read"),
        ("", "", "", ""),
        ("c", "k", "x", ""),
        ("a\0", "b", "c", "d"),
        ('q"', "\n", "é😀", "\\"),
        (Texty("a"), Texty("b"), Texty("c"), Texty("read")),
    ],
)
def test_provenance_hash_matches_the_module_function(claim, candidate, ctx_id, use):
    ctx = context(claim_id=claim, candidate_id=candidate, context_id=ctx_id, allowed_use=use)
    assert ctx.provenance_hash() == oq.compute_provenance_hash(claim, candidate, ctx_id, use)
    text = f"ProofContext(claim_id={claim}, candidate_id={candidate}, allowed_use={use})"
    assert repr(ctx) == text
    values = (ctx.claim_id, ctx.candidate_id, ctx.context_id, ctx.allowed_use)
    assert values == (claim, candidate, ctx_id, use)
    assert all(type(v) is str for v in values)


def test_provenance_hash_uses_the_context_id_not_the_fingerprint():
    plain = context()
    assert context(context_fingerprint="other").provenance_hash() == plain.provenance_hash()
    assert context(context_id="other").provenance_hash() != plain.provenance_hash()
    assert plain.provenance_hash() == oq.compute_provenance_hash("claim", "cand", "ctx", "read")


def test_empty_allowed_use_is_accepted_at_construction():
    ctx = Ctx("c", "k", "x", "", M.InClass, P.AAA, E.never())
    assert ctx.allowed_use == ""
    assert repr(ctx) == "ProofContext(claim_id=c, candidate_id=k, allowed_use=)"


@pytest.mark.parametrize(
    "overrides, exc, message",
    [
        ({"claim_id": 1}, TypeError, "argument 'claim_id': 'int' object cannot be converted to 'PyString'"),
        ({"candidate_id": None}, TypeError, "argument 'candidate_id': 'NoneType' object cannot be converted to 'PyString'"),
        ({"context_id": b"x"}, TypeError, "argument 'context_id': 'bytes' object cannot be converted to 'PyString'"),
        ({"allowed_use": ["read"]}, TypeError, "argument 'allowed_use': 'list' object cannot be converted to 'PyString'"),
        ({"membership": "InClass"}, TypeError, "argument 'membership': 'str' object cannot be converted to 'Membership'"),
        ({"membership": None}, TypeError, "argument 'membership': 'NoneType' object cannot be converted to 'Membership'"),
        ({"authority_ceiling": "AAA"}, TypeError, "argument 'authority_ceiling': 'str' object cannot be converted to 'Permission'"),
        ({"authority_ceiling": None}, TypeError, "argument 'authority_ceiling': 'NoneType' object cannot be converted to 'Permission'"),
        ({"expiry": None}, TypeError, "argument 'expiry': 'NoneType' object cannot be converted to 'Expiry'"),
        ({"expiry": 100}, TypeError, "argument 'expiry': 'int' object cannot be converted to 'Expiry'"),
        ({"gaps": "g"}, TypeError, "argument 'gaps': Can't extract `str` to `Vec`"),
        ({"gaps": [1]}, TypeError, "argument 'gaps': 'int' object cannot be converted to 'GapRecord'"),
        ({"gaps": 1}, TypeError, "argument 'gaps': 'int' object cannot be converted to 'Sequence'"),
        ({"gaps": [oq.GapRequirement("g", "closed")]}, TypeError, "argument 'gaps': 'GapRequirement' object cannot be converted to 'GapRecord'"),
        ({"gaps": BrokenItems(TypeError("bad item"))}, TypeError, "argument 'gaps': bad item"),
        ({"gaps": BrokenItems(KeyError("gone"))}, KeyError, "'gone'"),
        ({"profiles": "p"}, TypeError, "argument 'profiles': Can't extract `str` to `Vec`"),
        ({"profiles": [oq.GapRecord("g", "t")]}, TypeError, "argument 'profiles': 'GapRecord' object cannot be converted to 'Profile'"),
        ({"tokens": [1, 2]}, TypeError, "argument 'tokens': 'int' object cannot be converted to 'ProofToken'"),
        ({"tokens": [tok(), "t"]}, TypeError, "argument 'tokens': 'str' object cannot be converted to 'ProofToken'"),
        ({"tokens": "t"}, TypeError, "argument 'tokens': Can't extract `str` to `Vec`"),
        ({"tokens": {"t": tok()}}, TypeError, "argument 'tokens': 'dict' object cannot be converted to 'Sequence'"),
        ({"tokens": BrokenItems(TypeError("bad item"))}, TypeError, "argument 'tokens': bad item"),
        ({"disallowed_uses": "write"}, TypeError, "argument 'disallowed_uses': Can't extract `str` to `Vec`"),
        ({"disallowed_uses": [None]}, TypeError, "argument 'disallowed_uses': 'NoneType' object cannot be converted to 'PyString'"),
        ({"scope": []}, TypeError, "argument 'scope': 'list' object cannot be converted to 'Scope'"),
        ({"scope": M.InClass}, TypeError, "argument 'scope': 'Membership' object cannot be converted to 'Scope'"),
        ({"context_fingerprint": 5}, TypeError, "argument 'context_fingerprint': 'int' object cannot be converted to 'PyString'"),
        ({"claim_id": 1, "gaps": "g"}, TypeError, "argument 'claim_id': 'int' object cannot be converted to 'PyString'"),
        ({"expiry": 1, "membership": 1}, TypeError, "argument 'membership': 'int' object cannot be converted to 'Membership'"),
        ({"gaps": "g", "tokens": [1]}, TypeError, "argument 'gaps': Can't extract `str` to `Vec`"),
        ({"tokens": [1], "profiles": [1]}, TypeError, "argument 'profiles': 'int' object cannot be converted to 'Profile'"),
        ({"context_fingerprint": 1, "scope": 1}, TypeError, "argument 'scope': 'int' object cannot be converted to 'Scope'"),
        ({"disallowed_uses": 1, "scope": 1}, TypeError, "argument 'disallowed_uses': 'int' object cannot be converted to 'Sequence'"),
        ({"context_fingerprint": 1, "allowed_use": "\ud800"}, UnicodeEncodeError, None),
        ({"fingerprint": "fp"}, TypeError, "ProofContext.__new__() got an unexpected keyword argument 'fingerprint'"),
    ],
)  # fmt: skip
def test_context_errors(overrides, exc, message):
    with pytest.raises(exc) as info:
        context(**overrides)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_context_binding_messages():
    with pytest.raises(TypeError) as info:
        Ctx()
    assert str(info.value) == (
        "ProofContext.__new__() missing 7 required positional arguments: 'claim_id',"
        " 'candidate_id', 'context_id', 'allowed_use', 'membership', 'authority_ceiling',"
        " and 'expiry'"
    )
    with pytest.raises(TypeError) as info:
        Ctx("c", "k", "x", "u", M.InClass, P.AAA)
    assert str(info.value) == (
        "ProofContext.__new__() missing 1 required positional argument: 'expiry'"
    )
    with pytest.raises(TypeError) as info:
        Ctx(*["c"] * 14)
    assert str(info.value) == (
        "ProofContext.__new__() takes from 7 to 13 positional arguments but 14 were given"
    )


@pytest.mark.parametrize("field", ["claim_id", "candidate_id", "context_id", "allowed_use", "context_fingerprint"])  # fmt: skip
def test_context_keeps_nul_and_refuses_surrogates(field):
    if field != "context_fingerprint":
        assert getattr(context(**{field: "a\0b"}), field) == "a\0b"
    with pytest.raises(UnicodeEncodeError):
        context(**{field: "\udc80"})


def test_inputs_are_copied_and_left_unchanged():
    gaps = [oq.GapRecord("g1", "t"), oq.GapRecord("g2", "t", "bounded", 2.0)]
    profiles = [oq.Profile(P.ESC, [oq.GapRequirement("g1", "closed")])]
    tokens = [tok("a"), tok("b")]
    uses = ["write"]
    scope = S(["k"], ["p"])
    copies = (list(gaps), list(profiles), list(tokens), list(uses))
    ids = [id(x) for x in (*gaps, *profiles, *tokens)]
    ctx = context(gaps=gaps, profiles=profiles, tokens=tokens, disallowed_uses=uses, scope=scope)
    assert (gaps, profiles, tokens, uses) == copies
    assert [id(x) for x in (*gaps, *profiles, *tokens)] == ids
    assert gaps == [oq.GapRecord("g1", "t"), oq.GapRecord("g2", "t", "bounded", 2.0)]
    assert scope == S(["k"], ["p"])
    gaps.clear()
    tokens.append(tok("c"))
    assert repr(ctx) == "ProofContext(claim_id=claim, candidate_id=cand, allowed_use=read)"


def test_huge_token_list():
    tokens = [tok(f"t{i}") for i in range(100_000)]
    before = list(tokens)
    ctx = context(tokens=tokens, gaps=[oq.GapRecord(f"g{i}", "t") for i in range(1000)])
    assert tokens == before
    assert ctx.provenance_hash() == oq.compute_provenance_hash("claim", "cand", "ctx", "read")
