"""The service as an operator runs it, each against a real server on loopback: who may do what
(no tokens, an empty file, a wrong token, a rotated one), the process's life (a second server on
the port, the parent killed outright, SIGTERM mid-load), metrics across workers, a store that
hangs or is gone, the OpenAPI document against every status a route answers, TLS, request ids
and the access log, listing the log, and the Python client."""

import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

if os.environ.get("OQ_EXTENSION_DIR"):
    pytest.skip("the service is not run under the sanitizers", allow_module_level=True)

import jsonschema  # noqa: E402
from ostrel_quorvane.client import Client, ServiceError  # noqa: E402
from ostrel_quorvane.service.openapi import OPENAPI  # noqa: E402
from ostrel_quorvane.store import open_store  # noqa: E402
from test_service import EXAMPLES, TOKEN, W1, Load, Server, free_port  # noqa: E402

CHAIN = (EXAMPLES / "chains" / "data-access.json").read_bytes()


def serve(*argv, timeout=30):
    """``serve`` run to its end (one that cannot start), with what it printed."""
    done = subprocess.run([sys.executable, "-m", "ostrel_quorvane", "serve", *map(str, argv)],
                          capture_output=True, text=True, timeout=timeout)  # fmt: skip
    return done.returncode, done.stdout, done.stderr


# ----- who may do what -----

AUTH = [
    # (how the service is started, a call, its token, the status expected)
    ("no token file", [], "PUT", "/v1/chains", None, 401),
    ("no token file", [], "PUT", "/v1/chains", TOKEN, 401),
    ("no token file", [], "GET", "/v1/log/verify", TOKEN, 401),
    ("no token file", [], "GET", "/v1/decisions", None, 401),
    ("no token file", [], "POST", "/v1/decide", None, 200),
    ("an empty token file", ["--token-file", "{empty}"], "GET", "/v1/log/verify", TOKEN, 401),
    ("a token file", ["--token-file", "{tokens}"], "GET", "/v1/log/verify", None, 401),
    ("a token file", ["--token-file", "{tokens}"], "GET", "/v1/log/verify", "wrong", 403),
    ("a token file", ["--token-file", "{tokens}"], "GET", "/v1/log/verify", TOKEN, 200),
    ("a token file", ["--token-file", "{tokens}"], "PUT", "/v1/chains", TOKEN, 201),
    ("deciding needs one", ["--token-file", "{tokens}", "--decide-needs-token"], "POST", "/v1/decide", None, 401),
    ("deciding needs one", ["--token-file", "{tokens}", "--decide-needs-token"], "POST", "/v1/decide", TOKEN, 200),
]  # fmt: skip


@pytest.fixture(scope="module")
def auth_servers(tmp_path_factory):
    folder = tmp_path_factory.mktemp("auth")
    (folder / "empty").write_text("\n\n")
    (folder / "tokens").write_text(TOKEN + "\n")
    servers = {}
    for name, options, *_ in AUTH:
        if name not in servers:
            given = [
                option.format(empty=folder / "empty", tokens=folder / "tokens")
                for option in options
            ]
            servers[name] = Server(folder, folder / f"{len(servers)}.db", *given, tokens=False)
    yield servers
    for started in servers.values():
        started.stop()


@pytest.mark.parametrize(("started", "options", "method", "path", "token", "status"), AUTH)
def test_who_may_do_what(auth_servers, started, options, method, path, token, status):
    server = auth_servers[started]
    body = CHAIN if method == "PUT" else W1 if method == "POST" else None
    answer = server.call(method, path, body, token=token)
    assert answer[0] == status, answer[1][:300]
    if status == 401:
        assert json.loads(answer[1])["error"] == "unauthorized"
        assert answer[2].get("www-authenticate") == "Bearer"


def test_a_service_without_tokens_says_so_and_one_that_needs_them_does_not_start(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db", tokens=False)
    try:
        assert (
            "no --token-file: publishing chains and reading the log are closed" in server.logged()
        )
    finally:
        server.stop()
    (tmp_path / "empty").write_text("")
    for options in ([], ["--token-file", tmp_path / "empty"], ["--token-file", tmp_path / "none"]):
        status, out, err = serve("--port", free_port(), "--decide-needs-token", *options)
        assert (status, out) == (2, "") and len(err.splitlines()) == 1, err


def test_a_rotated_token_is_taken_without_a_restart(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db")
    try:
        assert server.call("GET", "/v1/log/verify", token=TOKEN)[0] == 200
        replacement = tmp_path / "tokens.new"
        replacement.write_text("rotated-token\n")
        os.replace(replacement, server.token_file)
        deadline = time.monotonic() + 10
        while server.call("GET", "/v1/log/verify", token="rotated-token")[0] != 200:
            assert time.monotonic() < deadline, "the new token was not taken"
            time.sleep(0.1)
        assert server.call("GET", "/v1/log/verify", token=TOKEN)[0] == 403
        # A file that cannot be read as text leaves the tokens read last in force.
        server.token_file.write_bytes(b"tok\n\xff\n")
        time.sleep(1.2)
        assert server.call("GET", "/v1/log/verify", token="rotated-token")[0] == 200
        # SIGHUP starts new workers, which read the file again; the service answers throughout.
        server.token_file.write_text("third-token\n")
        os.kill(server.process.pid, signal.SIGHUP)
        deadline = time.monotonic() + 20
        while server.call("GET", "/v1/log/verify", token="third-token")[0] != 200:
            assert time.monotonic() < deadline, "the token was not taken after SIGHUP"
            time.sleep(0.2)
    finally:
        server.stop()


# ----- the process's life -----


def test_a_second_server_on_a_taken_port_does_not_start(tmp_path):
    first = Server(tmp_path, tmp_path / "a.db")
    try:
        status, out, err = serve("--port", first.port, "--store", tmp_path / "b.db")
        assert (status, out) == (2, "") and len(err.splitlines()) == 1
        assert f"cannot listen on 127.0.0.1:{first.port}" in err and "Traceback" not in err
        assert not (tmp_path / "b.db").exists() or open_store(tmp_path / "b.db").count() == 0
    finally:
        first.stop()
    with socket.socket() as holder:  # another program's
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        status, out, err = serve("--port", holder.getsockname()[1])
        assert (status, out, len(err.splitlines())) == (
            2,
            "",
            1,
        ) and "Address already in use" in err


def test_a_store_that_cannot_be_opened_stops_the_start_in_one_line(tmp_path):
    (tmp_path / "junk.db").write_bytes(b"not a database " * 100)
    for store in (tmp_path / "junk.db", tmp_path / "missing" / "dir" / "s.db"):
        status, out, err = serve("--port", free_port(), "--store", store)
        assert (status, out) == (2, "") and len(err.splitlines()) == 1 and "Traceback" not in err


def test_workers_end_with_a_parent_killed_outright(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db", "--workers", "2")
    workers = server.workers()
    assert len(workers) >= 2
    os.kill(server.process.pid, signal.SIGKILL)
    server.process.wait()
    try:
        deadline = time.monotonic() + 10
        while any(_alive(pid) for pid in workers):
            assert time.monotonic() < deadline, "workers outlived their parent"
            time.sleep(0.1)
        with pytest.raises(OSError):
            server.call("GET", "/healthz", timeout=1)
    finally:
        # Whatever the outcome, no worker is left serving after the test.
        for pid in workers:
            if _alive(pid):
                os.kill(pid, signal.SIGKILL)
        server.out.close()
        server.err.close()


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_sigterm_answers_what_is_in_flight_and_loses_no_acknowledged_decision(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db", "--workers", "2")
    load = Load(server, give_up=True)
    load.reach(100, time.monotonic() + 30)
    os.kill(server.process.pid, signal.SIGTERM)
    assert server.process.wait(30) == 0
    load.stop()
    acknowledged = load.acknowledged
    server.stop()
    with open_store(tmp_path / "s.db", read_only=True) as log:
        assert log.verify() is None
        stored = [entry.content_hash for entry in log.entries()]
    assert len(acknowledged) >= 100 and set(acknowledged) <= set(stored)


# ----- metrics across workers -----


def test_metrics_add_up_across_workers_and_count_each_decision_of_a_batch(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db", "--workers", "2")
    try:
        for _ in range(60):
            assert server.call("POST", "/v1/decide", W1)[0] == 200
        batch = (W1 + "\n") * 40 + "{}\n"
        assert server.call("POST", "/v1/decide/batch", batch, "application/x-ndjson")[0] == 200
        scrapes = {_counter(server.call("GET", "/metrics")[1], 'oq_decisions_total{level="ALR"}')
                   for _ in range(6)}  # fmt: skip
        assert scrapes == {100.0}
        text = server.call("GET", "/metrics")[1]
        assert _counter(text, 'oq_errors_total{kind="malformed_input"}') == 1.0
        assert _counter(text, 'oq_request_seconds_count{route="decide"}') == 60.0
        assert _counter(text, 'oq_request_seconds_count{route="decide_batch"}') == 1.0
        with open_store(tmp_path / "s.db", read_only=True) as log:
            assert log.count() == 100
    finally:
        server.stop()


def _counter(text, name):
    for line in text.decode().splitlines():
        if line.startswith(name + " "):
            return float(line.split()[-1])
    return None


# ----- a store that hangs or is gone -----


class Proxy:
    """A TCP front of the test's PostgreSQL server that can be made to hang, as a database
    whose server accepts connections and never answers does: every connection it relays is cut,
    and new ones are accepted and never answered."""

    def __init__(self, url):
        query = dict(part.split("=", 1) for part in url.split("?", 1)[1].split("&"))
        self.target = os.path.join(query["host"], f".s.PGSQL.{query['port']}")
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.hung = threading.Event()
        self.stopped = threading.Event()
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.listener.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                client = self.listener.accept()[0]
            except OSError:
                continue
            self.sockets.append(client)
            if self.hung.is_set():
                continue  # accepted, never answered
            server = socket.socket(socket.AF_UNIX)
            server.connect(self.target)
            self.sockets.append(server)
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._relay, args=(a, b), daemon=True).start()

    def _relay(self, source, sink):
        try:
            while not self.hung.is_set():
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def hang(self):
        self.hung.set()
        for connection in list(self.sockets):
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.stopped.set()
        self.listener.close()
        for connection in self.sockets:
            connection.close()


@pytest.fixture
def hanging_store(store_url):
    if not store_url.startswith("postgresql://"):
        pytest.skip("the store that hangs is a database server")
    base = os.environ["OQ_TEST_POSTGRES"]
    proxy = Proxy(base)
    name = store_url.split("/")[3].split("?")[0]
    yield proxy, f"postgresql://oq@127.0.0.1:{proxy.port}/{name}"
    proxy.close()


def test_a_store_that_hangs_stalls_no_health_check_and_no_unlogged_decision(
    tmp_path, hanging_store
):
    proxy, url = hanging_store
    server = Server(tmp_path, url)
    try:
        assert server.call("POST", "/v1/decide", W1)[0] == 200
        proxy.hang()
        slow = threading.Thread(target=lambda: server.call("POST", "/v1/decide", W1, timeout=60))
        slow.start()
        time.sleep(0.3)
        for path, body in (("/healthz", None), ("/v1/decide?log=false", W1)) * 3:
            started = time.monotonic()
            status, _, _ = server.call("POST" if body else "GET", path, body, timeout=10)
            assert status == 200 and time.monotonic() - started < 0.5, path
        slow.join()
        status, data, _ = server.call("POST", "/v1/decide", W1, timeout=60)
        assert (status, json.loads(data)["error"]) == (503, "store_unavailable")
        batch = server.call(
            "POST", "/v1/decide/batch", W1 + "\n", "application/x-ndjson", timeout=60
        )
        assert (batch[0], json.loads(batch[1])["error"]) == (503, "store_unavailable")
        assert server.call("GET", "/readyz", timeout=60)[0] == 503
        assert "Traceback" not in server.logged()
        text = server.call("GET", "/metrics")[1]
        assert _counter(text, 'oq_errors_total{kind="store_unavailable"}') >= 2
    finally:
        server.stop()


# ----- the API's description against what it answers -----


def _statuses(method, path):
    return OPENAPI["paths"][path][method.lower()]["responses"]


SWEEP = [
    # (method, path as sent, path as described, body, media type, token, status)
    ("POST", "/v1/decide", "/v1/decide", W1, "application/json", None, 200),
    ("POST", "/v1/decide?at=bad", "/v1/decide", W1, "application/json", None, 400),
    ("POST", "/v1/decide?chain=" + "0" * 64, "/v1/decide", W1, "application/json", None, 404),
    ("POST", "/v1/decide", "/v1/decide", W1, "text/plain", None, 415),
    ("POST", "/v1/decide", "/v1/decide", W1.replace('"InClass"', '"Nope"'), "application/json", None, 400),
    ("POST", "/v1/decide", "/v1/decide", W1.replace('"identity", "minimum_status"', '"ghost", "minimum_status"', 1), "application/json", None, 422),
    ("POST", "/v1/decide", "/v1/decide", " " * (1 << 21), "application/json", None, 413),
    ("POST", "/v1/decide/batch", "/v1/decide/batch", W1 + "\n", "application/x-ndjson", None, 200),
    ("POST", "/v1/decide/batch?at=bad", "/v1/decide/batch", W1 + "\n", "application/x-ndjson", None, 400),
    ("POST", "/v1/decide/batch?log=perhaps", "/v1/decide/batch", W1 + "\n", "application/x-ndjson", None, 400),
    ("POST", "/v1/decide/batch", "/v1/decide/batch", W1, "application/json", None, 415),
    ("POST", "/v1/decide/batch?chain=" + "0" * 64, "/v1/decide/batch", W1, "application/x-ndjson", None, 404),
    ("POST", "/v1/compose", "/v1/compose", '{"first": ' + W1 + ', "second": ' + W1 + "}", "application/json", None, 200),
    ("POST", "/v1/compose", "/v1/compose", "{}", "application/json", None, 400),
    ("POST", "/v1/audit", "/v1/audit", '{"chain_hash": "x"}', "application/json", None, 422),
    ("POST", "/v1/audit", "/v1/audit", "[", "application/json", None, 400),
    ("PUT", "/v1/chains", "/v1/chains", CHAIN.decode(), "application/json", TOKEN, 201),
    ("PUT", "/v1/chains", "/v1/chains", CHAIN.decode(), "application/json", None, 401),
    ("PUT", "/v1/chains", "/v1/chains", CHAIN.decode(), "application/json", "wrong", 403),
    ("PUT", "/v1/chains", "/v1/chains", '{"levels": [], "roles": {}}', "application/json", TOKEN, 422),
    ("PUT", "/v1/chains", "/v1/chains", "{", "application/json", TOKEN, 400),
    ("GET", "/v1/chains", "/v1/chains", None, None, None, 200),
    ("GET", "/v1/chains/" + "0" * 64, "/v1/chains/{hash}", None, None, None, 404),
    ("GET", "/v1/decisions?limit=2", "/v1/decisions", None, None, TOKEN, 200),
    ("GET", "/v1/decisions?limit=0", "/v1/decisions", None, None, TOKEN, 400),
    ("GET", "/v1/decisions?colour=red", "/v1/decisions", None, None, TOKEN, 400),
    ("GET", "/v1/decisions", "/v1/decisions", None, None, None, 401),
    ("GET", "/v1/decisions/by-sequence/1", "/v1/decisions/by-sequence/{sequence}", None, None, TOKEN, 200),
    ("GET", "/v1/decisions/by-sequence/x", "/v1/decisions/by-sequence/{sequence}", None, None, TOKEN, 400),
    ("GET", "/v1/decisions/by-sequence/999999", "/v1/decisions/by-sequence/{sequence}", None, None, TOKEN, 404),
    ("GET", "/v1/decisions/" + "0" * 64, "/v1/decisions/{hash}", None, None, TOKEN, 404),
    ("GET", "/v1/log/verify", "/v1/log/verify", None, None, TOKEN, 200),
    ("GET", "/v1/log/verify", "/v1/log/verify", None, None, "wrong", 403),
    ("GET", "/healthz", "/healthz", None, None, None, 200),
    ("GET", "/readyz", "/readyz", None, None, None, 200),
    ("GET", "/metrics", "/metrics", None, None, None, 200),
    ("GET", "/v1/openapi.json", "/v1/openapi.json", None, None, None, 200),
]  # fmt: skip


@pytest.fixture(scope="module")
def sweep_server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sweep")
    started = Server(folder, folder / "s.db")
    yield started
    started.stop()


@pytest.mark.parametrize(("method", "sent", "described", "body", "kind", "token", "status"), SWEEP)
def test_every_answer_is_one_the_document_declares(sweep_server, method, sent, described, body, kind, token, status):  # fmt: skip
    answer = sweep_server.call(method, sent, body, kind or "application/json", token=token)
    assert answer[0] == status, answer[1][:300]
    declared = _statuses(method, described)
    assert str(status) in declared, f"{method} {described} answers {status}, not declared"
    schema = declared[str(status)].get("content", {}).get("application/json", {}).get("schema")
    if schema is not None:
        document = {**schema, "components": OPENAPI["components"]}
        jsonschema.validate(json.loads(answer[1]), document)


# ----- TLS, request ids, the access log, listing, the client -----


def test_tls_with_a_certificate_made_here(tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                           "-nodes", "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                           "-addext", "subjectAltName=IP:127.0.0.1"], capture_output=True)  # fmt: skip
    if made.returncode != 0:
        pytest.skip("openssl cannot make a certificate here")
    server = Server(tmp_path, tmp_path / "s.db", "--tls-cert", cert, "--tls-key", key)
    try:
        assert f"serving on https://127.0.0.1:{server.port}" in server.printed()
        context = ssl.create_default_context(cafile=str(cert))
        url = f"https://127.0.0.1:{server.port}/v1/decide"
        request = urllib.request.Request(
            url, data=W1.encode(), headers={"content-type": "application/json"}
        )
        with urllib.request.urlopen(request, context=context, timeout=10) as answer:
            assert json.loads(answer.read())["permission"] == "ALR"
        with pytest.raises((OSError, http.client.HTTPException)):  # no plain HTTP there
            server.call("GET", "/healthz", timeout=2)
    finally:
        server.stop()
    status, _, err = serve("--port", free_port(), "--tls-cert", cert)
    assert status == 2 and "go together" in err


def test_request_ids_are_echoed_logged_and_kept_in_the_log_entry(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db")
    try:
        client = Client(f"http://127.0.0.1:{server.port}", token=TOKEN)
        decided = client.decide(W1, request_id="trace-0042")
        assert (decided.request_id, decided.log_sequence) == ("trace-0042", 1)
        assert decided.content_hash and client.decision_at(1).content_hash == decided.content_hash
        made = client.decide(W1, request_id="not a plain id!")
        assert made.request_id != "not a plain id!" and len(made.request_id) == 32
        assert client.decide(W1, log=False).log_sequence is None
        lines = [json.loads(line) for line in server.logged().splitlines() if line.startswith("{")]
        mine = [line for line in lines if line.get("request_id") == "trace-0042"]
        assert mine and mine[0]["route"] == "decide" and mine[0]["status"] == 200
        assert mine[0]["permission"] == "ALR" and mine[0]["log_sequence"] == 1
        assert set(mine[0]) >= {"time", "method", "path", "duration_ms"}
    finally:
        server.stop()
    with open_store(tmp_path / "s.db", read_only=True) as log:
        assert [entry.request_id for entry in log.entries()] == ["trace-0042", made.request_id]
        assert log.verify() is None
    # What the service logged audits from the store alone: it published the chain beside it.
    audited = subprocess.run([sys.executable, "-m", "ostrel_quorvane", "log", "audit", tmp_path / "s.db"],
                             capture_output=True, text=True)  # fmt: skip
    assert audited.returncode == 0 and "2 decisions audited, 0 differ" in audited.stdout
    quiet = Server(tmp_path, tmp_path / "q.db", "--no-access-log")
    try:
        quiet.call("POST", "/v1/decide", W1)
        assert not [line for line in quiet.logged().splitlines() if line.startswith("{")]
    finally:
        quiet.stop()


def test_the_log_is_listed_by_time_level_and_id_a_page_at_a_time(tmp_path):
    server = Server(tmp_path, tmp_path / "s.db")
    try:
        client = Client(f"http://127.0.0.1:{server.port}", token=TOKEN)
        other = json.loads(W1)
        other["claim_id"] = "claim-other"
        for n in range(7):
            client.decide(W1 if n % 2 else other, at=1765267200 + n)
        listed = list(client.decisions(limit=3))
        assert [entry["sequence"] for entry in listed] == list(range(1, 8))
        assert listed[0]["record"]["inputs"][0]["request"]["claim_id"] == "claim-other"
        mine = list(client.decisions(claim_id="claim-other", limit=2))
        assert [entry["sequence"] for entry in mine] == [1, 3, 5, 7]
        # The other claim's tokens are bound to the first: its decisions are refused, not ALR.
        newest = client.decisions(permission="ALR", before=7, limit=2)
        assert [entry["sequence"] for entry in newest] == [6, 4, 2]
        assert not list(client.decisions(permission="AAA"))
        assert not list(client.decisions(since="2999-01-01T00:00:00Z"))
        with pytest.raises(ServiceError) as info:
            client.decision_at(99)
        assert info.value.status == 404
    finally:
        server.stop()


def test_the_client_says_when_nothing_answers():
    client = Client(f"http://127.0.0.1:{free_port()}", timeout=2)
    assert client.ready() is False
    with pytest.raises(ServiceError) as info:
        client.decide(W1)
    assert (info.value.status, info.value.code) == (0, "unreachable")
