"""Nesting at the reader's bounds through every entry point: a request as deep as the reader
takes is judged, recorded, logged and audited by the library, the tool, the store and the
service; one level deeper, and far deeper, it is refused with the path of the value, never with
a RecursionError or a 500."""

import contextlib
import io
import json
import os
from pathlib import Path

import pytest
from ostrel_quorvane import cli
from ostrel_quorvane.decision import decide
from ostrel_quorvane.files import InputError
from ostrel_quorvane.record import audit, read_record
from ostrel_quorvane.request import loads_json, loads_request
from ostrel_quorvane.store import canonical_record, content_hash, open_store

BASE = json.loads((Path(__file__).parents[1] / "examples/agent-tool-run/request.json").read_text())
LIMIT = 500  # levels of nesting a request may have
SERVICE = not os.environ.get("OQ_EXTENSION_DIR")


def nested(depth):
    """A request nested exactly ``depth`` levels, through disjunctions of one arm each: valid
    at odd depths; at even ones its innermost disjunction is empty, which the engine refuses."""
    arms, rest = divmod(depth - 5, 2)
    leaf = '{"any_of": []}' if rest else '{"gap_id": "identity", "minimum_status": "closed"}'
    requirement = '{"any_of": [' * arms + leaf + "]}" * arms
    document = json.dumps({**BASE, "profiles": [{"permission": "ALR", "required_gaps": []}]})
    return document.replace('"required_gaps": []', f'"required_gaps": [{requirement}]')


# (depth, what becomes of it): decided, refused by the engine, or refused by the reader
DEPTHS = [
    (LIMIT - 1, "decided"),
    (LIMIT, "refused_input"),
    (LIMIT + 1, "malformed_input"),
    (999, "malformed_input"),
    (1000, "refused_input_or_malformed"),
    (1001, "malformed_input"),
]


def call(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err):
        status = cli.main([str(arg) for arg in argv], out)
    return status, out.getvalue(), err.getvalue()


def expect(outcome, depth):
    if outcome == "refused_input_or_malformed":
        return "decided" if depth <= LIMIT else "malformed_input"
    return outcome


@pytest.mark.parametrize(("depth", "outcome"), DEPTHS)
def test_the_library_and_the_store(depth, outcome, tmp_path):
    outcome = expect(outcome, depth)
    text = nested(depth)
    if outcome == "malformed_input":
        with pytest.raises(InputError) as info:
            loads_request(text)
        assert info.value.path.startswith("$.profiles[0].required_gaps[0].any_of[0]")
        assert "at most 500 levels" in info.value.detail
        return
    if outcome == "refused_input":
        with pytest.raises(InputError, match="zero arms"):
            decide(text, source="deep", at=1765267200.0)
        return
    record = decide(text, source="deep", at=1765267200.0).record
    with open_store(tmp_path / "store.db") as store:
        entry = store.append(record)
        assert store.verify() is None
        recorded = read_record(entry.decision(), "entry")
        assert audit(recorded, _default_registry()).permission_str == "ALR"
        assert loads_json(entry.record)["inputs"][0]["request"]["claim_id"] == BASE["claim_id"]


def _default_registry():
    import _ostrel_quorvane as oq

    registry = oq.InMemoryChainRegistry()
    registry.publish(oq.PermissionChain.default_chain())
    return registry


@pytest.mark.parametrize(("depth", "outcome"), DEPTHS)
def test_the_tool(depth, outcome, tmp_path):
    outcome = expect(outcome, depth)
    request = tmp_path / "request.json"
    request.write_text(nested(depth))
    store = tmp_path / "store.db"
    status, out, err = call("decide", request, "--json", "--log", store)
    assert "Traceback" not in err and "Recursion" not in err
    if outcome != "decided":
        assert (status, out, json.loads(err)["error"]) == (2, "", outcome)
        assert call("check", request)[0] == 2
        return
    assert status == 0
    record = tmp_path / "decision.json"
    record.write_text(out)
    assert call("check", request)[0] == 0
    assert call("audit", record, "--store", store)[0] == 0
    status, out, _ = call("log", "audit", store)
    assert (status, out.splitlines()[-1].endswith("1 decisions audited, 0 differ")) == (0, True)
    batch = tmp_path / "batch.jsonl"
    batch.write_text(nested(depth) + "\n")
    assert call("decide", "--batch", batch, "--log", store)[0] == 0
    assert call("log", "verify", store)[0] == 0


@pytest.mark.skipif(not SERVICE, reason="the service is not run under the sanitizers")
def test_the_service(tmp_path):
    from test_service import Server

    server = Server(tmp_path, tmp_path / "store.db")
    try:
        for depth, outcome in DEPTHS:
            outcome = expect(outcome, depth)
            status, data, headers = server.call("POST", "/v1/decide", nested(depth))
            if outcome != "decided":
                assert (status, json.loads(data)["error"]) == (
                    400 if outcome == "malformed_input" else 422,
                    outcome,
                ), depth
                continue
            assert status == 200 and "x-log-sequence" in headers, data[:300]
            answer = server.call("POST", "/v1/audit", data)
            assert answer[0] == 200, answer[1]
            digest = headers["x-content-hash"]
            logged = server.call("GET", f"/v1/decisions/{digest}", token="s3cret-token")[1]
            assert logged.decode() == canonical_record(data)
            assert content_hash(logged.decode()) == digest
            pair = json.dumps({"first": json.loads(nested(depth)), "second": BASE})
            assert server.call("POST", "/v1/compose", pair)[0] == 200
            lines = server.call(
                "POST", "/v1/decide/batch", nested(depth) + "\n" + "[]\n", "application/x-ndjson"
            )
            assert lines[0] == 200 and len(lines[1].splitlines()) == 2
        status, data, _ = server.call("GET", "/v1/log/verify", token="s3cret-token")
        assert json.loads(data)["ok"] is True
    finally:
        server.stop()
