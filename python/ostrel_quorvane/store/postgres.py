"""The shared back end: a PostgreSQL database several processes and machines write to. Appends
serialize on a table lock, so the log stays one chain whoever writes."""

from __future__ import annotations

from typing import Any
from urllib.parse import parse_qsl, unquote, urlsplit

from ostrel_quorvane.store.base import SECRET_PARAMETERS, Backend, StoreError
from ostrel_quorvane.store.log import LABELS
from ostrel_quorvane.store.tree import build_tree

# The log's Merkle tree (each complete subtree's hash under its in-order key), its signed
# checkpoints and the keys that signed them.
LOG_TREE = [
    "CREATE TABLE IF NOT EXISTS tree (node BIGINT PRIMARY KEY CONSTRAINT tree_node CHECK "
    "(node >= 0), hash BYTEA NOT NULL CONSTRAINT tree_hash CHECK (length(hash) = 32))",
    "CREATE TABLE IF NOT EXISTS checkpoints (size BIGINT NOT NULL, signer TEXT NOT NULL, "
    "note TEXT NOT NULL, made_at DOUBLE PRECISION NOT NULL, PRIMARY KEY (size, signer))",
    "CREATE TABLE IF NOT EXISTS log_keys (verifier TEXT PRIMARY KEY, "
    "first_size BIGINT NOT NULL, first_at DOUBLE PRECISION NOT NULL)",
]


class PostgresBackend(Backend):
    placeholder = "%s"
    schema = [
        "CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS chains (hash TEXT PRIMARY KEY, document TEXT NOT NULL, "
        "published_at DOUBLE PRECISION NOT NULL)",
        "CREATE TABLE IF NOT EXISTS decisions (sequence BIGINT PRIMARY KEY "
        "CONSTRAINT decisions_sequence_from_1 CHECK (sequence >= 1), record TEXT NOT NULL, "
        "content_hash TEXT NOT NULL, previous_hash TEXT NOT NULL, entry_hash TEXT NOT NULL, "
        "logged_at DOUBLE PRECISION NOT NULL, "
        "rule SMALLINT NOT NULL CONSTRAINT decisions_rule CHECK (rule IN (1, 2)), "
        + ", ".join(f"{label} TEXT" for label in LABELS)
        + ")",
        *LOG_TREE,
    ]
    migrations = {
        1: [
            "ALTER TABLE decisions ADD COLUMN rule SMALLINT NOT NULL DEFAULT 1 "
            "CONSTRAINT decisions_rule CHECK (rule IN (1, 2))",
            "ALTER TABLE decisions ALTER COLUMN rule DROP DEFAULT",
            "ALTER TABLE decisions ADD CONSTRAINT decisions_sequence_from_1 CHECK (sequence >= 1)",
            *(f"ALTER TABLE decisions ADD COLUMN {label} TEXT" for label in LABELS),
        ],
        2: [*LOG_TREE, build_tree],
    }

    def __init__(self, url: str, timeout: float) -> None:
        try:
            import psycopg
        except ImportError:
            raise StoreError(
                "a postgresql:// store needs the psycopg driver: "
                "pip install 'ostrel-quorvane[postgresql]'"
            ) from None
        self._psycopg = psycopg
        self.url = url
        self.timeout = timeout
        self._secrets = _secrets(url)

    def connect(self, read_only: bool) -> Any:
        connection = self._psycopg.connect(
            self.url, connect_timeout=max(1, int(self.timeout)), autocommit=False
        )
        # No statement waits longer than a connection may take to open: a server that stops
        # answering fails the call rather than holding it.
        connection.execute(f"SET statement_timeout = {int(self.timeout * 1000)}")
        connection.commit()
        if read_only:
            connection.execute("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")
            connection.commit()
        return connection

    def table_names(self, cursor: Any) -> set[str]:
        rows = cursor.execute(
            "SELECT tablename FROM pg_tables WHERE schemaname = current_schema()"
        ).fetchall()
        return {row[0] for row in rows}

    def begin_write(self, cursor: Any) -> None:
        # One writer at a time takes the head of the log; readers go on beside it.
        cursor.execute(f"SET LOCAL lock_timeout = '{int(self.timeout * 1000)}ms'")
        cursor.execute("LOCK TABLE decisions IN SHARE ROW EXCLUSIVE MODE")

    def begin_read(self, cursor: Any) -> None:
        pass

    def verify_select(self, version: int) -> str:
        labels = LABELS if version >= 2 else ()
        kinds = " || ',' || ".join(
            f"CASE WHEN {column} IS NULL THEN 'null' ELSE pg_typeof({column})::text END"
            for column in ("record", "content_hash", "previous_hash", "entry_hash", *labels)
        )
        later = f"rule, {', '.join(LABELS)}" if version >= 2 else "1" + ", NULL" * len(LABELS)
        return (
            f"SELECT sequence, record, {kinds}, content_hash, previous_hash, entry_hash, "
            f"logged_at, {later} FROM decisions"
        )

    def begin_snapshot(self, cursor: Any) -> None:
        cursor.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")

    def begin_schema(self, cursor: Any) -> None:
        # Two processes creating the tables at once would collide in the catalog.
        cursor.execute("SELECT pg_advisory_xact_lock(4171)")

    def failure(self, error: BaseException) -> str | None:
        psycopg = self._psycopg
        if not isinstance(error, psycopg.Error):
            return None
        text = " ".join(str(error).split())
        for secret in self._secrets:
            text = text.replace(secret, "***")
        if isinstance(error, psycopg.errors.LockNotAvailable):
            return f"the store is locked by another writer ({text}); nothing was written"
        if isinstance(error, psycopg.errors.ReadOnlySqlTransaction):
            return f"the store cannot be written ({text}); nothing was written"
        if isinstance(error, psycopg.errors.DiskFull):
            return f"the disk is full ({text}); nothing was written"
        if isinstance(error, psycopg.OperationalError):
            return f"the database cannot be reached ({text})"
        return text


def _secrets(url: str) -> list[str]:
    """The passwords a URL carries, so that no message repeats them."""
    try:
        parts = urlsplit(url)
        found = [parts.password] if parts.password else []
        found += [v for k, v in parse_qsl(parts.query) if k.strip().lower() in SECRET_PARAMETERS]
    except ValueError:
        return []
    found += [unquote(secret) for secret in found]
    return sorted({secret for secret in found if secret}, key=len, reverse=True)
