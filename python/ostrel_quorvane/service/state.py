"""What one worker of the service holds: its settings, its tokens, its counts, and its store,
which is opened, used and closed only off the event loop, so that a database that hangs stalls
no request that does not need it."""

from __future__ import annotations

import asyncio
import functools
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TypeVar

import anyio.to_thread
from _ostrel_quorvane import PermissionChain

from ostrel_quorvane.decision import Decision
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.auth import TokenFile
from ostrel_quorvane.service.config import ServiceConfig
from ostrel_quorvane.service.metrics import Metrics
from ostrel_quorvane.store import LogEntry, Store, StoreError, open_store
from ostrel_quorvane.store.writer import Appending

__all__ = ["ServiceState"]

T = TypeVar("T")
# How long a store call may wait: to connect, and for a statement or a lock.
STORE_SECONDS = 2.0
# How long a request waits for the store in all, however its calls fare (a connection to a server
# that stops answering mid-statement waits on the network): past it, the answer is 503.
STORE_WAIT_SECONDS = 15.0


def _close_quietly(store: Store) -> None:
    try:
        store.close()
    except Exception:  # closing a store whose database is gone can fail too
        pass


async def _bounded(call: Callable[[], T]) -> T:
    """``call()`` in a worker thread, waited for at most STORE_WAIT_SECONDS."""
    try:
        with anyio.fail_after(STORE_WAIT_SECONDS):
            return await anyio.to_thread.run_sync(call, abandon_on_cancel=True)
    except TimeoutError:
        raise StoreError(
            f"the store did not answer within {STORE_WAIT_SECONDS:g} seconds"
        ) from None


@dataclass
class ServiceState:
    config: ServiceConfig
    tokens: TokenFile
    metrics: Metrics = field(default_factory=Metrics)
    store_: Store | None = None
    chains: dict[str, PermissionChain] = field(default_factory=dict)
    published_: set[str] = field(default_factory=set)
    opening: asyncio.Lock = field(default_factory=asyncio.Lock)

    async def store(self) -> Store:
        """The store, opened (again, after a failure) off the event loop: a database that comes
        back is used again without a restart."""
        if self.config.store is None:
            raise Refused(503, "store_unavailable", "the service runs without a store")
        if self.store_ is not None:
            return self.store_
        async with self.opening:
            if self.store_ is None:
                name = self.config.store
                self.store_ = await _bounded(lambda: open_store(name, timeout=STORE_SECONDS))
        return self.store_

    async def forget_store(self) -> None:
        """Lets go of the store after a failure; the next call opens it again. It is closed in
        a thread of its own, which no answer waits for: closing waits for its writer, which may
        itself be waiting on a database that does not answer."""
        store, self.store_ = self.store_, None
        if store is not None:
            threading.Thread(target=_close_quietly, args=(store,), daemon=True).start()

    async def close(self) -> None:
        """Drains the log writer (every decision handed to it is stored) and closes the store."""
        store, self.store_ = self.store_, None
        if store is not None:
            await anyio.to_thread.run_sync(store.close)

    async def in_thread(self, call: Callable[..., T], *args: Any) -> T:
        """``call(store, *args)`` on the store, in a worker thread."""
        store = await self.store()
        return await _bounded(lambda: call(store, *args))

    async def published(self, key: str) -> PermissionChain | None:
        """The chain published under ``key``. A chain is stored under its own hash and never
        changes, so each is read once."""
        if key not in self.chains:
            chain = await self.in_thread(Store.chain, key)
            if chain is None:
                return None
            self.chains[key] = chain
            self.published_.add(key)
        return self.chains[key]

    async def log(self, items: list[Appending], decisions: list[Decision]) -> list[LogEntry]:
        """Appends entries through the store's one writer, once the chains their decisions
        were judged under are published beside them; returns them once their transaction has
        committed. The event loop waits for the writer without blocking."""
        started = time.perf_counter()
        store = self.store_ if self.store_ is not None else await self.store()
        for decision in decisions:
            key, chain = decision.chain_hash, decision.chain
            if key not in self.published_:
                await _bounded(functools.partial(store.publish, chain))
                self.published_.add(key)
        try:
            async with asyncio.timeout(STORE_WAIT_SECONDS):
                entries = await store.submit_async(items)
        except TimeoutError:
            # The writer may still store them: they are not answered, and a retry logs them
            # again, which the log shows as two entries of one content hash.
            raise StoreError(
                f"the store did not answer within {STORE_WAIT_SECONDS:g} seconds"
            ) from None
        self.metrics.appended(time.perf_counter() - started)
        return entries
