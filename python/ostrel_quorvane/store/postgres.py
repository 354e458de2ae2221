"""The shared back end: a PostgreSQL database several processes and machines write to. Appends
serialize on a table lock, so the log stays one chain whoever writes."""

from __future__ import annotations

from typing import Any

from ostrel_quorvane.store.base import Backend, StoreError


class PostgresBackend(Backend):
    placeholder = "%s"

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

    def connect(self) -> Any:
        return self._psycopg.connect(
            self.url, connect_timeout=max(1, int(self.timeout)), autocommit=False
        )

    def begin_write(self, cursor: Any) -> None:
        # One writer at a time takes the head of the log; readers go on beside it.
        cursor.execute(f"SET LOCAL lock_timeout = '{int(self.timeout * 1000)}ms'")
        cursor.execute("LOCK TABLE decisions IN SHARE ROW EXCLUSIVE MODE")

    def begin_read(self, cursor: Any) -> None:
        pass

    def begin_schema(self, cursor: Any) -> None:
        # Two processes creating the tables at once would collide in the catalog.
        cursor.execute("SELECT pg_advisory_xact_lock(4171)")

    def failure(self, error: BaseException) -> str | None:
        psycopg = self._psycopg
        if not isinstance(error, psycopg.Error):
            return None
        text = " ".join(str(error).split())
        if isinstance(error, psycopg.errors.LockNotAvailable):
            return f"the store is locked by another writer ({text}); nothing was written"
        if isinstance(error, psycopg.errors.ReadOnlySqlTransaction):
            return f"the store cannot be written ({text}); nothing was written"
        if isinstance(error, psycopg.errors.DiskFull):
            return f"the disk is full ({text}); nothing was written"
        if isinstance(error, psycopg.OperationalError):
            return f"the database cannot be reached ({text})"
        return text
