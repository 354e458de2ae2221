"""The store through the command-line tool: publishing and reading chains, logging decisions,
verifying and auditing the log, and auditing a record against a store."""

import io
import json
import sqlite3
from pathlib import Path

from ostrel_quorvane import cli
from ostrel_quorvane.store import canonical_record, content_hash, entry_hash, open_store

EXAMPLES = Path(__file__).parents[1] / "examples"
REQUEST = EXAMPLES / "agent-tool-run" / "request.json"


def call(*argv, capsys):
    out = io.StringIO()
    status = cli.main([str(arg) for arg in argv], out)
    return status, out.getvalue(), capsys.readouterr().err


def test_chains_are_published_listed_and_read_back(tmp_path, capsys):
    store = tmp_path / "store.db"
    chain_file = EXAMPLES / "chains" / "data-access.json"
    status, out, _ = call("chains", "publish", chain_file, "--store", store, capsys=capsys)
    key = out.strip()
    assert status == 0 and len(key) == 64
    assert call("chains", "publish", chain_file, "--store", store, capsys=capsys)[1] == out
    status, out, _ = call("chains", "list", "--store", store, capsys=capsys)
    assert status == 0 and out.startswith(key + "  ") and len(out.splitlines()) == 1
    status, out, _ = call("chains", "get", key, "--store", store, capsys=capsys)
    assert json.loads(out) == json.loads(chain_file.read_text())
    status, _, err = call("chains", "get", "0" * 64, "--store", store, capsys=capsys)
    assert status == 4 and f"no chain {'0' * 64} is published" in err


def test_logged_decisions_verify_and_audit_until_one_is_edited(tmp_path, capsys):
    store = tmp_path / "store.db"
    for _ in range(3):
        assert call("decide", REQUEST, "--log", store, "--json", capsys=capsys)[0] == 0
    batch = tmp_path / "batch.jsonl"
    batch.write_text(json.dumps(json.loads(REQUEST.read_text())) + "\n[]\n")
    status, out, _ = call("decide", "--batch", batch, "--log", store, capsys=capsys)
    assert status == 2 and len(out.splitlines()) == 2
    status, out, _ = call("log", "verify", store, capsys=capsys)
    assert status == 0 and "4 entries verified; head " in out
    status, out, _ = call("log", "audit", store, capsys=capsys)
    assert (status, out.splitlines()[-1]) == (0, f"{store}: 4 decisions audited, 0 differ")
    status, out, _ = call("log", "audit", store, "--since", "2999-01-01T00:00:00Z", capsys=capsys)
    assert out.strip().endswith("0 decisions audited, 0 differ")

    # A record edited alone fails verification and its audit at its entry; edited with its
    # entry's hashes made to match, it fails its audit on what it claims, and verification at
    # the next entry, whose link it broke.
    with sqlite3.connect(store) as connection:
        row = connection.execute(
            "SELECT record, previous_hash, logged_at, request_id, permission, claim_id, "
            "candidate_id, context_id FROM decisions WHERE sequence = 2"
        ).fetchone()
        record = json.loads(row[0])
        record["permission"] = "AAA"
        edited = canonical_record(record)
        connection.execute("UPDATE decisions SET record = ? WHERE sequence = 2", (edited,))
    status, out, _ = call("log", "verify", store, capsys=capsys)
    assert (status, out.strip()) == (
        1,
        f"{store}: entry 2: its record does not match its content hash",
    )
    status, out, _ = call("log", "audit", store, capsys=capsys)
    assert status == 1 and f"{store} entry 2: its record does not match" in out
    with sqlite3.connect(store) as connection:
        digest = content_hash(edited)
        connection.execute(
            "UPDATE decisions SET content_hash = ?, entry_hash = ? WHERE sequence = 2",
            (digest, entry_hash(row[1], 2, digest, row[2], row[3:])),
        )
    status, out, _ = call("log", "audit", store, capsys=capsys)
    assert status == 1 and f"{store} entry 2: audit failed: permission" in out
    status, out, _ = call("log", "verify", store, capsys=capsys)
    assert (status, out.strip()) == (1, f"{store}: entry 3: it does not follow the entry before it")


def test_audit_takes_a_store_for_the_published_chains_and_finds_the_record_in_its_log(
    tmp_path, capsys
):
    store = tmp_path / "store.db"
    record = tmp_path / "decision.json"
    status, out, _ = call("decide", REQUEST, "--json", capsys=capsys)
    record.write_text(out)
    status, _, err = call("audit", record, "--store", store, capsys=capsys)
    assert status == 2 and "not a store" in err and not store.exists()
    call("chains", "publish", EXAMPLES / "chains" / "default.json", "--store", store, capsys=capsys)
    status, _, err = call("audit", record, "--store", store, capsys=capsys)
    assert status == 1 and f"no entry of the log in {store} holds it" in err
    status, out, _ = call("decide", REQUEST, "--json", "--log", store, capsys=capsys)
    record.write_text(out)
    status, out, _ = call("audit", record, "--store", store, capsys=capsys)
    assert status == 0 and f"is published in the store {store}" in out
    assert f"it is entry 1 of the log in {store}" in out
    # A field the record's format does not have is refused, named by its path.
    edited = json.loads(record.read_text())
    edited["approved_by"] = "someone"
    record.write_text(json.dumps(edited))
    status, _, err = call("audit", record, "--store", store, capsys=capsys)
    assert status == 2 and "$.approved_by: unknown field" in err
    status, _, err = call(
        "audit", record, "--store", store, "--chains", EXAMPLES / "chains", capsys=capsys
    )
    assert status == 2 and "audit takes one of --chains DIR and --store STORE" in err


def test_a_store_that_cannot_be_written_fails_the_decision_before_it_is_shown(tmp_path, capsys):
    blocker = tmp_path / "not-a-folder"
    blocker.write_text("")
    status, out, err = call("decide", REQUEST, "--log", blocker / "store.db", capsys=capsys)
    assert (status, out) == (4, "")
    assert err.startswith("ostrel-quorvane: ") and "the store cannot be opened" in err
    status, _, err = call("decide", REQUEST, "--log", blocker / "x.db", "--json", capsys=capsys)
    assert json.loads(err)["error"] == "store_failed"


def test_a_logged_batch_answers_every_decision_it_logged(tmp_path, capsys):
    store = tmp_path / "store.db"
    good = json.dumps(json.loads(REQUEST.read_text()))
    document = json.loads(good)
    document["tokens"][0]["details"] = "@@"
    hostile = json.dumps(document).replace('"@@"', '{"\\udc00": 1}')
    batch = tmp_path / "batch.jsonl"
    batch.write_text("\n".join([good, hostile, good, "[" * 600 + "]" * 600, good]) + "\n")
    status, out, err = call("decide", "--batch", batch, "--log", store, capsys=capsys)
    assert (status, err) == (2, "")
    answered = [json.loads(line) for line in out.splitlines()]
    assert [a.get("error") for a in answered] == [
        None,
        "malformed_input",
        None,
        "malformed_input",
        None,
    ]
    assert answered[1]["path"] == '$.tokens[0].details["\\udc00"]'
    digests = [content_hash(canonical_record(json.dumps(a))) for a in answered if "format" in a]
    status, out, _ = call("log", "verify", store, capsys=capsys)
    assert status == 0 and "3 entries verified" in out
    with open_store(store, read_only=True) as log:
        assert [e.content_hash for e in log.entries()] == digests


def test_the_log_exports_as_json_lines_in_order_between_two_times(tmp_path, capsys):
    store = tmp_path / "store.db"
    with open_store(store) as log:
        entries = log.append_many([{"n": n} for n in range(5)])
    status, out, _ = call("log", "export", store, capsys=capsys)
    lines = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and [line["sequence"] for line in lines] == [1, 2, 3, 4, 5]
    assert [canonical_record(line["record"]) for line in lines] == [e.record for e in entries]
    assert all(line["entry_hash"] == e.entry_hash for line, e in zip(lines, entries, strict=True))
    at = entries[0].logged_at
    status, out, _ = call("log", "export", store, "--since", at + 1, capsys=capsys)
    assert (status, out) == (0, "")
    status, out, _ = call("log", "export", store, "--until", at, capsys=capsys)
    assert (status, out) == (0, "")
