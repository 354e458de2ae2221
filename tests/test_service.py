"""The decision service as a caller meets it: a server started on a loopback port, one table of
endpoint, input and expected answer, and the faults a service meets in production."""

import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("starlette")
pytest.importorskip("granian")
if os.environ.get("OQ_EXTENSION_DIR"):
    # The service's own code is Python and the server's Rust: the sanitizer run, which is there
    # for the engine, would only slow a server down to a crawl.
    pytest.skip("the service is not run under the sanitizers", allow_module_level=True)

from ostrel_quorvane.client import Client, ServiceError  # noqa: E402
from ostrel_quorvane.store import open_store  # noqa: E402

EXAMPLES = Path(__file__).parents[1] / "examples"
W1 = json.dumps(json.loads((EXAMPLES / "agent-tool-run" / "request.json").read_text()))
TOKEN = "s3cret-token"
POSTGRES = os.environ.get("OQ_TEST_POSTGRES")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """``ostrel-quorvane serve`` in a child process, stopped by the test that started it. What
    it prints goes to files beside the test's (``printed()``, ``logged()``): the access log."""

    def __init__(self, tmp_path, store, *extra, env=None, tokens=True, wait=True, port=None):
        self.port = port or free_port()
        self.store = store
        self.folder = tmp_path
        self.token_file = tmp_path / "tokens"
        if tokens:
            self.token_file.write_text(TOKEN + "\n")
        given = ["--token-file", str(self.token_file)] if tokens else []
        if store is not None:
            given += ["--store", str(store)]
        self.out = open(tmp_path / f"serve-{self.port}.out", "wb")  # noqa: SIM115
        self.err = open(tmp_path / f"serve-{self.port}.err", "wb")  # noqa: SIM115
        self.process = subprocess.Popen(
            [sys.executable, "-m", "ostrel_quorvane", "serve", "--port", str(self.port), *given,
             *extra],
            env={**os.environ, "OQ_BODY_SECONDS": "1", "OQ_MAX_BATCH_LINES": "1000", **(env or {})},
            stdout=self.out, stderr=self.err, start_new_session=True,
        )  # fmt: skip
        if wait:
            self.wait_ready()

    def printed(self):
        return (self.folder / f"serve-{self.port}.out").read_text()

    def logged(self):
        return (self.folder / f"serve-{self.port}.err").read_text()

    def wait_ready(self, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if "serving on" in self.printed():
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"the service did not start: {self.logged()[-2000:]}")

    def answering(self, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                if self.call("GET", "/healthz", timeout=2)[0] == 200:
                    return
            except OSError:
                time.sleep(0.05)
        raise AssertionError(f"the service does not answer: {self.logged()[-2000:]}")

    def call(self, method, path, body=None, kind="application/json", token=None, timeout=10):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        headers = {"content-type": kind} if body is not None else {}
        if token:
            headers["authorization"] = f"Bearer {token}"
        try:
            connection.request(method, path, body=body, headers=headers)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server answered before the body was sent (413): the answer is there
        answer = connection.getresponse()
        data = answer.read()
        connection.close()
        return answer.status, data, dict(answer.getheaders())

    def workers(self):
        out = subprocess.run(["pgrep", "-P", str(self.process.pid)], capture_output=True, text=True)
        return [int(pid) for pid in out.stdout.split()]

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(20)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        finally:
            self.out.close()
            self.err.close()


class Load:
    """Threads deciding W1 on a server until stopped, keeping the content hash of every decision
    acknowledged; a thread whose connection is refused tries again, or ends with ``give_up``."""

    def __init__(self, server, threads=4, give_up=False):
        self.acknowledged, self._stop = [], threading.Event()
        self._server, self._give_up = server, give_up
        self._threads = [threading.Thread(target=self._run) for _ in range(threads)]
        for thread in self._threads:
            thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                status, _, headers = self._server.call("POST", "/v1/decide", W1, timeout=10)
            except OSError:
                if self._give_up:
                    return
                continue
            if status == 200:
                self.acknowledged.append(headers["x-content-hash"])

    def reach(self, count, deadline):
        while len(self.acknowledged) < count and time.monotonic() < deadline:
            time.sleep(0.01)

    def stop(self):
        self._stop.set()
        for thread in self._threads:
            thread.join()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    folder = tmp_path_factory.mktemp("service")
    started = Server(folder, folder / "store.db")
    yield started
    started.stop()


def decided(server):
    status, data, headers = server.call("POST", "/v1/decide", W1)
    assert status == 200
    return json.loads(data), headers


def table():
    chain_file = (EXAMPLES / "chains" / "data-access.json").read_bytes()
    custom = json.dumps(
        {**json.loads(W1), "chain": json.loads((EXAMPLES / "chains" / "default.json").read_text())}
    )
    refused = json.loads(W1)
    refused["gaps"][0]["status"] = "Open"
    return [
        ("POST", "/v1/decide", W1, "application/json", None, 200, None),
        ("POST", "/v1/decide?log=false&at=2026-12-09T09:00:00Z", W1, "application/json", None, 200, None),
        ("POST", "/v1/decide", W1, "text/plain", None, 415, "unsupported_media_type"),
        ("POST", "/v1/decide", "not json", "application/json", None, 400, "malformed_input"),
        ("POST", "/v1/decide", W1[:-40], "application/json", None, 400, "malformed_input"),
        ("POST", "/v1/decide", "[" * 5000 + "]" * 5000, "application/json", None, 400, "malformed_input"),
        ("POST", "/v1/decide", " " * (1 << 20) + W1, "application/json", None, 413, "too_large"),
        ("POST", "/v1/decide", custom, "application/json", None, 403, "inline_chain_refused"),
        ("POST", "/v1/decide", json.dumps(refused), "application/json", None, 422, "refused_input"),
        ("POST", "/v1/decide?chain=" + "0" * 64, W1, "application/json", None, 404, "chain_not_found"),
        ("POST", "/v1/decide?at=tomorrow", W1, "application/json", None, 400, "malformed_input"),
        ("PUT", "/v1/chains", chain_file, "application/json", None, 401, "unauthorized"),
        ("PUT", "/v1/chains", chain_file, "application/json", "wrong", 403, "forbidden"),
        ("PUT", "/v1/chains", chain_file, "application/json", TOKEN, 201, None),
        ("PUT", "/v1/chains", b'{"levels": ["a"], "roles": {}}', "application/json", TOKEN, 422, "refused_input"),
        ("GET", "/v1/chains", None, None, None, 200, None),
        ("GET", "/v1/chains/" + "0" * 64, None, None, None, 404, "chain_not_found"),
        ("GET", "/v1/decisions/" + "0" * 64, None, None, TOKEN, 404, "decision_not_found"),
        ("GET", "/v1/decisions/" + "0" * 64, None, None, None, 401, "unauthorized"),
        ("GET", "/v1/log/verify", None, None, TOKEN, 200, None),
        ("POST", "/v1/decide/batch", W1 + "\n[]\n", "application/x-ndjson", None, 200, None),
        ("POST", "/v1/decide/batch", "{}\n" * 1001, "application/x-ndjson", None, 413, "batch_too_long"),
        ("POST", "/v1/compose", json.dumps({"first": json.loads(W1), "second": json.loads(W1)}), "application/json", None, 200, None),
        ("POST", "/v1/compose", json.dumps({"first": {}}), "application/json", None, 400, "malformed_input"),
        ("POST", "/v1/audit", '{"chain_hash": "nope"}', "application/json", None, 422, "audit_failed"),
        ("GET", "/v1/decide", None, None, None, 405, "method_not_allowed"),
        ("GET", "/admin", None, None, None, 404, "not_found"),
        ("GET", "/healthz", None, None, None, 200, None),
        ("GET", "/readyz", None, None, None, 200, None),
        ("GET", "/v1/openapi.json", None, None, None, 200, None),
    ]  # fmt: skip


CASES = table()


@pytest.mark.parametrize(("method", "path", "body", "kind", "token", "status", "code"), CASES,
                         ids=[f"{c[0]} {c[1][:40]} {c[5]}" for c in CASES])  # fmt: skip
def test_each_endpoint_answers_each_input_with_its_status(server, method, path, body, kind, token, status, code):  # fmt: skip
    got, data, _ = server.call(method, path, body, kind or "application/json", token)
    assert got == status, data[:300]
    if code is not None:
        answer = json.loads(data)
        assert answer["error"] == code and answer["message"]
        assert len(data) < 2000  # a caller's value is echoed cut short


def test_a_logged_decision_is_found_by_its_hash_and_audits(server):
    record, headers = decided(server)
    status, data, _ = server.call("GET", f"/v1/decisions/{headers['x-content-hash']}", token=TOKEN)
    assert status == 200 and json.loads(data)["provenance_hash"] == record["provenance_hash"]
    status, data, _ = server.call("POST", "/v1/audit", json.dumps(record))
    assert (status, json.loads(data)["audit"]) == (200, "passed")
    record["permission"] = "AAA"
    status, data, _ = server.call("POST", "/v1/audit", json.dumps(record))
    assert status == 422 and json.loads(data)["path"] == "permission"
    status, data, _ = server.call("GET", "/metrics")
    assert b'oq_decisions_total{level="ALR"}' in data and b"oq_log_append_seconds_count" in data


def test_the_python_client_speaks_for_the_service(server):
    client = Client(f"http://127.0.0.1:{server.port}", token=TOKEN)
    record = client.decide(W1, log=False)
    assert record["permission"] == "ALR"
    lines = list(client.decide_batch([W1, "{"], log=False))
    assert [line.get("line") for line in lines] == [None, 2]
    key = client.publish(json.loads((EXAMPLES / "chains" / "data-access.json").read_text()))
    assert client.chain(key)["levels"][0] == "deny" and client.verify_log()["ok"]
    with pytest.raises(ServiceError) as info:
        client.decide("{", log=False)
    assert (info.value.status, info.value.code, info.value.path) == (400, "malformed_input", "$")


def test_a_slow_client_is_answered_and_the_service_goes_on(server):
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
        raw.sendall(b"POST /v1/decide HTTP/1.1\r\nhost: x\r\ncontent-type: application/json\r\n"
                    b"content-length: 5000\r\n\r\n{\"claim_id\"")  # fmt: skip
        answer = raw.recv(4096)
    assert answer.startswith(b"HTTP/1.1 408")
    assert decided(server)[0]["permission"] == "ALR"


def test_a_worker_killed_mid_load_loses_no_acknowledged_decision(tmp_path):
    store = tmp_path / "store.db"
    server = Server(tmp_path, store)
    try:
        load = Load(server)
        deadline = time.monotonic() + 60
        load.reach(50, deadline)
        for worker in server.workers():
            os.kill(worker, signal.SIGKILL)
        time.sleep(0.5)
        server.answering()
        count = len(load.acknowledged)
        load.reach(count + 20, deadline)  # answering again after the restart
        load.stop()
        acknowledged = load.acknowledged
        assert len(acknowledged) >= count + 20 >= 70, "the service did not answer again in time"
        with open_store(store) as log:
            assert log.verify() is None
            stored = {entry.content_hash for entry in log.entries()}
        assert set(acknowledged) <= stored
    finally:
        server.stop()


@pytest.mark.skipif(not POSTGRES, reason="no PostgreSQL server")
def test_the_store_going_away_gives_503_and_the_service_recovers_without_a_restart(tmp_path):
    import psycopg

    admin = psycopg.connect(POSTGRES, autocommit=True)
    admin.execute("DROP DATABASE IF EXISTS oq_service WITH (FORCE)")
    admin.execute("CREATE DATABASE oq_service")
    url = POSTGRES.replace("postgresql://oq@/oq?", "postgresql://oq@/oq_service?")
    server = Server(tmp_path, url)
    try:
        assert decided(server)[0]["permission"] == "ALR"
        admin.execute("ALTER DATABASE oq_service ALLOW_CONNECTIONS false")
        admin.execute(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = 'oq_service'"
        )
        status, data, _ = server.call("POST", "/v1/decide", W1)
        assert (status, json.loads(data)["error"]) == (503, "store_unavailable")
        assert server.call("GET", "/readyz")[0] == 503
        admin.execute("ALTER DATABASE oq_service ALLOW_CONNECTIONS true")
        assert server.call("GET", "/readyz")[0] == 200
        assert decided(server)[0]["permission"] == "ALR"
    finally:
        server.stop()
        admin.execute("DROP DATABASE IF EXISTS oq_service WITH (FORCE)")
        admin.close()


def test_the_openapi_document_describes_every_route_and_only_those():
    from ostrel_quorvane.service.app import create_app
    from ostrel_quorvane.service.openapi import OPENAPI
    from starlette.routing import Route

    served = {}
    for route in create_app().routes:
        if isinstance(route, Route):
            path = route.path.replace("{key}", "{hash}")
            served.setdefault(path, set()).update(m.lower() for m in route.methods - {"HEAD"})
    described = {path: set(methods) for path, methods in OPENAPI["paths"].items()}
    assert served == described
