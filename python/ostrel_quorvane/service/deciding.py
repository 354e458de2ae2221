"""The routes that decide: one request, a batch of them, a composed pair, and the audit of a
record. A decision that is logged is answered only once it is stored, and a batch answers every
decision it logged."""

from __future__ import annotations

import base64
import json
from collections.abc import AsyncIterator, Iterator
from typing import Any

from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse

from ostrel_quorvane.batch import Window, windows
from ostrel_quorvane.decision import Decision, compose, decide
from ostrel_quorvane.files import RequestFileError, clip
from ostrel_quorvane.record import audit, chain_registry, read_record
from ostrel_quorvane.request import read_members
from ostrel_quorvane.service.access import request_state
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.proving import Proving
from ostrel_quorvane.service.requests import (
    JSON_TYPES,
    LINES_TYPES,
    SHOWN,
    body,
    content,
    flag,
    json_object,
    logging_on,
    moment,
    named_chain,
)
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.store import StoreError

__all__ = ["Deciding"]

# The members of a composition's body.
PAIR = ("first", "second")


class Deciding:
    def __init__(self, state: ServiceState, proving: Proving) -> None:
        self.state = state
        self.proving = proving

    def _guard(self, request: Request) -> None:
        if self.state.config.decide_needs_token:
            self.state.tokens.authorize(request)

    async def _answer(self, request: Request, decision: Decision, logging: bool) -> Response:
        headers = {}
        noted = request_state(request.scope)
        receipt = flag(request, "receipt") is True
        if receipt:
            # Refused before anything is logged: no logged decision goes unanswered.
            self.proving.can_sign()
            if not logging:
                raise Refused(400, "malformed_input", "a receipt is for a logged decision",
                              "receipt")  # fmt: skip
        if logging:
            # Answered only once stored: the headers say where.
            appending = decision.appending(noted.get("request_id"))
            (entry,) = await self.state.log([appending], [decision])
            headers = {"x-log-sequence": str(entry.sequence), "x-content-hash": entry.content_hash}
            noted["log_sequence"] = entry.sequence
            if receipt:
                # The receipt, whose checkpoint may be shared with decisions logged beside it,
                # in one header: the body stays the record it proves.
                proven = await self.proving.receipt(entry)
                text = json.dumps(proven.as_json(), separators=(",", ":")).encode()
                headers["x-receipt"] = base64.b64encode(text).decode()
        noted["permission"] = decision.permission
        self.state.metrics.decided(decision.permission)
        return Response(decision.record, media_type="application/json", headers=headers)

    async def decide(self, request: Request) -> Response:
        self._guard(request)
        content(request, JSON_TYPES)
        logging = logging_on(self.state, request)
        at = moment(request)
        data = await body(self.state, request, self.state.config.max_body)
        chain = await named_chain(self.state, request)
        decision = decide(data, chain=chain, at=at, inline_chain=self.state.config.inline_chains)
        return await self._answer(request, decision, logging)

    async def decide_batch(self, request: Request) -> Response:
        self._guard(request)
        content(request, LINES_TYPES)
        if flag(request, "receipt"):
            raise Refused(400, "malformed_input", "a batch carries no receipts: ask for each "
                          "by its content hash at /v1/log/proof/inclusion", "receipt")  # fmt: skip
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
        decided = windows(lines, chain, at, "line", config.inline_chains)
        answers = self._answers(decided, logging, request_state(request.scope))
        # The first window is decided, logged and made ready before the answer starts, so that
        # a store that fails at once is answered as one, with its status.
        first = await anext(answers, b"")
        return StreamingResponse(_chain_first(first, answers), media_type="application/x-ndjson")

    async def _answers(
        self, decided: Iterator[Window], logging: bool, noted: dict[str, Any]
    ) -> AsyncIterator[bytes]:
        """The batch's answer a window at a time: each window's answer is made before any of its
        decisions is logged, and sent once they are. Once the store fails, every decision from
        there on is answered with the store's error, and none of them is logged."""
        metrics = self.state.metrics
        failed: str | None = None
        first = True
        for window in decided:
            if logging and window.decisions and failed is None:
                appending = [d.appending(noted.get("request_id")) for d in window.decisions]
                try:
                    await self.state.log(appending, window.decisions)
                except StoreError as error:
                    await self.state.forget_store()
                    if first:
                        raise
                    failed = str(error)
            first = False
            for refused in window.errors:
                malformed = isinstance(refused, RequestFileError)
                metrics.failed("malformed_input" if malformed else "refused_input")
            if failed is not None and window.decisions:
                self.state.metrics.failed("store_unavailable", len(window.decisions))
                yield window.text(unstored=failed)
                continue
            for decision in window.decisions:
                metrics.decided(decision.permission)
            noted["decisions"] = noted.get("decisions", 0) + len(window.decisions)
            yield window.text()

    async def compose(self, request: Request) -> Response:
        self._guard(request)
        content(request, JSON_TYPES)
        config = self.state.config
        logging = logging_on(self.state, request)
        at = moment(request)
        first, second = read_members(await body(self.state, request, config.max_body), PAIR)
        chain = await named_chain(self.state, request)
        decision = compose(first, second, chain=chain, at=at, inline_chain=config.inline_chains)
        return await self._answer(request, decision, logging)

    async def audit_record(self, request: Request) -> Response:
        content(request, JSON_TYPES)
        record = json_object(await body(self.state, request, self.state.config.max_body),
                             ("chain_hash",))  # fmt: skip
        key = record.get("chain_hash")
        registry = chain_registry(key, None)
        if len(registry) == 0 and isinstance(key, str) and self.state.config.store is not None:
            registry = chain_registry(key, await self.state.published(key))
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
