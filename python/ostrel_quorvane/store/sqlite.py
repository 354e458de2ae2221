"""The embedded back end: one SQLite file in WAL mode, every write a transaction committed
with a full sync before it is acknowledged."""

from __future__ import annotations

import sqlite3
from pathlib import Path
from typing import Any

from ostrel_quorvane.store.base import Backend


class SqliteBackend(Backend):
    def __init__(self, path: Path, timeout: float) -> None:
        self.path = path
        self.timeout = timeout
        self.name = str(path)

    def connect(self) -> Any:
        connection = sqlite3.connect(
            self.path, timeout=self.timeout, isolation_level=None, check_same_thread=False
        )
        try:
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
            return f"the file is not a store ({text})"
        return text
