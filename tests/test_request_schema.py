"""The shipped JSON Schema and the request reader accept the same request and chain files."""

import copy
import functools
import json
import operator
from pathlib import Path

import jsonschema
import pytest
from _ostrel_quorvane import PermissionChain
from ostrel_quorvane import request

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
SCHEMA = json.loads(request.schema_path().read_text(encoding="utf-8"))
Validator = jsonschema.Draft202012Validator
REQUEST = Validator(SCHEMA, format_checker=Validator.FORMAT_CHECKER)
CHAIN = Validator({"$ref": "#/$defs/chain", "$defs": SCHEMA["$defs"]})
REQUEST_FILES = sorted(p for name in ("request", "a", "b") for p in EXAMPLES.glob(f"*/{name}.json"))
CHAIN_FILES = sorted([*EXAMPLES.glob("chains/*.json"), *EXAMPLES.glob("custom-chain/chain.json")])
GAP = {"gap_id": "g", "minimum_status": "closed"}
BASE = json.loads("""{
  "claim_id": "c", "candidate_id": "agent", "context_id": "ctx", "allowed_use": "run",
  "membership": "InClass", "authority_ceiling": "ALR", "expiry": {"at": "2099-01-01T00:00:00Z"},
  "gaps": [{"gap_id": "g", "gap_type": "t", "status": "bounded", "bound_value": 0.5}],
  "profiles": [{"permission": "ALR", "required_gaps": [{"gap_id": "g", "minimum_status": "closed"}]}],
  "tokens": [{
    "token_id": "t", "token_type": "k", "schema_version": "1", "status": "valid",
    "closes_gaps": ["g"], "bounds_gaps": [], "issued_at": 1765267200, "issuer": "i",
    "provenance_hash": "abababababababababababababababababababababababababababababababab"
  }],
  "runtime": {"now": 1765267300, "negative_control_states": {"t": "Live"}}
}""")
DROP = object()
# (name, path into BASE, value put there or DROP to delete, whether the file is well formed)
CASES = [
    ("base", (), BASE, True),
    ("not an object", (), [], False),
    ("unknown field", ("extra",), 1, False),
    ("unknown gap field", ("gaps", 0, "note"), "x", False),
    ("unknown token field", ("tokens", 0, "note"), "x", False),
    ("unknown runtime field", ("runtime", "later"), 1, False),
    ("missing claim_id", ("claim_id",), DROP, False),
    ("missing issuer", ("tokens", 0, "issuer"), DROP, False),
    ("null claim_id", ("claim_id",), None, False),
    ("null membership", ("membership",), None, False),
    ("null closes_gaps", ("tokens", 0, "closes_gaps"), None, False),
    ("null among strings", ("tokens", 0, "closes_gaps"), ["g", None], False),
    ("null gaps", ("gaps",), None, True),
    ("null gap status", ("gaps", 0, "status"), None, True),
    ("null expires_at", ("tokens", 0, "expires_at"), None, True),
    ("null strict_mode", ("runtime", "strict_mode"), None, True),
    ("null scope list", ("scope",), {"allowed_tools": None}, True),
    ("any details", ("tokens", 0, "details"), [1, {"a": None}], True),
    ("bound as string", ("gaps", 0, "bound_value"), "0.5", False),
    ("time as bool", ("tokens", 0, "issued_at"), True, False),
    ("time as digits", ("tokens", 0, "issued_at"), "1765267200", False),
    ("time with offset", ("tokens", 0, "issued_at"), "2026-12-09T08:00:00.5+02:00", True),
    ("time lower-case t", ("tokens", 0, "issued_at"), "2026-12-09t08:00:00Z", True),
    ("time without offset", ("tokens", 0, "issued_at"), "2026-12-09T08:00:00", False),
    ("time without T", ("tokens", 0, "issued_at"), "2026-12-09 08:00:00Z", False),
    ("leap second", ("tokens", 0, "issued_at"), "2026-12-31T23:59:60Z", False),
    ("flag as string", ("runtime", "strict_mode"), "yes", False),
    ("tokens as object", ("tokens",), {}, False),
    ("scope list as string", ("scope",), {"allowed_tools": "x"}, False),
    ("nested any_of", ("profiles", 0, "required_gaps", 0), {"any_of": [{"any_of": [GAP]}]}, True),
    ("empty any_of", ("profiles", 0, "required_gaps", 0), {"any_of": []}, True),
    (
        "any_of and gap_id",
        ("profiles", 0, "required_gaps", 0),
        {"any_of": [], "gap_id": "g"},
        False,
    ),
    ("null any_of", ("profiles", 0, "required_gaps", 0), {"any_of": None}, False),
    ("requirement w/o minimum", ("profiles", 0, "required_gaps", 0), {"gap_id": "g"}, False),
    ("other membership", ("membership",), {"other": "contractor"}, True),
    ("unknown membership", ("membership",), "Other", False),
    ("other reason as number", ("membership",), {"other": 1}, False),
    ("other with extra", ("membership",), {"other": "x", "why": "y"}, False),
    ("never", ("expiry",), "never", True),
    ("Never", ("expiry",), "Never", False),
    ("null deadline", ("expiry",), {"at": None}, False),
    ("lower-case state", ("runtime", "negative_control_states"), {"t": "live"}, False),
    ("default chain", ("chain",), request.chain_document(PermissionChain.default_chain()), True),
    ("chain without roles", ("chain",), {"levels": ["a"]}, False),
    ("unknown role", ("chain",), {"levels": ["a"], "roles": {"Middle": 0}}, False),
    ("negative role", ("chain",), {"levels": ["a"], "roles": {"Top": -1}}, False),
    ("role as bool", ("chain",), {"levels": ["a"], "roles": {"Top": True}}, False),
    ("null role", ("chain",), {"levels": ["a"], "roles": {"Top": None}}, False),
]


def mutated(path, value):
    if not path:
        return copy.deepcopy(value)
    document = copy.deepcopy(BASE)
    *parents, last = path
    target = functools.reduce(operator.getitem, parents, document)
    if value is DROP:
        del target[last]
    else:
        target[last] = copy.deepcopy(value)
    return document


def reader_accepts(document):
    try:
        request.read_request(document)
    except request.RequestFileError:
        return False
    except request.EngineRefusal:  # well formed, refused on its values
        pass
    return True


def test_schema_is_a_valid_schema():
    Validator.check_schema(SCHEMA)


@pytest.mark.parametrize("path", REQUEST_FILES, ids=lambda p: str(p.relative_to(EXAMPLES)))
def test_example_requests_follow_the_schema(path):
    REQUEST.validate(request.load_json(path))


@pytest.mark.parametrize("path", CHAIN_FILES, ids=lambda p: str(p.relative_to(EXAMPLES)))
def test_example_chains_follow_the_chain_schema(path):
    CHAIN.validate(request.load_json(path))


@pytest.mark.parametrize(
    ("path", "value", "valid"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_schema_and_reader_agree(path, value, valid):
    document = mutated(path, value)
    assert REQUEST.is_valid(document) is valid
    assert reader_accepts(document) is valid
