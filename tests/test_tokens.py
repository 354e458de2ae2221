"""ProofToken, its JSON details and the provenance hash."""

import hashlib
import json
import operator

import _ostrel_quorvane as oq
import pytest
from hostile import BrokenItems, FloatRaises, IndexRaises, Indexy, Items, Texty
from hypothesis import given
from hypothesis import strategies as st

T = oq.ProofToken
STATUSES = ["valid", "invalid", "expired", "revoked", "malformed"]
JSON_ERROR = "Invalid JSON for details: "
AT_LINE_COLUMN = r" at line \d+ column \d+$"


def token(**overrides):
    fields = dict(
        token_id="t1", token_type="attest", schema_version="1", status="valid",
        closes_gaps=["g1"], bounds_gaps=[], provenance_hash="h", issued_at=0.0, issuer="iss",
    )  # fmt: skip
    fields.update(overrides)
    return T(**fields)


def details_of(text):
    return token(details=text).details


def json_error(text):
    with pytest.raises(ValueError) as info:
        token(details=text)
    message = str(info.value)
    assert message.startswith(JSON_ERROR)
    return message


def test_signatures_and_docstrings():
    assert T.__text_signature__ == (
        "(token_id, token_type, schema_version, status, closes_gaps, bounds_gaps, provenance_hash,"
        " issued_at, issuer, expires_at=None, details=None, is_negative_control=False)"
    )
    assert T.__doc__ == ""
    assert T.details.__doc__ == "The details payload as a JSON string, or None if not set."
    assert oq.compute_provenance_hash.__text_signature__ == (
        "(claim_id, candidate_id, context_id, allowed_use)"
    )
    assert oq.compute_provenance_hash.__doc__ == "Compute the provenance hash for a context tuple."
    assert oq.compute_provenance_hash.__module__ == "_ostrel_quorvane"


def test_getters():
    tok = T("t1", "attest", "2.0", "revoked", ("a", "b", "a"), ["c"], "ph", 5, "iss",
            10, '{"k": [1]}', True)  # fmt: skip
    assert (tok.token_id, tok.token_type, tok.schema_version, tok.status) == (
        "t1", "attest", "2.0", "revoked")  # fmt: skip
    assert (tok.provenance_hash, tok.issuer, tok.is_negative_control) == ("ph", "iss", True)
    assert tok.closes_gaps == ["a", "b", "a"]
    assert tok.bounds_gaps == ["c"]
    assert tok.details == '{"k":[1]}'
    assert tok.closes_gaps is not tok.closes_gaps
    tok.closes_gaps.append("z")
    assert tok.closes_gaps == ["a", "b", "a"]
    assert token().is_negative_control is False
    assert token().details is None
    for name in ("token_id", "status", "closes_gaps", "details", "is_negative_control"):
        with pytest.raises(AttributeError):
            setattr(tok, name, getattr(tok, name))
    for name in ("issued_at", "expires_at"):
        assert not hasattr(tok, name)


@pytest.mark.parametrize("status", STATUSES)
@pytest.mark.parametrize("nc", [False, True])
def test_repr(status, nc):
    tok = token(token_id='a"\n', token_type="\0x", status=status, is_negative_control=nc)
    assert tok.status == status
    assert repr(tok) == f'ProofToken(id=a"\n, type=\0x, status={status}, nc={str(nc).lower()})'


def test_repr_of_plain_token():
    assert repr(token()) == "ProofToken(id=t1, type=attest, status=valid, nc=false)"


@pytest.mark.parametrize(
    "overrides, exc, message",
    [
        ({"status": "Valid"}, ValueError, "Unknown token status: Valid"),
        ({"status": ""}, ValueError, "Unknown token status: "),
        ({"status": " valid"}, ValueError, "Unknown token status:  valid"),
        ({"status": 'x"\n'}, ValueError, 'Unknown token status: x"\n'),
        ({"status": "bad", "details": "{"}, ValueError, "Unknown token status: bad"),
        ({"status": "bad", "issued_at": "x"}, TypeError, "argument 'issued_at': must be real number, not str"),
        ({"status": "bad", "is_negative_control": 0}, TypeError, "argument 'is_negative_control': 'int' object cannot be converted to 'PyBool'"),
        ({"token_id": 1}, TypeError, "argument 'token_id': 'int' object cannot be converted to 'PyString'"),
        ({"token_type": None}, TypeError, "argument 'token_type': 'NoneType' object cannot be converted to 'PyString'"),
        ({"schema_version": 1.0}, TypeError, "argument 'schema_version': 'float' object cannot be converted to 'PyString'"),
        ({"status": b"valid"}, TypeError, "argument 'status': 'bytes' object cannot be converted to 'PyString'"),
        ({"closes_gaps": "g1"}, TypeError, "argument 'closes_gaps': Can't extract `str` to `Vec`"),
        ({"closes_gaps": Texty("g1")}, TypeError, "argument 'closes_gaps': Can't extract `str` to `Vec`"),
        ({"closes_gaps": None}, TypeError, "argument 'closes_gaps': 'NoneType' object cannot be converted to 'Sequence'"),
        ({"closes_gaps": ["g", 1]}, TypeError, "argument 'closes_gaps': 'int' object cannot be converted to 'PyString'"),
        ({"closes_gaps": [b"g"]}, TypeError, "argument 'closes_gaps': 'bytes' object cannot be converted to 'PyString'"),
        ({"closes_gaps": BrokenItems(TypeError("bad item"))}, TypeError, "argument 'closes_gaps': bad item"),
        ({"closes_gaps": BrokenItems(KeyError("gone"))}, KeyError, "'gone'"),
        ({"bounds_gaps": "g1"}, TypeError, "argument 'bounds_gaps': Can't extract `str` to `Vec`"),
        ({"bounds_gaps": 5}, TypeError, "argument 'bounds_gaps': 'int' object cannot be converted to 'Sequence'"),
        ({"bounds_gaps": [None]}, TypeError, "argument 'bounds_gaps': 'NoneType' object cannot be converted to 'PyString'"),
        ({"bounds_gaps": BrokenItems(TypeError("bad item"))}, TypeError, "argument 'bounds_gaps': bad item"),
        ({"provenance_hash": 0}, TypeError, "argument 'provenance_hash': 'int' object cannot be converted to 'PyString'"),
        ({"issued_at": None}, TypeError, "argument 'issued_at': must be real number, not NoneType"),
        ({"issued_at": "1"}, TypeError, "argument 'issued_at': must be real number, not str"),
        ({"issued_at": FloatRaises(TypeError("no float"))}, TypeError, "argument 'issued_at': no float"),
        ({"issued_at": IndexRaises(TypeError("no index"))}, TypeError, "argument 'issued_at': no index"),
        ({"issued_at": FloatRaises(ValueError("bad float"))}, ValueError, "bad float"),
        ({"issued_at": IndexRaises(ValueError("bad index"))}, ValueError, "bad index"),
        ({"issued_at": 2**1100}, OverflowError, "int too large to convert to float"),
        ({"issuer": []}, TypeError, "argument 'issuer': 'list' object cannot be converted to 'PyString'"),
        ({"expires_at": "x"}, TypeError, "argument 'expires_at': must be real number, not str"),
        ({"expires_at": FloatRaises(TypeError("no float"))}, TypeError, "argument 'expires_at': no float"),
        ({"expires_at": FloatRaises(ValueError("bad float"))}, ValueError, "bad float"),
        ({"details": 5}, TypeError, "argument 'details': 'int' object cannot be converted to 'PyString'"),
        ({"details": {"a": 1}}, TypeError, "argument 'details': 'dict' object cannot be converted to 'PyString'"),
        ({"details": b"{}"}, TypeError, "argument 'details': 'bytes' object cannot be converted to 'PyString'"),
        ({"is_negative_control": 1}, TypeError, "argument 'is_negative_control': 'int' object cannot be converted to 'PyBool'"),
        ({"is_negative_control": None}, TypeError, "argument 'is_negative_control': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"is_negative_control": "true"}, TypeError, "argument 'is_negative_control': 'str' object cannot be converted to 'PyBool'"),
        ({"token_id": 1, "issued_at": "x", "details": 5}, TypeError, "argument 'token_id': 'int' object cannot be converted to 'PyString'"),
        ({"issued_at": "x", "details": 5}, TypeError, "argument 'issued_at': must be real number, not str"),
        ({"status": "bad", "details": 5}, TypeError, "argument 'details': 'int' object cannot be converted to 'PyString'"),
        ({"extra": 1}, TypeError, "ProofToken.__new__() got an unexpected keyword argument 'extra'"),
    ],
)  # fmt: skip
def test_construction_errors(overrides, exc, message):
    with pytest.raises(exc) as info:
        token(**overrides)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_binding_messages():
    with pytest.raises(TypeError) as info:
        T()
    assert str(info.value) == (
        "ProofToken.__new__() missing 9 required positional arguments: 'token_id', 'token_type',"
        " 'schema_version', 'status', 'closes_gaps', 'bounds_gaps', 'provenance_hash',"
        " 'issued_at', and 'issuer'"
    )
    with pytest.raises(TypeError) as info:
        T(*["x"] * 4, [], [], "h", 0, "i", None, None, False, 1)
    assert str(info.value) == (
        "ProofToken.__new__() takes from 9 to 12 positional arguments but 13 were given"
    )


def test_non_type_errors_are_passed_as_they_are():
    root = ValueError("root")
    with pytest.raises(ValueError) as info:
        token(expires_at=FloatRaises(root))
    assert info.value is root
    plain = TypeError("plain")
    with pytest.raises(TypeError) as info:
        token(closes_gaps=BrokenItems(plain))
    assert info.value is not plain
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "value",
    [float("nan"), -float("nan"), float("inf"), -float("inf"), 1e300, -1e300, 2.0**63, -(2.0**63) * 2,
     1.9, -1.5, 0, True, 2**62, Indexy()],
)  # fmt: skip
def test_any_real_time_is_accepted(value):
    assert token(issued_at=value, expires_at=value).status == "valid"


def test_text_arguments():
    tok = token(token_id="a\0b", issuer=Texty("who"), token_type=Texty("kind"),
                status=Texty("expired"), closes_gaps=[Texty("g"), "h\0"], details=Texty("[1]"))  # fmt: skip
    assert tok.token_id == "a\0b"
    assert type(tok.issuer) is str and tok.issuer == "who"
    assert tok.status == "expired"
    assert tok.closes_gaps == ["g", "h\0"]
    assert all(type(g) is str for g in tok.closes_gaps)
    assert tok.details == "[1]"
    assert token(token_id="").token_id == ""
    assert token(token_id="😀é").token_id == "😀é"


@pytest.mark.parametrize("field", ["token_id", "token_type", "schema_version", "status", "provenance_hash", "issuer", "details"])  # fmt: skip
def test_lone_surrogates_are_refused(field):
    with pytest.raises(UnicodeEncodeError):
        token(**{field: '"\ud800"'})


@pytest.mark.parametrize("field", ["closes_gaps", "bounds_gaps"])
def test_lone_surrogate_in_a_list(field):
    with pytest.raises(UnicodeEncodeError):
        token(**{field: ["ok", "\udfff"]})


def test_sequences_of_any_kind():
    assert token(closes_gaps=("a", "b"), bounds_gaps=Items(["c"])).closes_gaps == ["a", "b"]
    assert token(bounds_gaps=Items(["c", "d"])).bounds_gaps == ["c", "d"]
    assert token(closes_gaps=(), bounds_gaps=[]).closes_gaps == []


def test_inputs_are_copied_and_left_unchanged():
    closes = ["g1", "g2", "g1"]
    bounds = ("b",)
    before = list(closes)
    tok = token(closes_gaps=closes, bounds_gaps=bounds)
    assert closes == before
    assert bounds == ("b",)
    closes.append("g3")
    assert tok.closes_gaps == before


# Ids are kept encoded with their lengths inside the token: lengths on both sides of every width
# the encoding switches at, and the characters that take one to four bytes, read back as given.
ID_TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=300) | st.sampled_from(
    ["", "x" * 14, "x" * 15, "y" * 127, "y" * 128, "z" * 16_384, "\0", "é😀"]
)


@given(st.lists(ID_TEXT, max_size=6), st.lists(ID_TEXT, max_size=6))
def test_gap_ids_read_back_as_given(closes, bounds):
    tok = token(closes_gaps=closes, bounds_gaps=bounds)
    assert (tok.closes_gaps, tok.bounds_gaps) == (closes, bounds)


def test_huge_gap_lists():
    ids = [f"gap-{i}" for i in range(100_000)]
    before = list(ids)
    tok = token(closes_gaps=ids, bounds_gaps=ids)
    assert tok.closes_gaps == ids == before
    assert len(tok.bounds_gaps) == 100_000


@pytest.mark.parametrize(
    "text, expected",
    [
        (None, None),
        ("null", None),
        ("  null\n", None),
        ('{"b": 1, "a": [true, null]}', '{"a":[true,null],"b":1}'),
        ('{"z":1,"a":2}', '{"a":2,"z":1}'),
        ('{"a":1,"a":2}', '{"a":2}'),
        ('{"a":{"y":1,"x":2},"a":[3]}', '{"a":[3]}'),
        ('{"b":0,"a":{"d":[{"f":1,"e":2}],"c":3}}', '{"a":{"c":3,"d":[{"e":2,"f":1}]},"b":0}'),
        ('{"é":1,"z":2,"Z":3,"~":4,"\\u00e9":5}', '{"Z":3,"z":2,"~":4,"é":5}'),
        ('{"aa":1,"a":2,"":3}', '{"":3,"a":2,"aa":1}'),
        ('{"\\ud83d\\ude00":1,"\\uffff":2}', '{"\uffff":2,"😀":1}'),
        ("18446744073709551615", "18446744073709551615"),
        ("-9223372036854775808", "-9223372036854775808"),
        ("9223372036854775807", "9223372036854775807"),
        ("[0, -0, 12, -12]", "[0,0,12,-12]"),
        ("18446744073709551616", "1.8446744073709552e+19"),
        ("-9223372036854775809", "-9.223372036854776e+18"),
        ("[1.0, -0.0, 0.1, 1E2, 1.5e-3, 0.30000000000000004, 5e-324]", "[1.0,-0.0,0.1,100.0,0.0015,0.30000000000000004,5e-324]"),
        ("1.7976931348623157e308", "1.7976931348623157e+308"),
        ("1e-400", "0.0"),
        ('"a\\u0000b"', '"a\\u0000b"'),
        ('"\\u001f\\b\\f\\n\\r\\t\\"\\\\\\/"', '"\\u001f\\b\\f\\n\\r\\t\\"\\\\/"'),
        ('"\\u00e9\\u2028\u007f"', '"é\u2028\u007f"'),
        ('"\\ud83d\\ude00"', '"😀"'),
        (" \t\r\n true \n", "true"),
        ("false", "false"),
        ('""', '""'),
        ("[]", "[]"),
        ("{}", "{}"),
        ("[" * 128 + "]" * 128, "[" * 128 + "]" * 128),
        ('{"a":' * 128 + "1" + "}" * 128, '{"a":' * 128 + "1" + "}" * 128),
        ('[{"a":' * 64 + "1" + "}]" * 64, '[{"a":' * 64 + "1" + "}]" * 64),
    ],
)  # fmt: skip
def test_details_are_normalised(text, expected):
    assert details_of(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "", " ", "{", "}", "[1,]", '{"a":1,}', "[1 2]", '{"a" 1}', "{'a':1}", "'a'", "01", "+1", ".5", "1.",
        "1e", "0x10", "NaN", "Infinity", "-Infinity", "nan", "True", "None", "undefined", '{"a":1} x', "1 2",
        "[1]]", '"abc', '"a\nb"', '"a\tb"', '"\\x41"', '"\\u12"', '"\\q"', "[1,\n 2,]", "\n\n  [1,\n   x]",
        '{1:2}', "/* c */ 1", "\0", "\x001",
    ],
)  # fmt: skip
def test_invalid_details(text):
    assert json_error(text)
    with pytest.raises(ValueError, match=AT_LINE_COLUMN):
        token(details=text)


@pytest.mark.parametrize(
    "text",
    [
        "[" * 129 + "]" * 129,
        "[" * 129,
        "[" * 10_000_000,
        "[" * 10_000_000 + "]" * 10_000_000,
        '{"a":' * 129 + "1" + "}" * 129,
        '{"a":' * 10_000_000,
        '[{"a":' * 65 + "1" + "}]" * 65,
        "[" * 128 + "{}" + "]" * 128,
    ],
    ids=["129 arrays", "129 open", "10M open", "10M arrays", "129 objects", "10M objects", "130 mixed", "129 with object"],
)  # fmt: skip
def test_nesting_deeper_than_128_is_refused(text):
    message = json_error(text)
    assert message.startswith(JSON_ERROR)
    with pytest.raises(ValueError, match=AT_LINE_COLUMN):
        token(details=text)


@pytest.mark.parametrize(
    "text",
    ["1e400", "-1e400", "1e309", "[1e400]", '{"a":-1e400}', "1" * 400, "-" + "9" * 310 + ".5"],
)
def test_numbers_beyond_a_double_are_refused(text):
    json_error(text)
    with pytest.raises(ValueError, match=AT_LINE_COLUMN):
        token(details=text)


@pytest.mark.parametrize(
    "text",
    ['"\\ud800"', '"\\udc00"', '"\\udbff"', '"\\uDFFF"', '"\\ud800\\u0041"', '"\\ude00\\ud83d"', '{"\\ud800":1}', '["\\ud800x"]'],
)  # fmt: skip
def test_unpaired_surrogate_escapes_are_refused(text):
    json_error(text)
    with pytest.raises(ValueError, match=AT_LINE_COLUMN):
        token(details=text)


def test_error_position():
    assert json_error("[1,\n 2,]").endswith(" at line 2 column 4")
    assert json_error("").endswith(" at line 1 column 1")
    assert json_error("[" * 129).endswith(" at line 1 column 129")


@pytest.mark.parametrize("text", ["1\0", "1\0x", '{"a":1}\0garbage', "[1]\0]", "1 \0 2"])
def test_text_after_a_nul_is_trailing_garbage(text):
    # A raw NUL must not end the input early: what follows it would be silently dropped.
    assert "NUL" in json_error(text)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (token(), token(), True),
        (token(status="valid"), token(status="revoked"), True),
        (token(token_type="x", schema_version="2", issuer="o", closes_gaps=[], bounds_gaps=["z"],
               issued_at=5, expires_at=9, details="[1]", is_negative_control=True), token(), True),
        (token(token_id="t2"), token(), False),
        (token(provenance_hash="h2"), token(), False),
        (token(token_id="t\0"), token(), False),
        (token(token_id="", provenance_hash=""), token(token_id="", provenance_hash=""), True),
    ],
)  # fmt: skip
def test_token_equality(a, b, equal):
    assert (a == b) is equal
    assert (b == a) is equal
    assert (a != b) is not equal


def test_token_is_unordered_and_unhashable():
    tok = token()
    assert tok.__eq__("t1") is NotImplemented
    assert tok != "t1"
    assert T.__hash__ is None
    with pytest.raises(TypeError):
        hash(tok)
    for compare in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            compare(tok, tok)


@pytest.mark.parametrize(
    "fields, digest",
    [
        (("a", "b", "c", "read"), "0d67a03db78fb61b3867d01b02005ba37381bade6f11e63fd44d0fd6a137415f"),
        (("", "", "", ""), "709e80c88487a2411e1ee4dfb9f22a861492d20c4765150c0c794abd70f8147c"),
    ],
)  # fmt: skip
def test_provenance_hash_examples(fields, digest):
    assert oq.compute_provenance_hash(*fields) == digest
    assert oq.compute_provenance_hash(*(Texty(f) for f in fields)) == digest


def test_provenance_hash_fields_are_joined_without_escaping():
    h = oq.compute_provenance_hash
    assert h("a\0", "b", "c", "d") == h("a", "\0b", "c", "d")
    assert h("a", "b", "c", "d") != h("a", "b", "c", "d\0")
    assert h("ab", "", "c", "d") != h("a", "b", "c", "d")


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: oq.compute_provenance_hash("a"), TypeError, "compute_provenance_hash() missing 3 required positional arguments: 'candidate_id', 'context_id', and 'allowed_use'"),
        (lambda: oq.compute_provenance_hash("a", "b", "c", 5), TypeError, "argument 'allowed_use': 'int' object cannot be converted to 'PyString'"),
        (lambda: oq.compute_provenance_hash(None, 1, 2, 3), TypeError, "argument 'claim_id': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: oq.compute_provenance_hash("a", b"b", "c", "d"), TypeError, "argument 'candidate_id': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: oq.compute_provenance_hash("a", "b", "c", "d", "e"), TypeError, "compute_provenance_hash() takes 4 positional arguments but 5 were given"),
        (lambda: oq.compute_provenance_hash("a", "b", "\ud800", "d"), UnicodeEncodeError, None),
    ],
)  # fmt: skip
def test_provenance_hash_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message


JSON_VALUES = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner, max_size=5),
    max_leaves=20,
)


def has_float(value):
    if isinstance(value, float):
        return True
    if isinstance(value, list):
        return any(has_float(v) for v in value)
    if isinstance(value, dict):
        return any(has_float(v) for v in value.values())
    return False


@given(JSON_VALUES, st.sampled_from([None, 0, 2]), st.booleans())
def test_details_round_trip(value, indent, ascii_only):
    details = details_of(json.dumps(value, indent=indent, ensure_ascii=ascii_only))
    if value is None:
        assert details is None
        return
    assert json.loads(details) == value
    if not has_float(value):
        assert details == json.dumps(
            value, sort_keys=True, separators=(",", ":"), ensure_ascii=False
        )
    assert details_of(details) == details


JSONISH = st.text(alphabet='[]{}":,.-+eE0123456789tfnrulsa\\ \n\t')


@given(st.one_of(st.text(), JSONISH, st.text(alphabet=st.characters(exclude_categories=[]))))
def test_arbitrary_details_never_crash(text):
    try:
        details = details_of(text)
    except UnicodeEncodeError:
        return
    except ValueError as exc:
        assert str(exc).startswith(JSON_ERROR)
        return
    if details is not None:
        assert details_of(details) == details
        json.loads(details)


@given(st.text(), st.text(), st.text(), st.text())
def test_provenance_hash_is_sha256_of_nul_joined_fields(claim, candidate, context, use):
    expected = hashlib.sha256("\0".join((claim, candidate, context, use)).encode()).hexdigest()
    assert oq.compute_provenance_hash(claim, candidate, context, use) == expected


def test_numpy_booleans_are_accepted_as_booleans():
    np = pytest.importorskip("numpy")
    assert token(is_negative_control=np.bool_(True)).is_negative_control is True
    assert token(is_negative_control=np.bool_(False)).is_negative_control is False
    with pytest.raises(TypeError, match="'PyBool'"):
        token(is_negative_control=np.int64(1))
