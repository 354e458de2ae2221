"""The verifiable decision log: its tree against a plain reading of RFC 9162 section 2.1 written
here, receipts that refuse any edit of a record, a rewritten log caught from a checkpoint kept
before it, stores of the previous version upgraded, and the tool, service and client that hand
proofs out."""

import base64
import contextlib
import hashlib
import io
import json
import os
import stat
from pathlib import Path

import pytest
from _ostrel_quorvane import _log_keygen, _log_sign
from ostrel_quorvane import cli
from ostrel_quorvane.client import Client, ServiceError
from ostrel_quorvane.receipts import (
    ProofInvalid,
    Receipt,
    open_checkpoint,
    verify_extension,
    verify_receipt,
)
from ostrel_quorvane.store import canonical_record, content_hash, open_store
from ostrel_quorvane.store.base import SCHEMA_VERSION
from ostrel_quorvane.store.tree import build_tree, prove
from test_log_tamper import sql
from test_service import TOKEN, Server

REQUEST = Path(__file__).parents[1] / "examples" / "agent-tool-run" / "request.json"


def call(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err):
        status = cli.main([str(arg) for arg in argv], out)
    return status, out.getvalue(), err.getvalue()


class Rfc9162:
    """MTH, PATH and PROOF as RFC 9162 section 2.1 defines them, from the leaves' bytes."""

    def __init__(self, leaves):
        self.leaves = [leaf.encode() for leaf in leaves]
        self.memo = {}

    def mth(self, start, n):
        if (start, n) not in self.memo:
            if n == 1:
                value = hashlib.sha256(b"\0" + self.leaves[start]).digest()
            else:
                k = 1 << (n - 1).bit_length() - 1
                left, right = self.mth(start, k), self.mth(start + k, n - k)
                value = hashlib.sha256(b"\1" + left + right).digest()
            self.memo[start, n] = value
        return self.memo[start, n]

    def path(self, m, start, n):
        if n == 1:
            return []
        k = 1 << (n - 1).bit_length() - 1
        if m < k:
            return self.path(m, start, k) + [self.mth(start + k, n - k)]
        return self.path(m - k, start + k, n - k) + [self.mth(start, k)]

    def subproof(self, m, start, n, whole):
        if m == n:
            return [] if whole else [self.mth(start, n)]
        k = 1 << (n - 1).bit_length() - 1
        if m <= k:
            return self.subproof(m, start, k, whole) + [self.mth(start + k, n - k)]
        return self.subproof(m - k, start + k, n - k, False) + [self.mth(start, k)]


def keys(tmp_path, name="example.com/decisions", file="log.key"):
    signing, verifier = _log_keygen(name)
    path = tmp_path / file
    path.write_text(signing + "\n")
    return path, verifier


def test_the_stored_tree_gives_the_roots_and_proofs_of_the_rfc(store_url):
    size = 300 if not store_url.startswith("postgresql") else 120
    with open_store(store_url) as store:
        # Appended in batches of every size from 1 to 7, as a group commit would.
        batches, n = [], 0
        while n < size:
            batches.append([{"n": i} for i in range(n, min(size, n + len(batches) % 7 + 1))])
            n += len(batches[-1])
        entries = [e for batch in batches for e in store.append_many(batch)]
        reference = Rfc9162([e.record for e in entries])

        def check(cursor):
            for n in range(1, size + 1):
                assert prove(store, cursor, "root", n) == [reference.mth(0, n)], n
                for m in range(n):
                    assert prove(store, cursor, "inclusion", m, n) == reference.path(m, 0, n)
                for m in range(1, n):
                    expected = reference.subproof(m, 0, n, True)
                    assert prove(store, cursor, "consistency", m, n) == expected, (m, n)

        store._run("snapshot", check)
        assert store.proofs.root() == (size, reference.mth(0, size))


def leaf_paths(value, path=()):
    """Every scalar of a JSON document, by its path."""
    if isinstance(value, dict):
        for key, item in value.items():
            yield from leaf_paths(item, (*path, key))
    elif isinstance(value, list):
        for index, item in enumerate(value):
            yield from leaf_paths(item, (*path, index))
    else:
        yield path, value


def edited(record, path, value):
    copy = json.loads(json.dumps(record))
    place = copy
    for part in path[:-1]:
        place = place[part]
    if isinstance(value, bool):
        place[path[-1]] = not value
    elif isinstance(value, int | float):
        place[path[-1]] = value + 1
    elif value is None:
        place[path[-1]] = 0
    else:
        place[path[-1]] = value + "x"
    return copy


@pytest.fixture
def logged_receipt(tmp_path):
    """A decision logged by the tool, its record, a receipt for it and the log's keys."""
    store = tmp_path / "store.db"
    status, text, _ = call("decide", REQUEST, "--json", "--log", store)
    assert status == 0
    key, verifier = keys(tmp_path)
    with open_store(store) as opened:
        opened.append_many([{"other": n} for n in range(9)])
        receipt = opened.proofs.receipt(content_hash(canonical_record(text)),
                                        key.read_text().strip())  # fmt: skip
    assert receipt is not None
    return store, json.loads(text), receipt, key, verifier


def test_a_receipt_refuses_every_edit_of_its_record(logged_receipt):
    _, record, receipt, _, verifier = logged_receipt
    assert verify_receipt(record, receipt, [verifier]).size == 10
    fields = list(leaf_paths(record))
    assert len(fields) > 100
    for path, value in fields:
        with pytest.raises(ProofInvalid, match="content hash differs"):
            verify_receipt(edited(record, path, value), receipt, [verifier])


def proof_changed(receipt):
    first = bytes([receipt.proof[0][0] ^ 1]) + receipt.proof[0][1:]
    return Receipt(receipt.content_hash, receipt.leaf_index, receipt.tree_size,
                   (first, *receipt.proof[1:]), receipt.checkpoint)  # fmt: skip


def resigned(receipt, tmp_path):
    """The same checkpoint text, signed by another key of the same name."""
    text = receipt.checkpoint[: receipt.checkpoint.index("\n\n") + 1]
    other, _ = keys(tmp_path, file="other.key")
    return _log_sign(text, other.read_text().strip())


@pytest.mark.parametrize(
    ("change", "reason"),
    [
        (proof_changed, "does not tie the record"),
        (lambda r: Receipt(r.content_hash, r.leaf_index + 1, r.tree_size, r.proof, r.checkpoint), "does not tie"),
        (lambda r: Receipt(r.content_hash, r.leaf_index, r.tree_size + 1, r.proof, r.checkpoint), "for 11 entries"),
        (lambda r: Receipt(r.content_hash, r.leaf_index, r.tree_size, r.proof[:-1], r.checkpoint), "does not tie"),
        (lambda r: Receipt(r.content_hash, r.leaf_index, r.tree_size, r.proof, r.checkpoint.replace("\n10\n", "\n11\n")), "does not verify"),
        (lambda r: Receipt(r.content_hash, r.leaf_index, r.tree_size, r.proof, r.checkpoint.split("\n\n")[0] + "\n"), "no signature"),
        (lambda r: {**r.as_json(), "leaf_index": -1}, "not a whole number"),
        (lambda r: {**r.as_json(), "extra": 1}, "member its format does not"),
        (lambda r: {**r.as_json(), "inclusion_proof": ["AAAA"]}, "not a base64 hash"),
    ],
)  # fmt: skip
def test_a_receipt_changed_anywhere_is_refused(logged_receipt, change, reason):
    _, record, receipt, _, verifier = logged_receipt
    with pytest.raises(ProofInvalid, match=reason):
        verify_receipt(record, change(receipt), [verifier])


def test_a_checkpoint_by_an_unknown_key_of_the_same_name_is_refused(logged_receipt, tmp_path):
    _, record, receipt, _, verifier = logged_receipt
    note = resigned(receipt, tmp_path)
    forged = Receipt(receipt.content_hash, receipt.leaf_index, receipt.tree_size, receipt.proof,
                     note)  # fmt: skip
    with pytest.raises(ProofInvalid, match="no signature by a key given"):
        verify_receipt(record, forged, [verifier])


def test_the_tool_proves_checks_and_audits_a_receipt(logged_receipt, tmp_path):
    store, record, _, key, verifier = logged_receipt
    digest = content_hash(canonical_record(record))
    record_file, receipt_file = tmp_path / "record.json", tmp_path / "receipt.json"
    record_file.write_text(json.dumps(record, indent=2))
    status, out, _ = call("log", "prove", store, digest)
    assert status == 0  # against the checkpoint the fixture signed
    receipt_file.write_text(out)
    assert call("verify-receipt", record_file, receipt_file, "--log-key", verifier)[0] == 0
    assert call("audit", record_file, "--store", store, "--receipt", receipt_file,
                "--log-key", verifier)[0] == 0  # fmt: skip
    edited_file = tmp_path / "edited.json"
    # A token's issuer: a field the judgment does not depend on, so the audit alone passes.
    issuer = ("inputs", 0, "request", "tokens", 0, "issuer")
    edited_file.write_text(json.dumps(edited(record, issuer, "x")))
    status, _, err = call("verify-receipt", edited_file, receipt_file, "--log-key", verifier)
    assert status == 1 and "content hash differs" in err
    status, _, err = call("audit", edited_file, "--store", store, "--receipt", receipt_file,
                          "--log-key", verifier)  # fmt: skip
    assert status == 1 and "receipt" in err
    # Another log's key, or none, proves nothing.
    _, stranger = _log_keygen("example.com/decisions")
    assert call("verify-receipt", record_file, receipt_file, "--log-key", stranger)[0] == 1
    assert call("verify-receipt", record_file, receipt_file)[0] == 2
    assert call("log", "prove", store, "0" * 64)[0] == 1


def test_keygen_writes_a_private_key_once(tmp_path):
    out_file = tmp_path / "log.key"
    status, verifier, _ = call("log", "keygen", "example.com/log", "--out", out_file)
    assert status == 0 and verifier.startswith("example.com/log+")
    assert stat.S_IMODE(os.stat(out_file).st_mode) == 0o600
    before = out_file.read_text()
    status, _, err = call("log", "keygen", "example.com/log", "--out", out_file)
    assert status == 2 and "exists" in err and out_file.read_text() == before
    assert call("log", "keygen", "a name", "--out", tmp_path / "other.key")[0] == 2


def rewrite_from(store_url, first, count):
    """The log cut back to entry ``first`` - 1 and written again from there, head and tree
    included: a log rewritten by someone with the database in hand."""
    previous = sql(store_url, "SELECT entry_hash FROM decisions WHERE sequence = ?", first - 1)
    sql(store_url, "DELETE FROM decisions WHERE sequence >= ?", first)
    sql(store_url, "DELETE FROM checkpoints")  # or the store would refuse to sign the rewrite
    sql(store_url, "UPDATE meta SET value = ? WHERE key = 'head'", f"{first - 1}:{previous[0][0]}")
    with open_store(store_url) as store:
        store._run(True, lambda cursor: build_tree(store, cursor))
        store.append_many([{"rewritten": n} for n in range(count)])


def test_a_rewritten_log_is_caught_from_every_checkpoint_that_held_what_changed(
    store_url, tmp_path
):
    key, verifier = keys(tmp_path)
    with open_store(store_url) as store:
        store.append_many([{"n": n} for n in range(20)])
    kept = {}
    for size in (8, 11, 12, 20):
        with open_store(store_url) as store:
            sql(store_url, "DELETE FROM checkpoints")
            note = store.proofs.sign(key.read_text().strip()) if size == 20 else None
        if note is None:  # a checkpoint of the log's first `size` entries, as it was then
            with open_store(store_url) as store:
                root = store.proofs.root(size)[1]
            from _ostrel_quorvane import _log_checkpoint

            note = _log_sign(_log_checkpoint("example.com/decisions", size, root),
                             key.read_text().strip())  # fmt: skip
        (tmp_path / f"cp{size}").write_text(note)
        kept[size] = note
    rewrite_from(store_url, 12, 15)
    assert call("log", "verify", store_url)[0] == 0  # the rewrite is whole: nothing inside shows
    for size, extends in ((8, True), (11, True), (12, False), (20, False)):
        status, out, err = call("log", "consistency", store_url, "--from", tmp_path / f"cp{size}",
                                "--key", key, "--log-key", verifier)  # fmt: skip
        assert status == (0 if extends else 1), (size, err)
        if extends:
            assert open_checkpoint(out, [verifier]).size == 26
        else:
            assert "does not extend" in err


def test_a_store_of_the_previous_version_gets_its_tree_in_place(store_url, tmp_path):
    with open_store(store_url) as store:
        entries = store.append_many([{"n": n} for n in range(25)])
    # What the previous version wrote: the same log, without tree, checkpoints or keys.
    for table in ("tree", "checkpoints", "log_keys"):
        sql(store_url, f"DROP TABLE {table}")
    sql(store_url, "UPDATE meta SET value = '2' WHERE key = 'schema_version'")
    assert call("log", "verify", store_url)[0] == 0
    assert sql(store_url, "SELECT value FROM meta WHERE key = 'schema_version'") == [("2",)]
    with open_store(store_url) as store:
        assert store.verify() is None
        assert store.proofs.root() == (25, Rfc9162([e.record for e in entries]).mth(0, 25))
        store.append({"n": 25})
        assert store.verify() is None
    assert sql(store_url, "SELECT value FROM meta WHERE key = 'schema_version'") == [
        (str(SCHEMA_VERSION),)
    ]
    assert sql(store_url, "SELECT COUNT(*) FROM tree") == [(26 - 3,)]  # 26 less its bits set


def test_the_service_hands_out_receipts_checkpoints_and_proofs(tmp_path):
    key, verifier = keys(tmp_path)
    server = Server(tmp_path, tmp_path / "store.db", "--signing-key", str(key))
    try:
        client = Client(f"http://127.0.0.1:{server.port}", token=TOKEN)
        first = client.decide(REQUEST.read_bytes(), receipt=True)
        assert first.verify([verifier]).size >= first.log_sequence
        old = open_checkpoint(client.checkpoint(), [verifier])
        for _ in range(5):
            decided = client.decide(REQUEST.read_bytes(), receipt=True)
            decided.verify([verifier])
        new = open_checkpoint(client.checkpoint(), [verifier])
        proof = client.consistency_proof(old.size, new.size)["consistency_proof"]
        verify_extension(old, new, [base64.b64decode(h) for h in proof])
        # Without a size, to the newest checkpoint, which the answer carries.
        answer = client.consistency_proof(old.size)
        newest = open_checkpoint(answer["checkpoint"], [verifier])
        verify_extension(old, newest, answer["consistency_proof"])
        receipt = client.inclusion_proof(decided.content_hash)
        assert verify_receipt(decided.body, receipt, [verifier]).size == new.size
        partial = client.inclusion_proof(decided.content_hash, size=new.size)
        assert partial["leaf_index"] == 0 and partial["tree_size"] == new.size
        with pytest.raises(ServiceError) as refused:
            client.consistency_proof(new.size + 1, new.size)
        assert refused.value.status == 400
        with pytest.raises(ServiceError) as refused:
            Client(client.base_url).inclusion_proof(decided.content_hash)
        assert refused.value.status == 401
    finally:
        server.stop()
    unsigned = Server(tmp_path, tmp_path / "store.db")
    try:
        client = Client(f"http://127.0.0.1:{unsigned.port}", token=TOKEN)
        with pytest.raises(ServiceError) as refused:
            client.decide(REQUEST.read_bytes(), receipt=True)
        assert (refused.value.status, refused.value.code) == (409, "no_signing_key")
        assert open_checkpoint(client.checkpoint(), [verifier]).size == new.size
    finally:
        unsigned.stop()


@pytest.mark.parametrize(
    ("record", "reason"),
    [
        ("[" * 100_000 + "]" * 100_000, "512 levels"),
        ('{"permission": "AAA", "permission": "ALR"}', "duplicated key"),
        ('{"a": "\\ud800"}', "Unicode"),
    ],
    ids=["nested past any record", "a duplicated key", "a lone surrogate"],
)
def test_a_record_no_log_can_hold_is_refused_by_the_tool_without_a_traceback(
    logged_receipt, tmp_path, record, reason
):
    _, _, receipt, _, verifier = logged_receipt
    record_file, receipt_file = tmp_path / "odd.json", tmp_path / "receipt.json"
    record_file.write_text(record)
    receipt_file.write_text(json.dumps(receipt.as_json()))
    status, _, err = call("verify-receipt", record_file, receipt_file, "--log-key", verifier)
    assert status == 1 and reason in err and "Traceback" not in err
    receipt_file.write_text("[" * 100_000 + "]" * 100_000)
    status, _, err = call("verify-receipt", record_file, receipt_file, "--log-key", verifier)
    assert status == 1 and "512 levels" in err


def test_a_log_never_signs_a_checkpoint_that_contradicts_one_it_kept(store_url, tmp_path):
    key, verifier = keys(tmp_path)
    with open_store(store_url) as store:
        store.append_many([{"n": n} for n in range(10)])
        (tmp_path / "cp10").write_text(store.proofs.sign(key.read_text().strip()))
    # Rewritten from entry 5 on by someone with the database in hand, its checkpoints left.
    previous = sql(store_url, "SELECT entry_hash FROM decisions WHERE sequence = 4")[0][0]
    sql(store_url, "DELETE FROM decisions WHERE sequence >= 5")
    sql(store_url, "UPDATE meta SET value = ? WHERE key = 'head'", f"4:{previous}")
    with open_store(store_url) as store:
        store._run(True, lambda cursor: build_tree(store, cursor))
        store.append_many([{"forged": n} for n in range(8)])
    status, _, err = call("log", "checkpoint", store_url, "--key", key)
    assert status == 4 and "no longer extends its newest checkpoint" in err
    status, _, err = call(
        "log", "consistency", store_url, "--from", tmp_path / "cp10", "--key", key
    )
    assert status == 1 and "does not extend" in err
    assert sql(store_url, "SELECT COUNT(*) FROM checkpoints") == [(1,)]  # nothing more signed
    status, out, _ = call("log", "verify", store_url)
    assert status == 1 and "rewritten after it was signed" in out


def test_an_append_builds_again_a_tree_that_lacks_subtrees(store_url):
    """What a writer of the version before the tree leaves when it runs across the upgrade."""
    with open_store(store_url) as store:
        store.append_many([{"n": n} for n in range(10)])
    sql(store_url, "DELETE FROM tree WHERE node IN (7, 17)")
    assert call("log", "verify", store_url)[0] == 1
    with open_store(store_url) as store:
        store.append({"n": 10})
        assert store.verify() is None and store.count() == 11


@pytest.mark.parametrize(
    ("argv", "status", "reason"),
    [
        (["log", "checkpoint", "{missing}", "--key", "{key}"], 2, "not a store"),
        (["log", "checkpoint", "{store}", "--key", "{key}", "--origin", "a\n9\nxx"], 2, "one line"),
        (["log", "checkpoint", "{store}", "--key", "{key}", "--origin", " "], 2, "one line"),
        (["log", "checkpoint", "{store}", "--key", "{missing}"], 2, "readable"),
        (["log", "keygen", "x", "--out", "{folder}/no/such/k"], 2, "cannot be written"),
        (["log", "consistency", "{store}", "--from", "{cp9}", "--log-key", "{verifier}"], 1, "cut back"),
    ],
)  # fmt: skip
def test_the_tool_refuses_what_cannot_be_signed_or_proven(tmp_path, argv, status, reason):
    store, missing = tmp_path / "store.db", tmp_path / "missing.db"
    key, verifier = keys(tmp_path)
    with open_store(store) as opened:
        opened.append_many([{"n": n} for n in range(3)])
    root = Rfc9162(["x"] * 9).mth(0, 9)
    from _ostrel_quorvane import _log_checkpoint

    cp9 = tmp_path / "cp9"
    cp9.write_text(_log_sign(_log_checkpoint("example.com/decisions", 9, root),
                             key.read_text().strip()))  # fmt: skip
    names = {"store": store, "missing": missing, "key": key, "folder": tmp_path, "cp9": cp9,
             "verifier": verifier}  # fmt: skip
    got, _, err = call(*[arg.format(**names) for arg in argv])
    assert got == status and reason in err, err
    assert not missing.exists()


def test_a_store_of_the_previous_version_says_so_when_asked_for_proofs(store_url):
    with open_store(store_url) as store:
        store.append({"n": 1})
    for table in ("tree", "checkpoints", "log_keys"):
        sql(store_url, f"DROP TABLE {table}")
    sql(store_url, "UPDATE meta SET value = '2' WHERE key = 'schema_version'")
    for argv in (["log", "keys", store_url], ["log", "prove", store_url, "0" * 64]):
        status, _, err = call(*argv)
        assert status == 4 and "before the log kept a Merkle tree" in err
