"""The store's one interface over its two back ends."""

from __future__ import annotations

import asyncio
import json
import logging
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any
from urllib.parse import unquote

from _ostrel_quorvane import PermissionChain

from ostrel_quorvane.files import InputError
from ostrel_quorvane.request import chain_document, loads_chain
from ostrel_quorvane.store import summary, tree
from ostrel_quorvane.store.log import (
    CURRENT_RULE,
    GENESIS,
    LABELS,
    LogEntry,
    LogFault,
    canonical_record,
    content_hash,
    entry_hash,
    record_labels,
)
from ostrel_quorvane.store.verify import verify_log
from ostrel_quorvane.store.writer import Appending, LogWriter

if TYPE_CHECKING:
    from ostrel_quorvane.store.proofs import LogProofs

__all__ = ["Backend", "CorruptChain", "NotAStore", "Store", "StoreError", "open_store"]

LOGGER = logging.getLogger("ostrel_quorvane.store")
# The schema this version writes; a store of a later one is refused, never changed.
SCHEMA_VERSION = 3
# The store's own tables: a database holding none of them is not a store.
TABLES = ("meta", "chains", "decisions")


class StoreError(Exception):
    """The store could not do what was asked: ``name: what went wrong``. Nothing already
    stored is lost."""


class CorruptChain(StoreError):
    """A stored chain that does not hash to the key it is stored under."""


class NotAStore(StoreError):
    """What was named is not a store (a missing or empty file, another program's database), and
    was left as it is."""


class Backend:
    """What differs between SQLite and PostgreSQL: connecting, locking for a write, the
    placeholder, and what each error means."""

    name: str
    placeholder = "?"
    # The statements that make a store of SCHEMA_VERSION, each harmless when run again.
    schema: list[str]
    # Upgrades in place: migrations[n] takes a store of version n to version n + 1, by
    # statements and by steps run with the store and the upgrade's cursor.
    migrations: dict[int, list[str | Callable[[Store, Any], Any]]]
    # Indexes, made once the tables are of SCHEMA_VERSION.
    indexes: list[str] = [
        "CREATE INDEX IF NOT EXISTS decisions_by_content ON decisions (content_hash)",
        "CREATE INDEX IF NOT EXISTS decisions_by_time ON decisions (logged_at)",
        # The level and the claim: what the log is most often listed by. Each index costs every
        # append; candidate and context ids are found by a scan.
        *(
            f"CREATE INDEX IF NOT EXISTS decisions_by_{label} ON decisions ({label}, sequence)"
            for label in ("permission", "claim_id")
        ),
    ]

    def connect(self, read_only: bool) -> Any:
        raise NotImplementedError

    def exists(self) -> bool:
        """Whether there is anything to open without making it (a read-only store is never
        made)."""
        return True

    def table_names(self, cursor: Any) -> set[str]:
        """The names of the tables the store's connection sees."""
        raise NotImplementedError

    def verify_select(self, version: int) -> str:
        """The SELECT (without WHERE, ORDER or LIMIT) that reads the log's rows for verifying
        them as stored: sequence, record, how each text column is stored (comma-separated, for
        the record, the three hashes and the labels: "text" or "null"), content hash, previous
        hash, entry hash, logged at, rule, labels."""
        raise NotImplementedError

    def begin_snapshot(self, cursor: Any) -> None:
        """Begins a read transaction that sees one state of the store throughout."""
        self.begin_read(cursor)

    def begin_write(self, cursor: Any) -> None:
        raise NotImplementedError

    def begin_read(self, cursor: Any) -> None:
        raise NotImplementedError

    def begin_schema(self, cursor: Any) -> None:
        """Begins the transaction that creates or upgrades the schema, one process at a time."""
        self.begin_write(cursor)

    def commit(self, connection: Any) -> None:
        connection.commit()

    def rollback(self, connection: Any) -> None:
        connection.rollback()

    def failure(self, error: BaseException) -> str | None:
        """What a driver error means, in one line; None for an error that is not the store's."""
        raise NotImplementedError

    def missing_table(self, error: BaseException) -> bool:
        """Whether ``error`` says a table does not exist (a store not yet made)."""
        return "no such table" in str(error) or "does not exist" in str(error)


class Store:
    """A chain registry and a decision log in one database. Safe to share between threads."""

    def __init__(self, name: str, backend: Backend, read_only: bool = False) -> None:
        self.name = name
        self.read_only = read_only
        self._backend = backend
        self._local = threading.local()
        self._writer: LogWriter | None = None
        self._writer_lock = threading.Lock()
        self._closed = False
        self._version = SCHEMA_VERSION
        # The tree's frontier as this store's last append left it, with the head it follows:
        # the next append reads it again only when another writer has appended since.
        self._edge: tuple[tuple[int, str], tree.Edge] | None = None
        self._prepare()

    # ----- connections and transactions -----

    def _connection(self) -> Any:
        connection = getattr(self._local, "connection", None)
        if connection is None:
            connection = self._guarded(lambda: self._backend.connect(self.read_only))
            self._local.connection = connection
        return connection

    def _guarded(self, run: Callable[[], Any]) -> Any:
        try:
            return run()
        except StoreError:
            raise
        except tree.TreeIncomplete as error:
            raise StoreError(f"{self.name}: {error}; 'log verify' says what is wrong") from None
        except Exception as error:
            meaning = self._backend.failure(error)
            if meaning is None:
                raise
            raise StoreError(f"{self.name}: {meaning}") from None

    @contextmanager
    def _transaction(self, kind: str) -> Iterator[Any]:
        connection = self._connection()
        cursor = connection.cursor()
        begin = {
            "read": self._backend.begin_read,
            "snapshot": self._backend.begin_snapshot,
            "write": self._backend.begin_write,
            "schema": self._backend.begin_schema,
        }[kind]
        try:
            begin(cursor)
            yield cursor
            self._backend.commit(connection)
        except BaseException:
            try:
                self._backend.rollback(connection)
            except Exception:  # the connection itself is gone; the error says why
                self._local.connection = None
            raise
        finally:
            cursor.close()

    def _sql(self, text: str) -> str:
        return text.replace("?", self._backend.placeholder)

    def _run(self, write: bool | str, work: Callable[[Any], Any]) -> Any:
        kind = write if isinstance(write, str) else "write" if write else "read"

        def attempt() -> Any:
            with self._transaction(kind) as cursor:
                return work(cursor)

        return self._guarded(attempt)

    def _prepare(self) -> None:
        if self.read_only and not self._backend.exists():
            raise NotAStore(f"{self.name}: not a store (there is nothing there)")

        def version(cursor: Any) -> int | str | None:
            try:
                cursor.execute(
                    self._sql("SELECT value FROM meta WHERE key = ?"), ("schema_version",)
                )
            except Exception as error:
                if self._backend.failure(error) is None or not self._backend.missing_table(error):
                    raise
                return None
            row = cursor.fetchone()
            if row is None:
                return None
            text = str(row[0])
            return int(text) if text.isascii() and text.isdigit() else text

        try:
            found = self._run("read", version)
        except StoreError as error:
            if "not a store" in str(error):
                raise NotAStore(str(error)) from None
            raise
        if found is None and not self._tables():
            if self.read_only:
                raise NotAStore(f"{self.name}: not a store (it holds none of the store's tables)")
        elif found is None or isinstance(found, str):
            # A store whose meta table or version is gone or unreadable: verification says so.
            if not self.read_only:
                raise StoreError(f"{self.name}: the store's schema version is unreadable; "
                                 "'log verify' says what is wrong")  # fmt: skip
            return
        if isinstance(found, int) and found > SCHEMA_VERSION:
            raise StoreError(
                f"{self.name}: the store has schema version {found}, newer than the "
                f"{SCHEMA_VERSION} this version of ostrel-quorvane reads; it was left as it is"
            )
        # A store of this version, or one only read, opens without taking the write lock.
        if found == SCHEMA_VERSION or (self.read_only and isinstance(found, int)):
            self._version = found
            return

        def prepare(cursor: Any) -> None:
            for statement in self._backend.schema:
                cursor.execute(statement)
            found = version(cursor)
            if found is None:
                for statement in self._backend.indexes:
                    cursor.execute(statement)
                cursor.execute(
                    self._sql("INSERT INTO meta (key, value) VALUES (?, ?)"),
                    ("schema_version", str(SCHEMA_VERSION)),
                )
                return
            assert isinstance(found, int)
            while found < SCHEMA_VERSION:
                for step in self._backend.migrations[found]:
                    step(self, cursor) if callable(step) else cursor.execute(step)
                found += 1
            for statement in self._backend.indexes:
                cursor.execute(statement)
            cursor.execute(
                self._sql("UPDATE meta SET value = ? WHERE key = ?"), (str(found), "schema_version")
            )

        try:
            self._run("schema", prepare)
        except StoreError as error:
            if isinstance(error, NotAStore):
                raise
            raise StoreError(f"{error} (while making or upgrading the store; 'log verify' reads "
                             "a store without changing it)") from None  # fmt: skip

    def _tables(self) -> bool:
        """Whether any of the store's tables exists."""
        names: set[str] = self._run("read", self._backend.table_names)
        return bool(names & set(TABLES))

    def close(self) -> None:
        """Stops the log writer (once it has written what it was handed) and closes this
        thread's connection. A closed store takes no more appends."""
        with self._writer_lock:
            self._closed = True
            if self._writer is not None:
                self._writer.stop()
                self._writer = None
        self.close_thread_connection()

    def close_thread_connection(self) -> None:
        """Closes the connection the calling thread uses, if it has one."""
        connection = getattr(self._local, "connection", None)
        if connection is not None:
            self._local.connection = None
            try:
                connection.close()
            except Exception:  # a connection already gone has nothing left to close
                pass

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ----- chains -----

    def publish(self, chain: PermissionChain) -> str:
        """Publishes ``chain``; returns its hash. Publishing it again changes nothing."""
        key = chain.chain_hash().to_hex()
        document = json.dumps(chain_document(chain), separators=(",", ":"))

        def publish(cursor: Any) -> None:
            cursor.execute(
                self._sql(
                    "INSERT INTO chains (hash, document, published_at) VALUES (?, ?, ?) "
                    "ON CONFLICT (hash) DO NOTHING"
                ),
                (key, document, time.time()),
            )

        self._run(True, publish)
        return key

    def chains(self) -> list[tuple[str, float]]:
        """Every published chain's hash and when it was first published, oldest first."""
        rows: list[tuple[str, float]] = self._run(
            False,
            lambda cursor: cursor.execute(
                "SELECT hash, published_at FROM chains ORDER BY published_at, hash"
            ).fetchall(),
        )
        return [(key, float(at)) for key, at in rows]

    def chain(self, key: str) -> PermissionChain | None:
        """The chain published under ``key``, rebuilt and checked; None when there is none."""
        row = self._run(
            False,
            lambda cursor: cursor.execute(
                self._sql("SELECT document FROM chains WHERE hash = ?"), (key,)
            ).fetchone(),
        )
        if row is None:
            return None
        try:
            chain = loads_chain(row[0], f"{self.name} chain {key}")
        except InputError as error:
            raise CorruptChain(f"{self.name}: chain {key} is corrupt: {error.detail}") from None
        actual = chain.chain_hash().to_hex()
        if actual != key:
            raise CorruptChain(f"{self.name}: chain {key} is corrupt: it hashes to {actual}")
        return chain

    # ----- the decision log -----

    def append(self, record: str | bytes | Mapping[str, Any]) -> LogEntry:
        """Appends one decision record; returns its entry once its transaction has committed.
        Appends arriving together from several threads share a transaction."""
        return self.append_many([record])[0]

    def append_many(self, records: Iterable[str | bytes | Mapping[str, Any]]) -> list[LogEntry]:
        """Appends decision records in order, in one transaction; returns their entries once it
        has committed. (A decision made by ostrel_quorvane.decision hands its record, digest and
        labels over as they are, through ``submit``.)"""
        items = [
            Appending(canonical, content_hash(canonical), None, *record_labels(canonical))
            for canonical in map(canonical_record, records)
        ]
        return self.submit(items).result() if items else []

    def submit(self, items: list[Appending]) -> Future[list[LogEntry]]:
        """Hands entries already in canonical form, with their digests, to the store's one
        writer; the future gives their log entries once their transaction has committed."""
        return self._log_writer().submit(items)

    def submit_async(self, items: list[Appending]) -> asyncio.Future[list[LogEntry]]:
        """As submit, awaited on an event loop without blocking it."""
        return self._log_writer().submit_async(items)

    def _log_writer(self) -> LogWriter:
        with self._writer_lock:
            if self._closed:
                raise StoreError(f"{self.name}: the store is closed; nothing was written")
            if self._writer is None:
                self._writer = LogWriter(self._write, self.close_thread_connection)
            return self._writer

    def _write(self, items: list[Appending]) -> list[LogEntry]:
        after: list[tuple[tuple[int, str], tree.Edge]] = []

        def write(cursor: Any) -> list[LogEntry]:
            cursor.execute(
                "SELECT sequence, entry_hash FROM decisions ORDER BY sequence DESC LIMIT 1"
            )
            row = cursor.fetchone()
            sequence, previous = (int(row[0]), row[1]) if row else (0, GENESIS)
            # The tree takes the new leaves in the same transaction: it always matches its log.
            known = self._edge
            edge = known[1] if known is not None and known[0] == (sequence, previous) else None
            records = [item[0] for item in items]
            try:
                edge = tree.extend(self, cursor, sequence, records, edge)
            except tree.TreeIncomplete as incomplete:
                # Entries appended without their subtrees (by a writer of the version before
                # the tree, still running across the upgrade): the tree is made again from the
                # entries, in this transaction, and the append goes on.
                LOGGER.warning("%s: the log's tree lacks subtrees its entries make; it is "
                               "built again from the entries", self.name)  # fmt: skip
                if tree.build_tree(self, cursor) != sequence:
                    unnumbered = f"the log's entries are not numbered 1 to {sequence}"
                    raise StoreError(f"{self.name}: {unnumbered}; 'log verify' says what is "
                                     "wrong") from incomplete  # fmt: skip
                edge = tree.extend(self, cursor, sequence, records)
            now = time.time()
            entries = []
            for canonical, digest, *labels in items:
                sequence += 1
                link = entry_hash(previous, sequence, digest, now, labels)
                entries.append(
                    LogEntry(
                        sequence, canonical, digest, previous, link, now, CURRENT_RULE, *labels
                    )  # fmt: skip
                )
                previous = link
            # The head is kept beside the entries too, so that cutting entries off the end shows.
            cursor.execute(
                self._sql(
                    "INSERT INTO meta (key, value) VALUES (?, ?) "
                    "ON CONFLICT (key) DO UPDATE SET value = excluded.value"
                ),
                ("head", f"{sequence}:{previous}"),
            )
            columns = "sequence, record, content_hash, previous_hash, entry_hash, logged_at, rule"
            marks = ", ".join("?" * (7 + len(LABELS)))
            cursor.executemany(
                self._sql(
                    f"INSERT INTO decisions ({columns}, {', '.join(LABELS)}) VALUES ({marks})"
                ),
                [
                    (
                        e.sequence,
                        e.record,
                        e.content_hash,
                        e.previous_hash,
                        e.entry_hash,
                        now,
                        CURRENT_RULE,
                        *e.labels,
                    )
                    for e in entries
                ],  # fmt: skip
            )
            after.append(((sequence, previous), edge))
            return entries

        written: list[LogEntry] = self._run(True, write)
        self._edge = after[-1]  # once committed
        return written

    def _columns(self) -> str:
        later = f"rule, {', '.join(LABELS)}" if self._version >= 2 else "1" + ", NULL" * len(LABELS)
        return f"sequence, record, content_hash, previous_hash, entry_hash, logged_at, {later}"

    @staticmethod
    def _entry(row: Any) -> LogEntry:
        return LogEntry(int(row[0]), row[1], row[2], row[3], row[4], float(row[5]), int(row[6]),
                        *row[7:])  # fmt: skip

    def entries(
        self, start: int = 1, since: float | None = None, until: float | None = None
    ) -> Iterator[LogEntry]:
        """The log's entries from sequence number ``start`` on, in order; with ``since`` and
        ``until``, only those logged in [since, until). Read a page at a time."""
        page = 1000
        query = self._sql(
            f"SELECT {self._columns()} FROM decisions WHERE sequence >= ? ORDER BY sequence LIMIT ?"
        )

        def read(first: int) -> Callable[[Any], list[Any]]:
            def run(cursor: Any) -> list[Any]:
                rows: list[Any] = cursor.execute(query, (first, page)).fetchall()
                return rows

            return run

        start = max(start, 1)
        while True:
            rows = self._run(False, read(start))
            for row in rows:
                entry = self._entry(row)
                if (since is None or entry.logged_at >= since) and (
                    until is None or entry.logged_at < until
                ):
                    yield entry
            if len(rows) < page:
                return
            start = int(rows[-1][0]) + 1

    def decisions(
        self,
        *,
        since: float | None = None,
        until: float | None = None,
        permission: str | None = None,
        claim_id: str | None = None,
        candidate_id: str | None = None,
        context_id: str | None = None,
        after: int | None = None,
        before: int | None = None,
        newest_first: bool = False,
        limit: int = 50,
    ) -> list[LogEntry]:
        """A page of the entries that match every filter given: logged in [since, until), with
        the final level (the live answer, else the judgment) ``permission``, and the (first)
        request's ids. In sequence order from after ``after``, or newest first from before
        ``before``; ``limit`` at most. The filters are read through indexes. Entries written
        by a store of schema version 1 have no level or ids to be found by."""
        where: list[str] = ["sequence >= 1"]
        values: list[str | float] = []
        fields = {
            "permission": permission,
            "claim_id": claim_id,
            "candidate_id": candidate_id,
            "context_id": context_id,
        }
        for name, wanted in fields.items():
            if wanted is not None:
                where.append(f"{name} = ?")
                values.append(wanted)
        bounds = (
            ("logged_at >= ?", since),
            ("logged_at < ?", until),
            ("sequence > ?", after),
            ("sequence < ?", before),
        )
        for clause, value in bounds:
            if value is not None:
                where.append(clause)
                values.append(value)
        order = "DESC" if newest_first or (before is not None and after is None) else "ASC"
        query = self._sql(
            f"SELECT {self._columns()} FROM decisions WHERE {' AND '.join(where)} "
            f"ORDER BY sequence {order} LIMIT ?"
        )
        rows = self._run(False, lambda cursor: cursor.execute(query, (*values, limit)).fetchall())
        return [self._entry(row) for row in rows]

    def find(self, digest: str, cursor: Any = None) -> LogEntry | None:
        """The first entry whose record has content hash ``digest`` (read in the transaction of
        ``cursor`` when one is given)."""

        def read(cursor: Any) -> Any:
            return cursor.execute(
                self._sql(
                    f"SELECT {self._columns()} FROM decisions WHERE content_hash = ? "
                    "AND sequence >= 1 ORDER BY sequence LIMIT 1"
                ),
                (digest,),
            ).fetchone()

        row = read(cursor) if cursor is not None else self._run(False, read)
        return None if row is None else self._entry(row)

    def find_sequence(self, sequence: int) -> LogEntry | None:
        """The entry with sequence number ``sequence``."""
        if sequence < 1:
            return None
        entry = next(iter(self.entries(start=sequence)), None)
        return entry if entry is not None and entry.sequence == sequence else None

    def count(self) -> int:
        """How many entries the log holds."""
        row = self._run(
            False,
            lambda c: c.execute("SELECT COUNT(*) FROM decisions WHERE sequence >= 1").fetchone(),
        )
        return int(row[0])

    def verify(self, progress: Callable[[int], None] | None = None) -> LogFault | None:
        """Checks the log from its first entry to its recorded head, reading every row as it is
        stored; returns the first entry that fails, or None for a log that holds."""
        return verify_log(self, progress)

    @property
    def proofs(self) -> LogProofs:
        """The log's Merkle tree as a verifier asks it: roots, inclusion and consistency proofs,
        signed checkpoints and receipts."""
        from ostrel_quorvane.store.proofs import LogProofs

        return LogProofs(self)

    def latest_checkpoint(self) -> str | None:
        """The newest signed checkpoint of the log, or None when none was signed."""
        return self.proofs.latest() if self._version >= 3 else None

    def head(self) -> tuple[int, str]:
        """The last entry's sequence number and hash: (0, 64 zeros) for an empty log. Kept
        elsewhere, it shows later that the log was not cut back or rewritten."""
        row = self._run(
            False,
            lambda c: c.execute(
                "SELECT sequence, entry_hash FROM decisions ORDER BY sequence DESC LIMIT 1"
            ).fetchone(),
        )
        return (int(row[0]), row[1]) if row else (0, GENESIS)

    # ----- counts for a reader's overview (store/summary.py) -----

    def chain_uses(self, after: int, through: int) -> dict[str, int]:
        """How many entries numbered in (after, through] each chain hash judged."""
        return summary.chain_uses(self, after, through)

    def first_logged(self, moments: Sequence[float]) -> list[int]:
        """For each moment, the number of the first entry logged at or after it."""
        return summary.first_logged(self, moments)

    def levels_between(self, bounds: Sequence[int], levels: Iterable[str]) -> list[dict[str, int]]:
        """Per range [bounds[i], bounds[i+1]) of entry numbers, the count of each level."""
        return summary.levels_between(self, bounds, levels)


def open_store(name: str | Path, timeout: float = 5.0, *, read_only: bool = False) -> Store:
    """The store named by a file path (SQLite, created when missing) or a ``postgresql://``
    URL. ``timeout`` is how long a write waits for another writer's lock before giving up.

    ``read_only`` opens an existing store without changing anything (no store is made, no
    schema upgraded, nothing written), and refuses with NotAStore what is not one."""
    text = str(name)
    if text.startswith(("postgresql://", "postgres://")):
        from ostrel_quorvane.store.postgres import PostgresBackend

        return Store(redacted(text), PostgresBackend(text, timeout), read_only)
    from ostrel_quorvane.store.sqlite import SqliteBackend

    return Store(text, SqliteBackend(Path(text), timeout), read_only)


# Query parameters of a connection URL that carry a secret.
SECRET_PARAMETERS = ("password", "sslpassword", "sslkey", "passfile")


def redacted(url: str) -> str:
    """A URL without any password it carries (as ``user:pass@`` or as a query parameter), for
    messages."""
    scheme, _, rest = url.partition("://")
    place, question, query = rest.partition("?")
    credentials, at, host = place.rpartition("@")
    if at:
        place = f"{credentials.partition(':')[0]}:***@{host}" if ":" in credentials else place
    if question:
        pairs = []
        for pair in query.split("&"):
            key, equals, _ = pair.partition("=")
            hidden = unquote(key).strip().lower() in SECRET_PARAMETERS
            pairs.append(f"{key}=***" if hidden and equals else pair)
        query = "&".join(pairs)
    return f"{scheme}://{place}{question}{query}"
