"""The routes that read and keep: the chain registry, the decision log (listed, by content hash,
by sequence number, verified), health, readiness, metrics and the API's description."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ostrel_quorvane.files import InputError, clip
from ostrel_quorvane.request import chain_document, loads_chain
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.metrics import CONTENT_TYPE
from ostrel_quorvane.service.openapi import OPENAPI
from ostrel_quorvane.service.requests import (
    JSON_TYPES,
    LARGEST,
    SHOWN,
    body,
    content,
    paged,
    whole_number,
)
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.store import LogEntry, Store, StoreError

__all__ = ["Reading"]


def _record(entry: LogEntry) -> Response:
    headers = {"x-log-sequence": str(entry.sequence), "x-content-hash": entry.content_hash}
    return Response(entry.record, media_type="application/json", headers=headers)


class Reading:
    def __init__(self, state: ServiceState) -> None:
        self.state = state

    async def publish(self, request: Request) -> Response:
        self.state.tokens.authorize(request)
        content(request, JSON_TYPES)
        chain = loads_chain(await body(self.state, request, self.state.config.max_body), "body")
        key = await self.state.in_thread(Store.publish, chain)
        return JSONResponse({"hash": key}, status_code=201)

    async def list_chains(self, request: Request) -> Response:
        chains = await self.state.in_thread(Store.chains)
        return JSONResponse({"chains": [{"hash": key, "published_at": at} for key, at in chains]})

    async def get_chain(self, request: Request) -> Response:
        key = request.path_params["key"]
        chain = await self.state.in_thread(Store.chain, key)
        if chain is None:
            raise Refused(404, "chain_not_found", f"no chain {clip(key, SHOWN)} is published")
        return JSONResponse(chain_document(chain))

    async def list_decisions(self, request: Request) -> Response:
        self.state.tokens.authorize(request)
        chosen = paged(request)
        limit = chosen.setdefault("limit", 50)
        entries = await self.state.in_thread(lambda store: store.decisions(**chosen))
        newest_first = "before" in chosen and "after" not in chosen
        more = len(entries) == limit
        cursor = ("before" if newest_first else "after") if more else None
        following = f'{{"{cursor}":{entries[-1].sequence}}}' if cursor else "null"
        listed = ",".join(entry.as_json() for entry in entries)
        text = f'{{"decisions":[{listed}],"next":{following}}}'
        return Response(text, media_type="application/json")

    async def get_decision(self, request: Request) -> Response:
        self.state.tokens.authorize(request)
        key = request.path_params["key"]
        entry = await self.state.in_thread(Store.find, key)
        if entry is None:
            raise Refused(404, "decision_not_found", f"no decision {clip(key, SHOWN)} is logged")
        return _record(entry)

    async def get_sequence(self, request: Request) -> Response:
        self.state.tokens.authorize(request)
        sequence = whole_number(request.path_params["sequence"], 1, LARGEST)
        if sequence is None:
            raise Refused(400, "malformed_input", "expected a sequence number", "sequence")
        entry = await self.state.in_thread(Store.find_sequence, sequence)
        if entry is None:
            raise Refused(404, "decision_not_found", f"no decision {sequence} is logged")
        return _record(entry)

    async def verify_log(self, request: Request) -> Response:
        self.state.tokens.authorize(request)
        fault = await self.state.in_thread(Store.verify)
        if fault is not None:
            return JSONResponse({"ok": False, "sequence": fault.sequence, "reason": fault.reason})
        count, head = await self.state.in_thread(Store.head)
        return JSONResponse({"ok": True, "entries": count, "head": head})

    async def healthz(self, request: Request) -> Response:
        # Alive, whatever the store does: nothing here waits on it.
        return JSONResponse({"ok": True})

    async def readyz(self, request: Request) -> Response:
        if self.state.config.store is None:
            return JSONResponse({"ready": True, "store": None})
        try:
            await self.state.in_thread(Store.head)
        except (StoreError, Refused, InputError):
            await self.state.forget_store()
            return JSONResponse({"ready": False, "store": "unreachable"}, status_code=503)
        return JSONResponse({"ready": True, "store": "reachable"})

    async def metrics(self, request: Request) -> Response:
        return Response(self.state.metrics.text(), media_type=CONTENT_TYPE)

    async def openapi(self, request: Request) -> Response:
        return JSONResponse(OPENAPI)
