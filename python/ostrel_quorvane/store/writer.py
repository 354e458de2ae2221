"""The one way entries reach the log: a writer thread that commits whatever has been handed to
it together, up to GROUP_LIMIT entries to a transaction, and tells each caller once its entries
are stored.

Callers in threads wait on the future they are given; callers on an event loop await it
(``asyncio.wrap_future``) without blocking the loop. One submission is one transaction or part
of one: its entries are stored in order and together, or not at all.
"""

from __future__ import annotations

import asyncio
import queue
import threading
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Future
from typing import Any, NamedTuple, Union

from ostrel_quorvane.store.log import LogEntry

__all__ = ["GROUP_LIMIT", "Appending", "LogWriter"]

# How many entries one transaction takes at most, when many arrive together.
GROUP_LIMIT = 100
# How long a transaction waits for more appends while they have been arriving together.
LINGER_SECONDS = 0.001


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


# What a submission is told: a future of a thread's, or one of an event loop's (told from the
# loop's own thread, all of a transaction's at once).
_Told = Union["Future[list[LogEntry]]", "asyncio.Future[list[LogEntry]]"]
_Submission = tuple[Sequence[Appending], _Told]


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
        self._hand(items, future)
        return future

    def submit_async(self, items: Sequence[Appending]) -> asyncio.Future[list[LogEntry]]:
        """As submit, for a caller on an event loop: a future of the running loop's, which the
        loop is told about once for every transaction, however many of its futures it holds."""
        future: asyncio.Future[list[LogEntry]] = asyncio.get_running_loop().create_future()
        self._hand(items, future)
        return future

    def _hand(self, items: Sequence[Appending], future: _Told) -> None:
        with self._lock:
            if self._stopped:
                _settle([(future, None, RuntimeError("the log writer is stopped"))])
                return
            self._queue.put((items, future))

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
            busy = False
            while True:
                first = waiting if waiting is not None else self._queue.get()
                waiting = None
                if first is None:
                    return
                # Whatever else is waiting joins this transaction while it stays within
                # GROUP_LIMIT entries; a submission is never split between transactions. While
                # submissions keep coming together (the last transaction held several), it waits
                # up to LINGER_SECONDS for more, as a commit costs a sync whatever it holds.
                group, size, stopping = [first], len(first[0]), False
                deadline = time.monotonic() + (LINGER_SECONDS if busy else 0.0)
                while size < GROUP_LIMIT:
                    try:
                        left = deadline - time.monotonic()
                        more = (
                            self._queue.get(timeout=left) if left > 0 else self._queue.get_nowait()
                        )
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
                busy = len(group) > 1
                if stopping:
                    return
        finally:
            # Whatever ended the thread, nothing handed over later waits on it.
            with self._lock:
                self._stopped = True
            while True:
                try:
                    left_over = self._queue.get_nowait()
                except queue.Empty:
                    break
                if left_over is not None:
                    _settle([(left_over[1], None, RuntimeError("the log writer has stopped"))])
            self._done()

    def _commit(self, group: list[_Submission]) -> None:
        """Writes a group of submissions in one transaction: all are stored, or none."""
        outcomes: list[tuple[_Told, list[LogEntry] | None, BaseException | None]] = []
        try:
            written = self._write([item for submitted, _ in group for item in submitted])
        except BaseException as error:
            outcomes = [(future, None, error) for _, future in group]
        else:
            at = 0
            for submitted, future in group:
                outcomes.append((future, written[at : at + len(submitted)], None))
                at += len(submitted)
        threads = [outcome for outcome in outcomes if isinstance(outcome[0], Future)]
        _settle(threads)
        loops: dict[asyncio.AbstractEventLoop, list[Any]] = {}
        for outcome in outcomes:
            if not isinstance(outcome[0], Future):
                loops.setdefault(outcome[0].get_loop(), []).append(outcome)
        for loop, told in loops.items():
            try:
                loop.call_soon_threadsafe(_settle, told)
            except RuntimeError:  # a loop already closed has no one left to tell
                pass


def _settle(outcomes: list[Any]) -> None:
    """Tells each future its entries or its error (on its loop's thread, for a loop's)."""
    for future, entries, error in outcomes:
        if future.done():
            continue
        if error is not None:
            future.set_exception(error)
        else:
            future.set_result(entries)
