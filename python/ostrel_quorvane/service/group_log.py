"""Group commit across a worker's requests."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

import anyio.to_thread

from ostrel_quorvane.store import LogEntry

if TYPE_CHECKING:
    from ostrel_quorvane.service.app import _State

__all__ = ["GroupLog"]


class GroupLog:
    """Group commit across requests: whoever appends waits on a future; one task takes whatever
    has arrived, up to a transaction's worth, writes it in one transaction off the event loop,
    and resolves each waiter once it has committed."""

    def __init__(self, state: _State) -> None:
        self._state = state
        self._pending: list[tuple[list[str], asyncio.Future[LogEntry]]] = []
        self._wake = asyncio.Event()
        self._task = asyncio.get_running_loop().create_task(self._run())

    async def append(self, records: list[str]) -> LogEntry:
        future: asyncio.Future[LogEntry] = asyncio.get_running_loop().create_future()
        self._pending.append((records, future))
        self._wake.set()
        return await future

    async def _run(self) -> None:
        while True:
            await self._wake.wait()
            self._wake.clear()
            while self._pending:
                batch, size = [], 0
                while self._pending and size < 100:
                    batch.append(self._pending.pop(0))
                    size += len(batch[-1][0])
                await self._write(batch)

    async def _write(self, batch: list[tuple[list[str], asyncio.Future[LogEntry]]]) -> None:
        records = [record for records, _ in batch for record in records]
        try:
            store = self._state.opened()
            entries = await anyio.to_thread.run_sync(store.append_many, records)
        except Exception as error:  # each waiter of the batch is told
            for _, future in batch:
                if not future.done():
                    future.set_exception(error)
            return
        at = 0
        for records, future in batch:
            at += len(records)
            if not future.done():
                future.set_result(entries[at - 1])
