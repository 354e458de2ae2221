"""The store on both back ends: the chain registry, the hash-chained decision log and its
verification, writers in threads and processes, a writer killed mid-batch, and the faults of a
store that cannot be written."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import _ostrel_quorvane as oq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from ostrel_quorvane.request import load_chain
from ostrel_quorvane.store import CorruptChain, StoreError, content_hash, open_store

EXAMPLES = Path(__file__).parents[1] / "examples"
POSTGRES = os.environ.get("OQ_TEST_POSTGRES")


@pytest.fixture
def store_name(store_url):
    """A fresh, empty store of each back end."""
    return store_url


def raw(store, statement, *args):
    """Runs SQL on the store's own connection, as someone with the database in hand would."""
    store_sql = store._sql(statement)

    def run(cursor):
        cursor.execute(store_sql, args)

    store._run(True, run)


def decisions(count, tag="d"):
    return [{"format": "test", "n": i, "tag": tag, "text": "é\n"} for i in range(count)]


def test_a_chain_is_published_once_and_read_back_checked(store_name):
    chain = load_chain(EXAMPLES / "chains" / "data-access.json")
    with open_store(store_name) as store:
        key = store.publish(chain)
        assert store.publish(chain) == key == chain.chain_hash().to_hex()
        store.publish(oq.PermissionChain.default_chain())
        assert sorted(k for k, _ in store.chains()) == sorted(
            [key, oq.PermissionChain.default_chain().chain_hash().to_hex()]
        )
        assert store.chain(key) == chain and store.chain("0" * 64) is None
        # A row edited to hold another chain is refused, never served.
        other = (EXAMPLES / "chains" / "default.json").read_text()
        raw(store, "UPDATE chains SET document = ? WHERE hash = ?", other, key)
        with pytest.raises(CorruptChain, match=f"chain {key} is corrupt: it hashes to"):
            store.chain(key)
        raw(store, "UPDATE chains SET document = ? WHERE hash = ?", "{", key)
        with pytest.raises(CorruptChain):
            store.chain(key)


def test_the_log_links_every_entry_to_the_one_before(store_name):
    with open_store(store_name) as store:
        assert store.head() == (0, "0" * 64) and store.verify() is None
        first = store.append({"b": 1, "a": "é"})
        assert first.record == '{"a":"é","b":1}' and first.content_hash == content_hash(
            first.record
        )
        entries = store.append_many(decisions(250))
        assert [e.sequence for e in entries] == list(range(2, 252))
        assert entries[0].previous_hash == first.entry_hash
        assert store.head() == (251, entries[-1].entry_hash)
        assert [e.sequence for e in store.entries(start=249)] == [249, 250, 251]
        assert store.find(entries[5].content_hash) == entries[5]
        assert store.verify() is None and store.count() == 251


TAMPERING = st.lists(
    st.tuples(
        st.sampled_from(["edit", "delete", "swap", "rehash", "relink", "reseal"]),
        st.integers(1, 12),
    ),
    min_size=1,
    max_size=3,
)


def tamper(store, action, at):
    """One change someone with write access to the database might make."""
    if action == "edit":
        raw(store, "UPDATE decisions SET record = record || ' ' WHERE sequence = ?", at)
    elif action == "delete":
        raw(store, "DELETE FROM decisions WHERE sequence = ?", at)
    elif action == "swap":  # two neighbours' records and hashes change places
        a, b = (store.find_sequence(s) for s in (at, at % 12 + 1))
        for entry, other in ((a, b), (b, a)):
            if entry is not None and other is not None:
                raw(store, "UPDATE decisions SET record = ?, content_hash = ? WHERE sequence = ?",
                    other.record, other.content_hash, entry.sequence)  # fmt: skip
    elif action == "rehash":  # the edit with its content hash made to match
        entry = store.find_sequence(at)
        if entry is not None:
            record = entry.record[:-1] + ',"x":1}'
            raw(store, "UPDATE decisions SET record = ?, content_hash = ? WHERE sequence = ?",
                record, content_hash(record), at)  # fmt: skip
    elif action == "relink":
        raw(store, "UPDATE decisions SET previous_hash = ? WHERE sequence = ?", "f" * 64, at)
    else:
        raw(store, "UPDATE decisions SET entry_hash = ? WHERE sequence = ?", "e" * 64, at)


def test_verify_catches_every_edit_deletion_and_reordering(store_url):
    name = store_url
    with open_store(name) as store:

        @settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
        @given(TAMPERING)
        def check(changes):
            raw(store, "DELETE FROM decisions")
            raw(store, "DELETE FROM tree")
            entries = store.append_many(decisions(12))
            before = {e.sequence: e for e in entries}
            for action, at in changes:
                tamper(store, action, at)
            after = {e.sequence: e for e in store.entries()}
            fault = store.verify()
            if after == before:  # the changes undid each other, or touched nothing
                assert fault is None
                return
            assert fault is not None
            first_changed = min(s for s in before if after.get(s) != before[s])
            # Nothing before the first change is blamed: the break is found at it, or at the
            # entry after it whose link it broke.
            assert first_changed <= fault.sequence <= first_changed + 1

        check()


def test_appends_from_threads_share_transactions_and_keep_one_chain(store_name):
    with open_store(store_name) as store:

        def write(tag):
            for entry in decisions(40, tag):
                store.append(entry)

        threads = [threading.Thread(target=write, args=(str(i),)) for i in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert store.count() == 240 and store.verify() is None
        per_writer = {}
        for entry in store.entries():
            decision = entry.decision()
            per_writer.setdefault(decision["tag"], []).append(decision["n"])
        assert all(numbers == list(range(40)) for numbers in per_writer.values())


WRITER = textwrap.dedent("""
    import sys
    from ostrel_quorvane.store import open_store
    store = open_store(sys.argv[1])
    tag, count = sys.argv[2], int(sys.argv[3])
    for start in range(0, count, 10):
        for entry in store.append_many([{"tag": tag, "n": n} for n in range(start, start + 10)]):
            print(entry.sequence, entry.content_hash, flush=True)
""")


def test_processes_writing_at_once_keep_one_verifiable_log(store_name):
    open_store(store_name).close()
    writers = [
        subprocess.Popen([sys.executable, "-c", WRITER, store_name, tag, "60"], stdout=subprocess.PIPE, text=True)
        for tag in "abc"
    ]  # fmt: skip
    acknowledged = [line.split() for w in writers for line in w.communicate()[0].splitlines()]
    assert all(w.returncode == 0 for w in writers)
    with open_store(store_name) as store:
        assert store.count() == 180 == len(acknowledged) and store.verify() is None


def test_a_writer_killed_mid_batch_loses_no_acknowledged_record(store_name):
    open_store(store_name).close()
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER, store_name, "k", "100000"], stdout=subprocess.PIPE, text=True
    )
    acknowledged = []
    for line in writer.stdout:
        acknowledged.append(line.split())
        if len(acknowledged) >= 300:
            break
    writer.send_signal(signal.SIGKILL)
    writer.wait()
    acknowledged += [line.split() for line in writer.stdout.read().splitlines()]
    with open_store(store_name) as store:
        assert store.verify() is None
        stored = {str(e.sequence): e.content_hash for e in store.entries()}
        assert all(stored.get(sequence) == digest for sequence, digest in acknowledged)
        # An unacknowledged batch is there whole or not at all.
        assert len(stored) % 10 == 0


def test_a_store_of_a_newer_schema_is_refused_and_left_as_it_is(store_name):
    with open_store(store_name) as store:
        store.append({"a": 1})
        raw(store, "UPDATE meta SET value = ? WHERE key = ?", "99", "schema_version")
    with pytest.raises(StoreError, match="schema version 99, newer than the 3"):
        open_store(store_name)
    if not store_name.startswith("postgresql"):
        with sqlite3.connect(store_name) as connection:
            assert connection.execute("SELECT COUNT(*) FROM decisions").fetchone() == (1,)


def test_a_locked_sqlite_store_gives_one_error_and_loses_nothing(tmp_path):
    name = str(tmp_path / "locked.db")
    with open_store(name) as store:
        store.append({"a": 1})
    holder = sqlite3.connect(name, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        with open_store(name, timeout=0.2) as store:
            with pytest.raises(StoreError, match="locked by another writer"):
                store.append_many([{"b": 2}])
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    with open_store(name) as store:
        assert store.count() == 1 and store.verify() is None


@pytest.mark.parametrize("contents", [b"not a database" * 100])
def test_a_file_that_is_no_store_is_refused(contents, tmp_path):
    path = tmp_path / "junk.db"
    path.write_bytes(contents)
    with pytest.raises(StoreError, match="not a store"):
        open_store(path)


@pytest.fixture
def small_disk(tmp_path):
    mount = tmp_path / "disk"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount)],
                      capture_output=True).returncode != 0:  # fmt: skip
        pytest.skip("cannot mount a small file system here")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=False)


def test_a_full_or_read_only_disk_gives_one_error_and_loses_nothing(small_disk):
    name = str(small_disk / "store.db")
    with open_store(name) as store:
        kept = store.append_many(decisions(20))
        with pytest.raises(StoreError, match="disk is full|cannot be written"):
            for _ in range(200):
                store.append_many([{"pad": "x" * 40000, "n": n} for n in range(20)])
    subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    with pytest.raises(StoreError, match="cannot be written|cannot be opened|readonly|read-only"):
        with open_store(name) as store:
            store.append({"late": 1})
    subprocess.run(["mount", "-o", "remount,rw", str(small_disk)], check=True)
    with open_store(name) as store:
        assert store.verify() is None
        assert [e.content_hash for e in store.entries()][: len(kept)] == [
            e.content_hash for e in kept
        ]


def test_a_database_that_cannot_be_reached_gives_one_error():
    with pytest.raises(StoreError, match="cannot be reached"):
        open_store("postgresql://oq:secret@/oq?host=/nonexistent&port=1", timeout=1)
    try:
        open_store("postgresql://oq:secret@/oq?host=/nonexistent&port=1", timeout=1)
    except StoreError as error:
        assert "secret" not in str(error)


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=20,
)  # fmt: skip


@settings(max_examples=300, deadline=None)
@given(JSON_VALUES, st.booleans())
def test_the_native_canonical_form_is_pythons(value, ascii):
    """Anyone can check a content hash with Python's json module alone."""
    import _ostrel_quorvane

    text = json.dumps(value, ensure_ascii=ascii, indent=None if ascii else 1)
    python = json.dumps(json.loads(text), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    # Integers of any size included: they are written as their digits, as Python holds them.
    assert _ostrel_quorvane._canonical_json(text) == python
    from ostrel_quorvane.store import canonical_record

    assert canonical_record(text) == python


def test_a_closed_store_takes_no_more_appends(store_name):
    store = open_store(store_name)
    store.append({"a": 1})
    store.close()
    with pytest.raises(StoreError, match="the store is closed"):
        store.append({"a": 2})
    with open_store(store_name) as again:
        assert again.count() == 1 and again.verify() is None
