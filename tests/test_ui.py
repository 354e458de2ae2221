"""The decision log's pages without a browser: who may see them, the headers and cookie that keep
them safe, escaping, and the store's counts the overview and the chains page are drawn from."""

import http.client
import json
import re
import time

import pytest

pytest.importorskip("jinja2")
from _ostrel_quorvane import compute_provenance_hash  # noqa: E402
from ostrel_quorvane.decision import decide  # noqa: E402
from ostrel_quorvane.service.ui.session import is_loopback  # noqa: E402
from ostrel_quorvane.store import open_store  # noqa: E402
from test_service import EXAMPLES, TOKEN, Server  # noqa: E402
from test_service_ops import serve  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>"
BASE = json.loads((EXAMPLES / "agent-tool-run" / "request.json").read_text())
# How each kind of decision in a filled log is asked for: the level answered, and the changes
# to the example request that give it.
KINDS = {
    "ALR": {},
    "REF": {"authority_ceiling": "REF"},
    "ESC": {"authority_ceiling": "ESC"},
    # Judged ALR; at the moment of use a negative control is missing, and the answer floors.
    "REF-live": {"runtime": {**BASE["runtime"], "negative_control_states": {"tok-canary": "Missing"}}},
}  # fmt: skip


def fill(name, count):
    """A log of ``count`` decisions, the kinds taking turns, claim ids claim-0, claim-1, ...
    and the hostile one at sequence 8; returns the kinds in order."""
    made, kinds = {}, list(KINDS)
    for kind, changes in KINDS.items():
        made[kind] = {**BASE, **changes}
    records, order = [], []
    with open_store(name) as store:
        for i in range(count):
            kind = kinds[i % len(kinds)]
            request = {**made[kind], "claim_id": HOSTILE if i == 7 else f"claim-{i}"}
            # The evidence is bound to the claim it was given for.
            bound = compute_provenance_hash(request["claim_id"], request["candidate_id"],
                                            request["context_id"], request["allowed_use"])  # fmt: skip
            request["tokens"] = [{**token, "provenance_hash": bound} for token in request["tokens"]]
            decision = decide(json.dumps(request).encode())
            store.publish(decision.chain)
            records.append(decision.record)
            order.append(kind)
        store.append_many(records)
    return order


def call(server, method, path, body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    connection.request(method, path, body=body, headers=headers or {})
    answer = connection.getresponse()
    data = answer.read().decode()
    connection.close()
    return answer.status, data, answer.headers


def log_in(server, token=TOKEN, **headers):
    form = {"content-type": "application/x-www-form-urlencoded", **headers}
    return call(server, "POST", "/ui/login", f"token={token}&next=/ui/decisions", form)


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ui")
    fill(folder / "store.db", 12)
    server = Server(folder, folder / "store.db")
    status, _, headers = log_in(server)
    assert status == 303
    cookie = headers["set-cookie"].split(";")[0]
    yield server, cookie
    server.stop()


PAGES = ["/ui/", "/ui/?window=30d", "/ui/decisions", "/ui/decisions/1", "/ui/chains", "/ui/log"]


@pytest.mark.parametrize("path", PAGES)
def test_each_page_needs_a_login_and_is_sent_with_its_policy(served, path):
    server, cookie = served
    status, text, _ = call(server, "GET", path)
    assert status == 401 and 'action="/ui/login"' in text
    for forged in (
        "oq_ui=99999999999.00",
        "oq_ui=1.abc",
        f"oq_ui={int(time.time()) + 60}.ff",
        "oq_ui=",
    ):
        assert call(server, "GET", path, headers={"cookie": forged})[0] == 401
    status, text, headers = call(server, "GET", path, headers={"cookie": cookie})
    assert status == 200, text
    policy = headers["content-security-policy"]
    assert "script-src 'self'" in policy and "default-src 'none'" in policy
    assert "unsafe-inline" not in policy
    assert headers["x-content-type-options"] == "nosniff"
    # No script, style or event handler written into the page itself, nothing from elsewhere.
    assert not re.search(
        r"<script(?![^>]*\bsrc=\"/ui/static/)|<style|<[^>]*\s(on\w+|style)\s*=", text
    )
    assert not re.search(r"(src|href)=\"(https?:)?//", text)


def test_the_login_cookie_and_what_a_login_is_refused_for(served):
    server, _ = served
    status, _, headers = log_in(server)
    cookie = headers["set-cookie"].lower()
    assert status == 303 and headers["location"] == "/ui/decisions"
    for flag in ("httponly", "samesite=strict", "path=/ui", "max-age=43200"):
        assert flag in cookie
    assert log_in(server, "wrong")[0] == 401
    # A login sent from another site's page, or with a goal elsewhere, goes nowhere else.
    assert log_in(server, origin="http://elsewhere.example")[0] == 403
    assert log_in(server, **{"sec-fetch-site": "cross-site"})[0] == 403
    body = f"token={TOKEN}&next=//elsewhere.example/"
    form = {"content-type": "application/x-www-form-urlencoded"}
    assert call(server, "POST", "/ui/login", body, form)[2]["location"] == "/ui/"
    # Logging out clears the cookie; a logout from another site is refused.
    _, _, headers = call(server, "POST", "/ui/logout")
    assert (
        "max-age=0" in headers["set-cookie"].lower() or "expires" in headers["set-cookie"].lower()
    )
    assert (
        call(server, "POST", "/ui/logout", headers={"origin": "http://elsewhere.example"})[0] == 403
    )


def test_record_values_are_escaped(served):
    server, cookie = served
    for path in (
        "/ui/decisions",
        "/ui/decisions/8",
        "/ui/decisions?claim_id=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E",
    ):
        status, text, _ = call(server, "GET", path, headers={"cookie": cookie})
        assert status == 200 and "<img" not in text
        assert "&lt;img src=x onerror=alert(1)&gt;" in text


@pytest.mark.parametrize(("path", "status"), [
    ("/ui/decisions/999", 404), ("/ui/decisions/0", 400), ("/ui/decisions/x", 400),
    ("/ui/decisions?since=yesterday", 400), ("/ui/decisions?before=-1", 400),
    ("/ui/?window=1y", 400), ("/ui/static/pages.py", 404), ("/ui/decisions?hash=00", 404),
])  # fmt: skip
def test_a_bad_page_request_is_answered_by_a_page(served, path, status):
    server, cookie = served
    got, text, headers = call(server, "GET", path, headers={"cookie": cookie})
    assert got == status and headers["content-type"].startswith("text/html")
    assert 'class="error"' in text and "Traceback" not in text


def test_the_pages_are_open_only_on_loopback_and_only_with_a_store(tmp_path):
    assert serve("--ui-open", "--host", "0.0.0.0", "--store", tmp_path / "s.db")[0] == 2
    code, _, err = serve("--ui-open", "--host", "192.0.2.1", "--store", tmp_path / "s.db")
    assert code == 2 and "loopback" in err
    assert serve("--ui-open")[0] == 2
    fill(tmp_path / "s.db", 2)
    opened = Server(tmp_path, tmp_path / "s.db", "--ui-open", tokens=False)
    storeless = Server(tmp_path, None)
    try:
        assert call(opened, "GET", "/ui/decisions")[0] == 200
        assert call(storeless, "GET", "/ui/")[0] == 404
        assert call(storeless, "GET", "/ui/login")[0] == 404
    finally:
        opened.stop()
        storeless.stop()


@pytest.mark.parametrize(("host", "loopback"), [
    ("127.0.0.1", True), ("127.3.2.1", True), ("::1", True), ("[::1]", True),
    ("localhost", True), ("0.0.0.0", False), ("::", False), ("10.0.0.1", False), ("", False),
    ("example.com", False),
])  # fmt: skip
def test_loopback_addresses(host, loopback):
    assert is_loopback(host) is loopback


def test_the_counts_pages_are_drawn_from(store_url):
    order = fill(store_url, 10)
    with open_store(store_url) as store:
        chain = json.loads(store.find_sequence(1).record)["chain_hash"]
        assert store.chain_uses(0, 10) == {chain: 10}
        assert store.chain_uses(3, 5) == {chain: 2}
        assert store.chain_uses(10, 20) == {}
        logged = store.find_sequence(1).logged_at
        assert store.first_logged([logged - 1, logged, logged + 1]) == [1, 1, 11]
        counts = store.levels_between([1, 5, 11], ["ALR", "REF"])
        expected = [{}, {}]
        for i, kind in enumerate(order):
            level = kind.split("-")[0]
            level = level if level in ("ALR", "REF") else ""
            slot = expected[0 if i < 4 else 1]
            slot[level] = slot.get(level, 0) + 1
        assert counts == expected


def test_the_overview_counts_what_the_log_holds(served):
    server, cookie = served
    _, text, _ = call(server, "GET", "/ui/?window=24h", headers={"cookie": cookie})
    drawn = [int(n) for n in re.findall(r"<title>[^<]*: (\d+) decision\(s\)</title>", text)]
    assert len(drawn) == 24 and sum(drawn) == 12
    legend = dict(re.findall(r"</span>([A-Z]+)</a> (\d+)</li>", text))
    assert legend == {"REF": "6", "ESC": "3", "ALR": "3"}
    _, text, _ = call(server, "GET", "/ui/chains", headers={"cookie": cookie})
    assert '<span class="used">12</span>' in text


def test_the_chart_keeps_the_bars_that_have_ended(tmp_path):
    from ostrel_quorvane.service.ui.chart import Counted, chart
    from ostrel_quorvane.service.ui.views import default_document

    fill(tmp_path / "s.db", 8)
    counted = Counted()
    with open_store(tmp_path / "s.db") as store:
        logged = store.find_sequence(1).logged_at
        for now in (logged + 1, logged + 7200):  # the entries' bar open, then two hours past
            fresh = chart(store, [default_document()], "24h", None, now)
            kept = [chart(store, [default_document()], "24h", counted, now) for _ in range(2)]
            assert fresh == kept[0] == kept[1] and fresh.total == 8
        # The bar that holds the entries is kept once it has ended, with all of them.
        assert sum(sum(b.values()) for b in counted.bars.values()) == 8
