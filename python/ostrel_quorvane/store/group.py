"""Group commit within a process: appends from many threads written in shared transactions."""

from __future__ import annotations

import queue
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ostrel_quorvane.store.log import LogEntry

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["GROUP_LIMIT", "GroupWriter"]

# How many appends one transaction takes at most, when many arrive together.
GROUP_LIMIT = 100


@dataclass
class _Pending:
    canonical: str
    digest: str
    done: threading.Event
    entry: LogEntry | None = None
    error: BaseException | None = None


class GroupWriter:
    """One thread that writes appends in transactions of whatever has arrived, up to
    GROUP_LIMIT, and tells each caller once its transaction has committed."""

    def __init__(self, store: Store) -> None:
        self._store = store
        self._queue: queue.SimpleQueue[_Pending | None] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name="ostrel-quorvane-log", daemon=True)
        self._thread.start()

    def submit(self, canonical: str, digest: str) -> LogEntry:
        pending = _Pending(canonical, digest, threading.Event())
        self._queue.put(pending)
        pending.done.wait()
        if pending.error is not None:
            raise pending.error
        assert pending.entry is not None
        return pending.entry

    def stop(self) -> None:
        self._queue.put(None)
        self._thread.join()

    def _run(self) -> None:
        while True:
            first = self._queue.get()
            if first is None:
                self._store.close_thread_connection()
                return
            batch = [first]
            stopping = False
            while len(batch) < GROUP_LIMIT:
                try:
                    more = self._queue.get_nowait()
                except queue.Empty:
                    break
                if more is None:
                    stopping = True
                    break
                batch.append(more)
            try:
                entries = self._store._write([(p.canonical, p.digest) for p in batch])
                for pending, entry in zip(batch, entries, strict=True):
                    pending.entry = entry
            except BaseException as error:  # every caller of the batch is told
                for pending in batch:
                    pending.error = error
            for pending in batch:
                pending.done.set()
            if stopping:
                self._store.close_thread_connection()
                return
