"""One decision path: the same inputs through the library's front door, the tool and the service
give byte-identical records (the tool's display and its log entry, the service's answer), or the
same refusal."""

import contextlib
import io
import json
import os
from pathlib import Path

import pytest
from ostrel_quorvane import cli
from ostrel_quorvane.decision import ChainsDiffer, compose, decide
from ostrel_quorvane.files import EngineRefusal, RequestFileError
from ostrel_quorvane.request import load_chain
from ostrel_quorvane.store import canonical_record, open_store

EXAMPLES = Path(__file__).parents[1] / "examples"
W1 = json.loads((EXAMPLES / "agent-tool-run" / "request.json").read_text())
CUSTOM = (EXAMPLES / "custom-chain" / "request.json").read_text()
DATA_ACCESS = EXAMPLES / "chains" / "data-access.json"
AT = "2026-12-09T10:00:00Z"


def document(**changes):
    return json.dumps({**W1, **changes})


WITHOUT_USE = document(runtime=None).replace(', "runtime": null', "")
OWN_CHAIN = json.dumps({**json.loads(CUSTOM), "chain": json.loads(DATA_ACCESS.read_text())})
OTHER_CHAIN = json.dumps(
    {**W1, "chain": json.loads((EXAMPLES / "chains" / "default.json").read_text())}
)

# (name, the request documents, the chain named, the moment given, the refusal expected)
CASES = [
    ("its own moment of use", [document()], None, None, None),
    ("a moment given", [WITHOUT_USE], None, AT, None),
    ("a moment given over its own", [document()], None, AT, None),
    ("no moment of use, the moment its own", [document(runtime={"now": AT})], None, None, None),
    ("a chain named", [CUSTOM.replace('"description"', '"runtime": {"now": 1765270800}, "description"')], "data-access", None, None),
    ("a chain of its own", [OWN_CHAIN], None, AT, None),
    ("a composed pair", [document(), WITHOUT_USE], None, AT, None),
    ("a composed pair, its moment the first's", [document(), WITHOUT_USE], None, None, None),
    ("malformed", [document(claim_id=7)], None, AT, "malformed_input"),
    ("refused by the engine", [document(allowed_use="")], None, AT, "refused_input"),
    ("a pair under two chains", [OWN_CHAIN, OTHER_CHAIN], None, AT, "chains"),
]  # fmt: skip
IDS = [case[0] for case in CASES]


def library(documents, chain, at):
    """The front door's record, or the kind of its refusal."""
    named = load_chain(DATA_ACCESS) if chain else None
    try:
        if len(documents) == 2:
            return compose(*documents, sources=("first", "second"), chain=named, at=at).record
        return decide(documents[0], source="request", chain=named, at=at).record
    except ChainsDiffer:
        return "chains"
    except RequestFileError:
        return "malformed_input"
    except EngineRefusal:
        return "refused_input"


# What each refusal is called by the tool.
TOOL_ERRORS = {
    "malformed_input": "malformed_input",
    "refused_input": "refused_input",
    "chains": "usage",
}


def tool(documents, chain, at, folder):
    """The tool's record, as it prints it (compacted again) and as it logged it; or the kind of
    its refusal."""
    names = ["request"] if len(documents) == 1 else ["first", "second"]
    for name, text in zip(names, documents, strict=True):
        (folder / name).write_text(text)
    argv = ["decide" if len(documents) == 1 else "compose", *names, "--json", "--log", "store.db"]
    if chain:
        argv += ["--chain", str(DATA_ACCESS)]
    if at:
        argv += ["--at", at]
    out, err = io.StringIO(), io.StringIO()
    here = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stderr(err):
            status = cli.main(argv, out)
    finally:
        os.chdir(here)
    if status != 0:
        return json.loads(err.getvalue())["error"]
    printed = canonical_record(out.getvalue())
    with open_store(folder / "store.db", read_only=True) as log:
        (entry,) = log.entries()
    assert entry.record == printed  # what it logged is what it printed
    return printed


@pytest.mark.parametrize(("name", "documents", "chain", "at", "refusal"), CASES, ids=IDS)
def test_the_library_and_the_tool_give_the_same_record(
    name, documents, chain, at, refusal, tmp_path
):
    made = library(documents, chain, at)
    printed = tool(documents, chain, at, tmp_path)
    if refusal is None:
        assert printed == made and json.loads(made)["format"] == "ostrel-quorvane.decision/1"
    else:
        assert (made, printed) == (refusal, TOOL_ERRORS[refusal])


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    if os.environ.get("OQ_EXTENSION_DIR"):
        pytest.skip("the service is not run under the sanitizers")
    from test_service import TOKEN, Server

    folder = tmp_path_factory.mktemp("one-path")
    started = Server(folder, folder / "store.db", "--inline-chains")
    status, data, _ = started.call("PUT", "/v1/chains", DATA_ACCESS.read_bytes(), token=TOKEN)
    assert status == 201
    started.chain_hash = json.loads(data)["hash"]
    yield started
    started.stop()


STATUSES = {"malformed_input": 400, "refused_input": 422, "chains": 400}


@pytest.mark.parametrize(("name", "documents", "chain", "at", "refusal"), CASES, ids=IDS)
def test_the_service_answers_the_same_record(service, name, documents, chain, at, refusal):
    query = [f"at={at}"] if at else []
    if chain:
        query.append(f"chain={service.chain_hash}")
    if len(documents) == 2:
        path, body = (
            "/v1/compose",
            '{"first": ' + documents[0] + ', "second": ' + documents[1] + "}",
        )
    else:
        path, body = "/v1/decide", documents[0]
    status, data, headers = service.call(
        "POST", path + ("?" + "&".join(query) if query else ""), body
    )
    if refusal is not None:
        assert status == STATUSES[refusal], data
        return
    assert status == 200, data
    assert data.decode() == library(documents, chain, at)
    assert "x-log-sequence" in headers
