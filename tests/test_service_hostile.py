"""The service against hostile input on every route: each answer is the documented status with
a JSON error, never a 500; a batch answers every decision it logged, whatever its other lines
hold; and the query parameters and paths a caller can spell are refused as the documents say."""

import json
import os
import socket

import pytest

if os.environ.get("OQ_EXTENSION_DIR"):
    pytest.skip("the service is not run under the sanitizers", allow_module_level=True)

from ostrel_quorvane.store import canonical_record, content_hash, open_store  # noqa: E402
from test_service import TOKEN, W1, Server  # noqa: E402

BASE = json.loads(W1)


def with_token_details(details_text):
    """W1 with its first token's details written as ``details_text``, verbatim."""
    document = json.loads(W1)
    document["tokens"][0]["details"] = "@@"
    return json.dumps(document).replace('"@@"', details_text).encode()


def with_claim(claim_text):
    return json.dumps({**BASE, "claim_id": "@@"}).replace('"@@"', claim_text).encode()


# (name, body): each a request body that no route may answer with a 500 (a few are well formed).
HOSTILE = [
    ("lone surrogate in a key", with_token_details('{"\\udc00": 1}')),
    ("lone surrogate in a long key", with_token_details('{"' + "k" * 5000 + '\\ud800": 1}')),
    ("lone surrogate in a value", with_claim('"claim-\\ud800"')),
    ("raw invalid UTF-8", b'{"claim_id": "\xff\xfe"}'),
    ("a number no double holds", with_token_details('{"x": [1e400]}')),
    ("an integer of 4301 digits", with_token_details('{"x": ' + "7" * 4301 + "}")),
    ("an integer details cannot hold", with_token_details('{"x": ' + "7" * 400 + "}")),
    ("NaN", with_token_details('{"x": NaN}')),
    ("a duplicated key deep inside", with_token_details('{"x": {"y": 1, "y": 2}}')),
    ("details nested past their bound", with_token_details("[" * 130 + "]" * 130)),
    ("nesting past the bound", with_token_details("[" * 600 + "]" * 600)),
    ("nesting far past the bound", b"[" * 100_000 + b"]" * 100_000),
    ("an unknown field", json.dumps({**BASE, "approved_by": "me"}).encode()),
    ("a byte-order mark", b"\xef\xbb\xbf" + W1.encode()),
    ("a control character", with_claim('"a\x01b"')),
    ("a NUL escape", with_claim('"a\\u0000b"')),
    ("cut short", W1.encode()[:-40]),
    ("empty", b""),
    ("null", b"null"),
    ("an array", b"[]"),
    ("a string", b'"request"'),
    ("a number", b"1"),
    ("a chain of its own", json.dumps({**BASE, "chain": {"levels": ["A", "B"], "roles": {}}}).encode()),
]  # fmt: skip

BODY_ROUTES = [
    ("POST", "/v1/decide", lambda body: body, {200, 400, 403, 422}),
    ("POST", "/v1/compose", lambda body: b'{"first": ' + body + b', "second": ' + W1.encode() + b"}", {200, 400, 403, 422}),
    ("POST", "/v1/audit", lambda body: body, {400, 422}),
    ("PUT", "/v1/chains", lambda body: body, {400, 422}),
]  # fmt: skip


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")
    started = Server(folder, folder / "store.db")
    yield started
    started.stop()


def assert_documented(answer, allowed, what):
    status, data, headers = answer
    assert status in allowed, (what, status, data[:300])
    assert headers.get("content-type", "").startswith("application/json"), (what, headers)
    if status >= 400:
        error = json.loads(data)
        assert set(error) >= {"error", "message"} and error["error"] != "internal_error", what


@pytest.mark.parametrize(
    ("method", "path", "wrap", "allowed"), BODY_ROUTES, ids=[r[1] for r in BODY_ROUTES]
)
def test_no_route_answers_hostile_bodies_with_a_500(server, method, path, wrap, allowed):  # fmt: skip
    for name, body in HOSTILE:
        answer = server.call(method, path, wrap(body), token=TOKEN)
        assert_documented(answer, allowed, (path, name))


def test_a_batch_answers_every_decision_it_logged_whatever_its_other_lines_hold(server, tmp_path):
    good = W1.encode()
    lines = [good]
    for _, body in HOSTILE:
        lines += [body.replace(b"\n", b" ").replace(b"\r", b" "), good]
    with open_store(server.store) as store:
        before = store.count()
    status, data, headers = server.call(
        "POST", "/v1/decide/batch", b"\n".join(lines) + b"\n", "application/x-ndjson"
    )
    assert status == 200, data[:300]
    answered = [json.loads(line) for line in data.decode().splitlines()]
    assert len(answered) == len([line for line in lines if line.strip()])  # blank lines skipped
    records = [a for a in answered if "format" in a]
    assert len(records) >= len(HOSTILE) + 1  # the good lines, and what was well formed
    errors = [a for a in answered if "error" in a]
    assert all(set(e) == {"line", "error", "message", "path"} for e in errors)
    digests = {content_hash(canonical_record(json.dumps(r))) for r in records}
    with open_store(server.store) as store:
        logged = [e.content_hash for e in store.entries(start=before + 1)]
        assert store.verify() is None
    assert len(logged) == len(records) and set(logged) == digests


QUERIES = [
    ("POST", "/v1/decide?log=maybe", W1, 400, "malformed_input"),
    ("POST", "/v1/decide?at=%ED%B0%80", W1, 400, "malformed_input"),
    ("POST", "/v1/decide?at=1e400", W1, 400, "malformed_input"),
    ("POST", "/v1/decide?chain=%FF%FE", W1, 404, "chain_not_found"),
    ("POST", "/v1/decide/batch?at=bad", W1, 400, "malformed_input"),
    ("POST", "/v1/decide/", W1, 404, "not_found"),
    ("GET", "/v1/chains/%ED%B0%80", None, 404, "chain_not_found"),
    ("GET", "/v1/decisions/%FF", None, 404, "decision_not_found"),
    ("GET", "/v1/decisions/" + "a" * 10_000, None, 404, "decision_not_found"),
    ("GET", "/healthz/", None, 404, "not_found"),
    ("GET", "/v1/decisions?limit=%C2%B2", None, 400, "malformed_input"),
    ("GET", "/v1/decisions?after=99999999999999999999", None, 400, "malformed_input"),
    ("GET", "/v1/decisions/by-sequence/%C2%B2", None, 400, "malformed_input"),
    ("GET", "/v1/decisions/by-sequence/9999999999999999999", None, 400, "malformed_input"),
]


@pytest.mark.parametrize(("method", "path", "body", "status", "code"), QUERIES)
def test_parameters_and_paths_are_refused_as_documented(server, method, path, body, status, code):
    kind = "application/x-ndjson" if "batch" in path else "application/json"
    answer = server.call(method, path, body, kind, token=TOKEN)
    assert_documented(answer, {status}, path)
    assert json.loads(answer[1])["error"] == code


@pytest.mark.parametrize(
    ("spelling", "logs"),
    [("false", False), ("0", False), ("FALSE", False), ("no", False), ("Off", False),
     ("true", True), ("1", True), ("yes", True), ("ON", True)],
)  # fmt: skip
def test_the_usual_spellings_of_a_boolean_turn_logging_off_and_on(server, spelling, logs):
    status, _, headers = server.call("POST", f"/v1/decide?log={spelling}", W1)
    assert status == 200 and ("x-log-sequence" in headers) == logs


def raw_answer(server, request):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as connection:
        connection.sendall(request)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
    return data


@pytest.mark.parametrize(
    "request_bytes",
    [
        b"POST /v1/decide HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n",
        b"POST /v1/decide HTTP/1.1\r\nHost: x\r\nContent-Length: nope\r\n\r\n",
        b"GET /healthz HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(200)) + b"\r\n",
    ],
    ids=["negative content-length", "content-length not a number", "too many headers"],
)  # fmt: skip
def test_what_the_http_server_refuses_itself_is_a_client_error(server, request_bytes):
    # These never reach the application (the README lists them): the server answers with a
    # status of the 4xx family and closes, and the service goes on serving.
    head = raw_answer(server, request_bytes)
    assert head.startswith(b"HTTP/1.1 4"), head[:200]
    assert server.call("GET", "/healthz")[0] == 200
