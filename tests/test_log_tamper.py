"""The decision log against someone with the database in hand: every kind of tampering ends
`log verify` with exit status 1 and the first entry it touches, on both back ends; what is not a
store is refused and left as it is; and a store written by the previous schema version is
upgraded in place and still verifies."""

import contextlib
import hashlib
import io
import json
import re
import sqlite3
import threading
from pathlib import Path

import pytest
from ostrel_quorvane import cli
from ostrel_quorvane.store import StoreError, entry_hash, open_store
from ostrel_quorvane.store.base import SCHEMA_VERSION
from ostrel_quorvane.store.log import LABELS

ENTRIES = 6


def call(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stderr(err):
        status = cli.main([str(arg) for arg in argv], out)
    return status, out.getvalue(), err.getvalue()


def sql(name, statement, *args):
    """Runs SQL on the store's database directly, as someone with it in hand would."""
    if name.startswith("postgresql://"):
        import psycopg

        with psycopg.connect(name, autocommit=True) as connection:
            cursor = connection.execute(statement.replace("?", "%s"), args)
            return cursor.fetchall() if cursor.description else []
    connection = sqlite3.connect(name, isolation_level=None)
    try:
        connection.execute("PRAGMA ignore_check_constraints = 1")
        rows = connection.execute(statement, args).fetchall()
    finally:
        connection.close()
    return rows


def unguarded(name):
    """Drops the constraints the database guards the log with, as a tamperer could."""
    if name.startswith("postgresql://"):
        for constraint in ("decisions_sequence_from_1", "decisions_pkey"):
            sql(name, f"ALTER TABLE decisions DROP CONSTRAINT {constraint}")


def row(name, sequence):
    """An entry's record, content hash, previous hash, time and labels."""
    found = sql(name, f"SELECT record, content_hash, previous_hash, logged_at, {', '.join(LABELS)} "
                      "FROM decisions WHERE sequence = ?", sequence)[0]  # fmt: skip
    return found[0], found[1], found[2], found[3], found[4:]


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def forged_at(name, sequence):
    """A copy of entry 1 that claims another sequence number, its hashes made to match."""
    record, content, _, logged_at, labels = row(name, 1)
    forged = record.replace("ALR", "AAA")
    digest = sha(forged)
    link = entry_hash("0" * 64, sequence, digest, logged_at, labels)
    sql(name, "INSERT INTO decisions (sequence, record, content_hash, previous_hash, entry_hash, "
              f"logged_at, rule, {', '.join(LABELS)}) VALUES (?, ?, ?, ?, ?, ?, 2, ?, ?, ?, ?, ?)",
        sequence, forged, digest, "0" * 64, link, logged_at, *labels)  # fmt: skip


def cut_and_headless(name):
    sql(name, "DELETE FROM decisions WHERE sequence > 4")
    sql(name, "DELETE FROM meta WHERE key = 'head'")


def set_column(name, column, value, sequence, kind=None):
    if name.startswith("postgresql://") and kind:
        sql(name, f"ALTER TABLE decisions ALTER COLUMN {column} TYPE {kind}")
    sql(name, f"UPDATE decisions SET {column} = ? WHERE sequence = ?", value, sequence)


def relinked_edit(name, sequence):
    """An edit of one record with its content hash and entry hash made to match."""
    record, _, previous, logged_at, labels = row(name, sequence)
    edited = record.replace('"ALR"', '"AAA"')
    digest = sha(edited)
    link = entry_hash(previous, sequence, digest, logged_at, labels)
    sql(name, "UPDATE decisions SET record = ?, content_hash = ?, entry_hash = ? WHERE sequence = ?",
        edited, digest, link, sequence)  # fmt: skip


def rewritten_from(name, first):
    """The log rewritten from entry ``first`` on, every hash made to match, the head included:
    what only the Merkle tree (and checkpoints kept elsewhere) can show."""
    previous = row(name, first)[2]
    for sequence in range(first, ENTRIES + 1):
        record, _, _, logged_at, labels = row(name, sequence)
        edited = record.replace('"ALR"', '"AAA"')
        digest = sha(edited)
        link = entry_hash(previous, sequence, digest, logged_at, labels)
        sql(name, "UPDATE decisions SET record = ?, content_hash = ?, previous_hash = ?, "
                  "entry_hash = ? WHERE sequence = ?", edited, digest, previous, link, sequence)  # fmt: skip
        previous = link
    sql(name, "UPDATE meta SET value = ? WHERE key = 'head'", f"{ENTRIES}:{previous}")


# (what is done, how, the entry named, words of the reason, back ends it applies to). Where the
# entry named differs, it is (SQLite's, PostgreSQL's): a column's type changes for every row.
TAMPERS = [
    ("a forged row at sequence 0", lambda n: (unguarded(n), forged_at(n, 0)), 0, "start at 1", "both"),
    ("a forged row below 0", lambda n: (unguarded(n), forged_at(n, -5)), -5, "start at 1", "both"),
    ("a forged row past the head", lambda n: forged_at(n, ENTRIES + 1), ENTRIES + 1, "does not follow", "both"),
    ("a duplicated entry", lambda n: (unguarded(n), forged_at(n, 3)), 3, "twice|follow|does not match", "postgresql"),
    ("the end cut off and the head row deleted", cut_and_headless, 4, "no recorded head", "both"),
    ("the end cut off", lambda n: sql(n, "DELETE FROM decisions WHERE sequence > 4"), 5, "missing at the end", "both"),
    ("every row deleted", lambda n: sql(n, "DELETE FROM decisions"), 1, "entries 1 to 6 are missing", "both"),
    ("the meta table dropped", lambda n: sql(n, "DROP TABLE meta"), 1, "meta table is gone", "both"),
    ("a head that is not a hash", lambda n: sql(n, "UPDATE meta SET value = 'nonsense' WHERE key = 'head'"), 1, "not SEQUENCE:HASH", "both"),
    ("a head that names another entry", lambda n: sql(n, "UPDATE meta SET value = ? WHERE key = 'head'", f"{ENTRIES}:{'e' * 64}"), ENTRIES, "does not end where", "both"),
    ("a schema version that is text", lambda n: sql(n, "UPDATE meta SET value = 'two' WHERE key = 'schema_version'"), 1, "schema version is 'two'", "both"),
    ("logged_at set to text", lambda n: set_column(n, "logged_at", "yesterday", 3, "TEXT USING logged_at::text"), (3, 1), "logging time '.*' is not a number", "both"),
    ("logged_at moved", lambda n: sql(n, "UPDATE decisions SET logged_at = logged_at - 86400 WHERE sequence = 2"), 2, "entry hash does not match", "both"),
    ("a record stored as a blob", lambda n: sql(n, "UPDATE decisions SET record = CAST(record AS BLOB) WHERE sequence = 4"), 4, "stored as blob", "sqlite"),
    ("a record that is not UTF-8", lambda n: (unguarded(n), sql(n, "UPDATE decisions SET record = CAST(X'7B22FF22' AS TEXT) WHERE sequence = 5")), 5, "not UTF-8 text", "sqlite"),
    ("a record edited", lambda n: sql(n, "UPDATE decisions SET record = record || ' ' WHERE sequence = 2"), 2, "does not match its content hash", "both"),
    ("a record edited with its hashes made to match", lambda n: relinked_edit(n, 2), 3, "does not follow", "both"),
    ("an entry deleted", lambda n: sql(n, "DELETE FROM decisions WHERE sequence = 3"), 3, "entry 3 is missing", "both"),
    ("an entry hash replaced", lambda n: sql(n, "UPDATE decisions SET entry_hash = ? WHERE sequence = 6", "e" * 64), 6, "entry hash does not match", "both"),
    ("a link replaced", lambda n: sql(n, "UPDATE decisions SET previous_hash = ? WHERE sequence = 4", "f" * 64), 4, "entry hash does not match|does not follow", "both"),
    ("hashes stored as bytes", lambda n: set_column(n, "entry_hash", sql(n, "SELECT entry_hash FROM decisions WHERE sequence = 3")[0][0].encode(), 3, "BYTEA USING entry_hash::bytea"), (3, 1), "entry hash is stored as (blob|bytea)", "both"),
    ("a label stored as bytes", lambda n: sql(n, "UPDATE decisions SET permission = CAST(permission AS BLOB) WHERE sequence = 2"), 2, "permission is stored as blob", "sqlite"),
    ("a schema version of other digits", lambda n: sql(n, "UPDATE meta SET value = '\u00b2' WHERE key = 'schema_version'"), 1, "schema version is '\u00b2'", "both"),
    ("a head of other digits", lambda n: sql(n, "UPDATE meta SET value = ? WHERE key = 'head'", "\u00b3:" + "e" * 64), 1, "not SEQUENCE:HASH", "both"),
    ("the entries' table dropped", lambda n: sql(n, "DROP TABLE decisions"), 1, "table of entries is gone", "both"),
    ("a rule downgraded", lambda n: sql(n, "UPDATE decisions SET rule = 1 WHERE sequence = 2"), 2, "older rule", "both"),
    ("every rule downgraded", lambda n: sql(n, "UPDATE decisions SET rule = 1"), 1, "columns its hash rule does not cover", "both"),
    ("a label edited", lambda n: sql(n, "UPDATE decisions SET permission = 'AAA' WHERE sequence = 4"), 4, "entry hash does not match", "both"),
    ("the log rewritten from entry 3 on, head included", lambda n: rewritten_from(n, 3), 3, "node 5, over entries 3 to 4, is not the hash", "both"),
    ("a node of the tree replaced", lambda n: sql(n, "UPDATE tree SET hash = ? WHERE node = 5", b"\0" * 32), 3, "node 5, over entries 3 to 4, is not", "both"),
    ("a node of the tree deleted", lambda n: sql(n, "DELETE FROM tree WHERE node = 1"), 1, "node 1, over entries 1 to 2, is missing", "both"),
    ("a node added to the tree", lambda n: sql(n, "INSERT INTO tree (node, hash) VALUES (99, ?)", b"\0" * 32), ENTRIES, "holds 5 nodes where its 6 entries make 4", "both"),
    ("the tree dropped", lambda n: sql(n, "DROP TABLE tree"), 1, "tree table is gone", "both"),
]  # fmt: skip


@pytest.fixture
def logged(store_url, tmp_path):
    """A store with ENTRIES decisions logged by the tool."""
    request = Path(__file__).parents[1] / "examples" / "agent-tool-run" / "request.json"
    batch = tmp_path / "batch.jsonl"
    batch.write_text((json.dumps(json.loads(request.read_text())) + "\n") * ENTRIES)
    assert call("decide", "--batch", batch, "--log", store_url)[0] == 0
    assert call("log", "verify", store_url)[0] == 0
    return store_url


@pytest.mark.parametrize(
    ("change", "entry", "reason", "backends"),
    [case[1:] for case in TAMPERS],
    ids=[case[0] for case in TAMPERS],
)
def test_every_tamper_fails_verification_at_the_first_entry_it_touches(
    logged, change, entry, reason, backends
):
    backend = "postgresql" if logged.startswith("postgresql://") else "sqlite"
    if backends not in ("both", backend):
        pytest.skip(f"a tamper {backend} does not allow")
    change(logged)
    status, out, err = call("log", "verify", logged)
    assert (status, err) == (1, "")
    named = re.match(r".*?: entry (-?\d+): (.*)", out.strip())
    assert named, out
    if isinstance(entry, tuple):
        entry = entry[backend == "postgresql"]
    assert int(named.group(1)) == entry and re.search(reason, named.group(2)), out


def test_a_log_verified_while_it_is_written_holds(store_url):
    """Verification reads one snapshot: entries appended meanwhile are no fault."""
    with open_store(store_url) as store:
        store.append_many([{"n": n} for n in range(20)])
        stop = threading.Event()

        def write():
            while not stop.is_set():
                store.append({"more": 1})

        writer = threading.Thread(target=write)
        writer.start()
        try:
            faults = [open_store(store_url, read_only=True).verify() for _ in range(15)]
        finally:
            stop.set()
            writer.join()
    assert faults == [None] * 15


def test_the_database_refuses_what_can_never_be_a_valid_entry(logged):
    record, content, previous, logged_at, _ = row(logged, 1)
    for sequence in (0, -1, 1):
        with pytest.raises(Exception, match="(?i)constraint|unique|duplicate|check"):
            insert = ("INSERT INTO decisions (sequence, record, content_hash, previous_hash, "
                      "entry_hash, logged_at, rule) VALUES (?, ?, ?, ?, ?, ?, 2)")  # fmt: skip
            if logged.startswith("postgresql://"):
                sql(logged, insert, sequence, record, content, previous, "e" * 64, logged_at)
            else:
                connection = sqlite3.connect(logged, isolation_level=None)
                try:
                    connection.execute(insert, (sequence, record, content, previous, "e" * 64,
                                                logged_at))  # fmt: skip
                finally:
                    connection.close()
    assert call("log", "verify", logged)[0] == 0


def test_what_is_not_a_store_is_refused_and_left_as_it_is(tmp_path):
    missing = tmp_path / "missing.db"
    empty = tmp_path / "empty.db"
    empty.write_bytes(b"")
    foreign = tmp_path / "foreign.db"
    with sqlite3.connect(foreign) as connection:
        connection.execute("CREATE TABLE notes (text TEXT)")
    junk = tmp_path / "junk.db"
    junk.write_bytes(b"not a database at all " * 100)
    before = {path: path.read_bytes() for path in (empty, foreign, junk)}
    for path in (missing, empty, foreign, junk):
        for command in (("log", "verify", path), ("log", "audit", path)):
            status, out, err = call(*command)
            assert (status, out) == (2, "") and "not a store" in err, (path, err)
    assert not missing.exists()
    assert {path: path.read_bytes() for path in before} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.db", "foreign.db", "junk.db"]
    # Logging to another program's file is refused too, rather than adding tables to it.
    with pytest.raises(StoreError, match="not a store"):
        open_store(foreign)


def test_a_database_without_a_store_is_not_a_store(store_url):
    if not store_url.startswith("postgresql://"):
        pytest.skip("the missing file is the SQLite case")
    status, _, err = call("log", "verify", store_url)
    assert status == 2 and "not a store" in err


V1_SCHEMA = [
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE chains (hash TEXT PRIMARY KEY, document TEXT NOT NULL, "
    "published_at DOUBLE PRECISION NOT NULL)",
    "CREATE TABLE decisions (sequence BIGINT PRIMARY KEY, record TEXT NOT NULL, "
    "content_hash TEXT NOT NULL, previous_hash TEXT NOT NULL, entry_hash TEXT NOT NULL, "
    "logged_at DOUBLE PRECISION NOT NULL)",
    "CREATE INDEX decisions_by_content ON decisions (content_hash)",
]


def write_v1_store(name, count):
    """A store as the previous version wrote it: schema version 1, entries hashed without
    their time."""
    for statement in V1_SCHEMA:
        sql(name, statement)
    sql(name, "INSERT INTO meta (key, value) VALUES ('schema_version', '1')")
    previous = "0" * 64
    for sequence in range(1, count + 1):
        record = json.dumps({"n": sequence}, separators=(",", ":"))
        digest = sha(record)
        link = sha(f"{previous}:{sequence}:{digest}")
        sql(name, "INSERT INTO decisions (sequence, record, content_hash, previous_hash, "
                  "entry_hash, logged_at) VALUES (?, ?, ?, ?, ?, ?)",
            sequence, record, digest, previous, link, 1765267200.5 + sequence)  # fmt: skip
        previous = link
    sql(name, "INSERT INTO meta (key, value) VALUES ('head', ?)", f"{count}:{previous}")


def test_a_store_of_the_previous_version_verifies_as_it_is_and_upgrades_in_place(store_url):
    write_v1_store(store_url, 5)
    # Read-only, it verifies by its own rule and is not upgraded.
    status, out, _ = call("log", "verify", store_url)
    assert status == 0 and "5 entries verified" in out
    assert sql(store_url, "SELECT value FROM meta WHERE key = 'schema_version'") == [("1",)]
    # A tamper of an old entry is caught by the old rule.
    sql(store_url, "UPDATE decisions SET logged_at = 0 WHERE sequence = 2")
    assert call("log", "verify", store_url)[0] == 0  # the old rule never covered the time
    with open_store(store_url) as store:
        store.append({"n": 6})
        assert store.verify() is None and [e.rule for e in store.entries()] == [1] * 5 + [2]
    assert sql(store_url, "SELECT value FROM meta WHERE key = 'schema_version'") == [
        (str(SCHEMA_VERSION),)
    ]
    status, out, _ = call("log", "verify", store_url)
    assert status == 0 and "6 entries verified" in out
    # Past the upgrade, the database guards the log; the old entries keep their rule.
    sql(store_url, "UPDATE decisions SET rule = 2 WHERE sequence = 1")
    status, out, _ = call("log", "verify", store_url)
    assert status == 1 and "entry 1: its entry hash does not match" in out


def test_a_tampered_store_of_the_previous_version_is_not_upgraded(store_url):
    write_v1_store(store_url, 3)
    sql(store_url, "UPDATE decisions SET sequence = 0 WHERE sequence = 3")
    with pytest.raises(StoreError, match="log verify"):
        open_store(store_url)
    status, out, _ = call("log", "verify", store_url)
    assert status == 1 and "entry 0: sequence numbers start at 1" in out
    assert sql(store_url, "SELECT value FROM meta WHERE key = 'schema_version'") == [("1",)]


def test_passwords_are_hidden_wherever_the_url_carries_them():
    for url in (
        "postgresql://oq:hunter2@/oq?host=/nonexistent&port=1",
        "postgresql:///oq?host=/nonexistent&port=1&password=hunter2",
        "postgresql:///oq?Password=hunter2&host=/nonexistent&port=1",
        "postgres://oq:hunter%32@/oq?host=/nonexistent&port=1",
    ):
        status, out, err = call("log", "verify", url)
        assert status in (2, 4) and "hunter" not in err + out and err, (url, err)
