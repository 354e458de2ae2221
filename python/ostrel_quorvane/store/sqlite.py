"""The embedded back end: one SQLite file in WAL mode, every write a transaction committed
with a full sync before it is acknowledged."""

from __future__ import annotations

import sqlite3
from pathlib import Path
from typing import Any
from urllib.parse import quote

from ostrel_quorvane.store.base import TABLES, Backend, NotAStore
from ostrel_quorvane.store.log import LABELS
from ostrel_quorvane.store.tree import build_tree

# Entries are checked by the database itself as far as it can: numbered from 1, each number once
# (the row id), the record text and the time a number.
DECISIONS = (
    "CREATE TABLE IF NOT EXISTS {name} (sequence INTEGER PRIMARY KEY CHECK (sequence >= 1), "
    "record TEXT NOT NULL CHECK (typeof(record) = 'text'), content_hash TEXT NOT NULL, "
    "previous_hash TEXT NOT NULL, entry_hash TEXT NOT NULL, "
    "logged_at REAL NOT NULL CHECK (typeof(logged_at) = 'real'), "
    "rule INTEGER NOT NULL CHECK (rule IN (1, 2)), "
    + ", ".join(f"{label} TEXT" for label in LABELS)
    + ")"
)
COLUMNS = "sequence, record, content_hash, previous_hash, entry_hash, logged_at"
# The log's Merkle tree (each complete subtree's hash under its in-order key), its signed
# checkpoints and the keys that signed them.
LOG_TREE = [
    "CREATE TABLE IF NOT EXISTS tree (node INTEGER PRIMARY KEY CHECK (node >= 0), "
    "hash BLOB NOT NULL CHECK (typeof(hash) = 'blob' AND length(hash) = 32))",
    "CREATE TABLE IF NOT EXISTS checkpoints (size INTEGER NOT NULL, signer TEXT NOT NULL, "
    "note TEXT NOT NULL, made_at REAL NOT NULL, PRIMARY KEY (size, signer))",
    "CREATE TABLE IF NOT EXISTS log_keys (verifier TEXT PRIMARY KEY, "
    "first_size INTEGER NOT NULL, first_at REAL NOT NULL)",
]


class SqliteBackend(Backend):
    schema = [
        "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS chains (hash TEXT PRIMARY KEY, document TEXT NOT NULL, "
        "published_at DOUBLE PRECISION NOT NULL)",
        DECISIONS.format(name="decisions"),
        *LOG_TREE,
    ]
    # SQLite adds no constraint to a table in place: version 1's log is copied into one that
    # has them, each entry keeping the hash rule it was written under.
    migrations = {
        1: [
            DECISIONS.format(name="decisions_v2"),
            f"INSERT INTO decisions_v2 ({COLUMNS}, rule) SELECT {COLUMNS}, 1 FROM decisions "
            "ORDER BY sequence",
            "DROP TABLE decisions",
            "ALTER TABLE decisions_v2 RENAME TO decisions",
        ],
        2: [*LOG_TREE, build_tree],
    }

    def __init__(self, path: Path, timeout: float) -> None:
        self.path = path
        self.timeout = timeout
        self.name = str(path)

    def exists(self) -> bool:
        return self.path.exists()

    def connect(self, read_only: bool) -> Any:
        if read_only:
            # Opened as a URI so that no database is made and nothing in one changed (SQLite
            # may still make the shared-memory files a database in WAL mode is read through).
            uri = f"file:{quote(str(self.path.absolute()))}?mode=ro"
            connection = sqlite3.connect(
                uri, uri=True, timeout=self.timeout, isolation_level=None, check_same_thread=False
            )
            connection.execute(f"PRAGMA busy_timeout={int(self.timeout * 1000)}")
            return connection
        connection = sqlite3.connect(
            self.path, timeout=self.timeout, isolation_level=None, check_same_thread=False
        )
        try:
            # A file of this back end is the store's alone: one that holds other tables and none
            # of the store's is another program's, and is left exactly as it is.
            names = self.table_names(connection)
            if names and not names & set(TABLES):
                raise NotAStore(f"{self.name}: not a store (another program's database)")
            # The log appends records of several kilobytes each: large pages keep each in one
            # page rather than a chain of overflow pages. Takes effect when the file is made.
            connection.execute("PRAGMA page_size=65536")
            # WAL lets readers run beside the one writer; a full sync at each commit means an
            # acknowledged record survives a crash of the machine, not only of the process.
            connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=FULL")
            connection.execute(f"PRAGMA busy_timeout={int(self.timeout * 1000)}")
        except BaseException:
            connection.close()
            raise
        return connection

    def table_names(self, cursor: Any) -> set[str]:
        rows = cursor.execute("SELECT name FROM sqlite_master WHERE type = 'table'").fetchall()
        return {row[0] for row in rows}

    def verify_select(self, version: int) -> str:
        # Text is read as bytes, so that a column that is not UTF-8 is named rather than
        # failing the read of its page; how each is stored is read beside it.
        labels = LABELS if version >= 2 else ()
        columns = ("record", "content_hash", "previous_hash", "entry_hash", *labels)
        kinds = " || ',' || ".join(f"typeof({column})" for column in columns)
        later = (
            "rule, " + ", ".join(f"CAST({label} AS BLOB)" for label in LABELS)
            if version >= 2
            else "1" + ", NULL" * len(LABELS)
        )
        return (
            f"SELECT sequence, CAST(record AS BLOB), {kinds}, CAST(content_hash AS BLOB), "
            "CAST(previous_hash AS BLOB), CAST(entry_hash AS BLOB), logged_at, "
            f"{later} FROM decisions"
        )

    def begin_write(self, cursor: Any) -> None:
        # Takes the write lock at once, so that reading the head and appending after it are one.
        cursor.execute("BEGIN IMMEDIATE")

    def begin_read(self, cursor: Any) -> None:
        cursor.execute("BEGIN")

    def commit(self, connection: Any) -> None:
        connection.execute("COMMIT")

    def rollback(self, connection: Any) -> None:
        if connection.in_transaction:
            connection.execute("ROLLBACK")

    def failure(self, error: BaseException) -> str | None:
        if not isinstance(error, sqlite3.Error):
            return None
        text = str(error)
        if "locked" in text or "busy" in text:
            return f"the store is locked by another writer ({text}); nothing was written"
        if "readonly" in text or "read-only" in text:
            return f"the store cannot be written ({text}); nothing was written"
        if "disk is full" in text or "full" in text:
            return f"the disk is full ({text}); nothing was written"
        if "unable to open" in text:
            return f"the store cannot be opened ({text})"
        if "not a database" in text or "malformed" in text:
            return f"not a store ({text})"
        return text
