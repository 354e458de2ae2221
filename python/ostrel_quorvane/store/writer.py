"""The one way entries reach the log: a writer thread that commits whatever has been handed to
it together, up to GROUP_LIMIT entries to a transaction, and tells each caller once its entries
are stored.

Callers in threads wait on the future they are given; callers on an event loop await it
(``asyncio.wrap_future``) without blocking the loop. One submission is one transaction or part
of one: its entries are stored in order and together, or not at all.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import Future
from typing import NamedTuple

from ostrel_quorvane.store.log import LogEntry

__all__ = ["GROUP_LIMIT", "Appending", "LogWriter"]

# How many entries one transaction takes at most, when many arrive together.
GROUP_LIMIT = 100


class Appending(NamedTuple):
    """An entry on its way to the log: its record's canonical text, that text's SHA-256 in hex,
    the id of the request that made it (if a service's), and what the log is listed by: the
    level answered and the (first) request's ids."""

    canonical: str
    digest: str
    request_id: str | None = None
    permission: str | None = None
    claim_id: str | None = None
    candidate_id: str | None = None
    context_id: str | None = None


_Submission = tuple[Sequence[Appending], "Future[list[LogEntry]]"]


class LogWriter:
    """One thread that writes submissions in transactions of up to GROUP_LIMIT entries, with
    ``write`` (which commits one transaction and returns its entries)."""

    def __init__(
        self, write: Callable[[list[Appending]], list[LogEntry]], done: Callable[[], None]
    ) -> None:
        self._write = write
        self._done = done
        self._queue: queue.SimpleQueue[_Submission | None] = queue.SimpleQueue()
        self._stopped = False
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, name="ostrel-quorvane-log", daemon=True)
        self._thread.start()

    def submit(self, items: Sequence[Appending]) -> Future[list[LogEntry]]:
        """Hands entries to the writer; the future gives their log entries once committed, or
        the error that kept them out of the log (then none of this transaction is stored)."""
        future: Future[list[LogEntry]] = Future()
        with self._lock:
            if self._stopped:
                future.set_exception(RuntimeError("the log writer is stopped"))
                return future
            self._queue.put((items, future))
        return future

    def stop(self) -> None:
        """Writes what was handed over, then ends the thread."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
            self._queue.put(None)
        self._thread.join()

    def _run(self) -> None:
        try:
            waiting: _Submission | None = None
            while True:
                first = waiting if waiting is not None else self._queue.get()
                waiting = None
                if first is None:
                    return
                # Whatever else is waiting joins this transaction while it stays within
                # GROUP_LIMIT entries; a submission is never split between transactions.
                group, size, stopping = [first], len(first[0]), False
                while size < GROUP_LIMIT:
                    try:
                        more = self._queue.get_nowait()
                    except queue.Empty:
                        break
                    if more is None:
                        stopping = True
                        break
                    if size + len(more[0]) > GROUP_LIMIT:
                        waiting = more
                        break
                    group.append(more)
                    size += len(more[0])
                self._commit(group)
                if stopping:
                    return
        finally:
            self._done()

    def _commit(self, group: list[_Submission]) -> None:
        """Writes a group of submissions in one transaction: all are stored, or none."""
        try:
            written = self._write([item for submitted, _ in group for item in submitted])
        except BaseException as error:
            for _, future in group:
                future.set_exception(error)
            return
        at = 0
        for submitted, future in group:
            future.set_result(written[at : at + len(submitted)])
            at += len(submitted)
