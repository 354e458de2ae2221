"""The routes that decide: one request, a batch of them, a composed pair, and the audit of a
record. A decision that is logged is answered only once it is stored, and a batch answers every
decision it logged."""

from __future__ import annotations

import json
import time
from collections.abc import AsyncIterator
from typing import Any

from _ostrel_quorvane import InMemoryChainRegistry, PermissionChain
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse

from ostrel_quorvane.asof import compile_static_at, compose_at, unix_seconds
from ostrel_quorvane.batch import decision_of, error_line, utf8_json
from ostrel_quorvane.files import InputError, RequestFileError, clip, judged
from ostrel_quorvane.record import Decision, audit, read_record
from ostrel_quorvane.request import loads_request
from ostrel_quorvane.service.access import request_state
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.requests import (
    JSON_TYPES,
    LINES_TYPES,
    SHOWN,
    body,
    content,
    json_object,
    logging_on,
    moment,
    named_chain,
)
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.store import StoreError, canonical_record, content_hash
from ostrel_quorvane.store.writer import GROUP_LIMIT, Appending

__all__ = ["Deciding"]


def _answered_level(decision: Decision) -> str:
    live = decision.live
    return live.permission if live is not None else decision.judgment.permission_str


class Deciding:
    def __init__(self, state: ServiceState) -> None:
        self.state = state

    def _guard(self, request: Request) -> None:
        if self.state.config.decide_needs_token:
            self.state.tokens.authorize(request)

    async def _answer(self, request: Request, decision: Decision, logging: bool) -> Response:
        record = decision.record_text()
        headers = {}
        noted = request_state(request.scope)
        if logging:
            # Answered only once stored: the headers say where.
            canonical = canonical_record(record)
            item = Appending(canonical, content_hash(canonical), noted.get("request_id"))
            (entry,) = await self.state.log([item], [decision.chain])
            headers = {"x-log-sequence": str(entry.sequence), "x-content-hash": entry.content_hash}
            noted["log_sequence"] = entry.sequence
        level = _answered_level(decision)
        noted["permission"] = level
        self.state.metrics.decided(level)
        return Response(record, media_type="application/json", headers=headers)

    async def decide(self, request: Request) -> Response:
        self._guard(request)
        content(request, JSON_TYPES)
        logging = logging_on(self.state, request)
        at = moment(request)
        data = await body(self.state, request, self.state.config.max_body)
        chain = await named_chain(self.state, request)
        decision = decision_of(data, "request", chain, at, self.state.config.inline_chains)
        return await self._answer(request, decision, logging)

    async def decide_batch(self, request: Request) -> Response:
        self._guard(request)
        content(request, LINES_TYPES)
        config = self.state.config
        logging = logging_on(self.state, request)
        at = moment(request)
        data = await body(self.state, request, config.max_batch_body)
        lines = data.split(b"\n")
        if lines and not lines[-1].strip():
            lines.pop()
        if len(lines) > config.max_batch_lines:
            raise Refused(
                413, "batch_too_long", f"expected at most {config.max_batch_lines:,} lines"
            )
        chain = await named_chain(self.state, request)
        if logging:
            await self.state.store()  # a store that cannot be reached refuses the batch whole
        windows = self._windows(lines, chain, at, logging, request_state(request.scope))
        # The first window is decided, logged and made ready before the answer starts, so that
        # a store that fails at once is answered as one, with its status.
        first = await anext(windows, b"")
        return StreamingResponse(_chain_first(first, windows), media_type="application/x-ndjson")

    async def _windows(
        self,
        lines: list[bytes],
        chain: PermissionChain | None,
        at: float | None,
        logging: bool,
        noted: dict[str, Any],
    ) -> AsyncIterator[bytes]:
        """The batch's answer a window of lines at a time. Each window is decided and its answer
        made to the last byte before any of its decisions is logged, and sent once they are:
        whatever happens to a later line, every logged decision has been answered. Once the
        store fails, no further line is decided: each is answered with the store's error."""
        config, metrics = self.state.config, self.state.metrics
        request_id = noted.get("request_id")
        for start in range(0, len(lines), GROUP_LIMIT):
            window = lines[start : start + GROUP_LIMIT]
            out: list[str] = []
            items: list[Appending] = []
            chains: dict[str, PermissionChain] = {}
            levels: list[str] = []
            for number, line in enumerate(window, start + 1):
                try:
                    decision = decision_of(line.rstrip(b"\r"), f"line {number}", chain, at,
                                           config.inline_chains)  # fmt: skip
                except InputError as error:
                    out.append(error_line(number, error))
                    malformed = isinstance(error, RequestFileError)
                    metrics.failed("malformed_input" if malformed else "refused_input")
                    continue
                record = decision.record_text()
                out.append(record)
                levels.append(_answered_level(decision))
                if logging:
                    canonical = canonical_record(record)
                    items.append(Appending(canonical, content_hash(canonical), request_id))
                    chains[decision.chain.chain_hash().to_hex()] = decision.chain
            chunk = ("\n".join(out) + "\n").encode()
            if items:
                try:
                    await self.state.log(items, list(chains.values()))
                except StoreError as error:
                    await self.state.forget_store()
                    if start == 0:
                        raise
                    yield self._unstored(lines, start, str(error))
                    return
            for level in levels:
                metrics.decided(level)
            noted["decisions"] = noted.get("decisions", 0) + len(levels)
            yield chunk

    def _unstored(self, lines: list[bytes], start: int, message: str) -> bytes:
        """Error lines for every line from ``start`` on, none of which was logged."""
        self.state.metrics.failed("store_unavailable", len(lines) - start)
        fields = [
            utf8_json(
                {
                    "line": n,
                    "error": "store_unavailable",
                    "message": clip(message, 1000),
                    "path": None,
                }
            )  # fmt: skip
            for n in range(start + 1, len(lines) + 1)
        ]
        return ("\n".join(fields) + "\n").encode()

    async def compose(self, request: Request) -> Response:
        self._guard(request)
        content(request, JSON_TYPES)
        config = self.state.config
        logging = logging_on(self.state, request)
        given_at = moment(request)
        pair = json_object(await body(self.state, request, config.max_body), ("first", "second"))
        chain = await named_chain(self.state, request)
        requests = []
        for name in ("first", "second"):
            text = json.dumps(pair[name])
            requests.append(
                loads_request(text, f"$.{name}", chain, inline_chain=config.inline_chains)
            )
        in_force = chain or requests[0].chain or PermissionChain.default_chain()
        at = unix_seconds(time.time()) if given_at is None else given_at
        composed = judged(
            "$", "$", compose_at, requests[0].context, requests[1].context, at, in_force
        )
        judgment = judged("$", "$", compile_static_at, composed, at, in_force)
        decision = Decision(["first", "second"], requests, in_force, chain is not None, judgment,
                            composed=True)  # fmt: skip
        return await self._answer(request, decision, logging)

    async def audit_record(self, request: Request) -> Response:
        content(request, JSON_TYPES)
        record = json_object(await body(self.state, request, self.state.config.max_body),
                             ("chain_hash",))  # fmt: skip
        key = record.get("chain_hash")
        default = PermissionChain.default_chain()
        registry = InMemoryChainRegistry()
        if key == default.chain_hash().to_hex():
            registry.publish(default)
        elif isinstance(key, str) and self.state.config.store is not None:
            chain = await self.state.published(key)
            if chain is not None:
                registry.publish(chain)
        if len(registry) == 0:
            # A record's own chain is read only once it is known: names read stay interned.
            raise Refused(422, "audit_failed", f"chain hash {clip(str(key), SHOWN)} is not "
                          "published", "chain_hash")  # fmt: skip
        judgment = audit(read_record(record, "record"), registry)
        return JSONResponse(
            {
                "audit": "passed",
                "chain_hash": judgment.chain_hash.to_hex(),
                "permission": judgment.permission_str,
            }
        )


async def _chain_first(first: bytes, rest: AsyncIterator[bytes]) -> AsyncIterator[bytes]:
    if first:
        yield first
    async for chunk in rest:
        yield chunk
