"""The service's routes: deciding, composing and auditing, the chain registry and the decision
log, health, readiness and metrics. Errors are JSON objects with a stable ``error`` code."""

from __future__ import annotations

import asyncio
import hmac
import json
import logging
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass, field
from typing import Any

import anyio.to_thread
from _ostrel_quorvane import InMemoryChainRegistry, PermissionChain, QuorvaneError
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from ostrel_quorvane.asof import compile_static_at, compose_at, unix_seconds
from ostrel_quorvane.batch import decision_of, error_line, utf8_json
from ostrel_quorvane.files import InputError, RequestFileError, clip, judged
from ostrel_quorvane.record import AuditFailed, Decision, audit, read_record
from ostrel_quorvane.request import (
    chain_document,
    loads_chain,
    loads_json,
    loads_request,
    parse_time,
)
from ostrel_quorvane.service.answers import Refused, refusal
from ostrel_quorvane.service.config import ServiceConfig
from ostrel_quorvane.service.group_log import GroupLog
from ostrel_quorvane.service.metrics import Metrics
from ostrel_quorvane.service.openapi import OPENAPI
from ostrel_quorvane.store import LogEntry, Store, StoreError, open_store
from ostrel_quorvane.store.group import GROUP_LIMIT

__all__ = ["ServiceConfig", "create_app"]

JSON_TYPES = ("application/json",)
LINES_TYPES = ("application/x-ndjson", "application/jsonl", "application/json-lines")
LOGGER = logging.getLogger("ostrel_quorvane.service")
# How much of a caller's value an error message echoes.
SHOWN = 200
# The spellings of a boolean query parameter, either case.
TRUE_WORDS = ("true", "1", "yes", "on")
FALSE_WORDS = ("false", "0", "no", "off")


@dataclass
class _State:
    config: ServiceConfig
    metrics: Metrics = field(default_factory=Metrics)
    store: Store | None = None
    chains: dict[str, PermissionChain] = field(default_factory=dict)
    group: GroupLog | None = None

    def opened(self) -> Store:
        """The store, opened again after a failure: a database that comes back is used again
        without a restart."""
        if self.config.store is None:
            raise Refused(503, "store_unavailable", "the service runs without a store")
        if self.store is None:
            self.store = open_store(self.config.store, timeout=2.0)
        return self.store

    def forget_store(self) -> None:
        if self.store is not None:
            try:
                self.store.close()
            except Exception:  # closing a store whose database is gone can fail too
                pass
            self.store = None


def create_app(config: ServiceConfig | None = None) -> Starlette:
    """The service as an ASGI application."""
    state = _State(config or ServiceConfig())

    def authorize(request: Request) -> None:
        if not state.config.tokens:
            return
        given = request.headers.get("authorization", "")
        scheme, _, token = given.partition(" ")
        if scheme.lower() != "bearer" or not token:
            raise Refused(401, "unauthorized", "a bearer token is required")
        # Every configured token is compared, each in constant time.
        matched = False
        for known in state.config.tokens:
            matched |= hmac.compare_digest(token.encode(), known.encode())
        if not matched:
            raise Refused(403, "forbidden", "the bearer token is not accepted")

    def content(request: Request, types: tuple[str, ...]) -> None:
        kind = request.headers.get("content-type", "").partition(";")[0].strip().lower()
        if kind not in types:
            raise Refused(
                415, "unsupported_media_type", f"expected a body of type {' or '.join(types)}"
            )

    async def body(request: Request, limit: int) -> bytes:
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise Refused(413, "too_large", f"expected a body of at most {limit:,} bytes")
        chunks, size = [], 0
        try:
            async with asyncio.timeout(state.config.body_seconds):
                async for chunk in request.stream():
                    size += len(chunk)
                    if size > limit:
                        raise Refused(
                            413, "too_large", f"expected a body of at most {limit:,} bytes"
                        )
                    chunks.append(chunk)
        except TimeoutError:
            raise Refused(408, "too_slow", "the body did not arrive in time") from None
        return b"".join(chunks)

    def moment(request: Request) -> float | None:
        at = request.query_params.get("at")
        return None if at is None else unix_seconds(parse_time(_number_or_text(at), "at", "$"))

    async def published(key: str) -> PermissionChain | None:
        # A chain is stored under its own hash and never changes, so each is read once.
        if key not in state.chains:
            chain = await anyio.to_thread.run_sync(state.opened().chain, key)
            if chain is None:
                return None
            state.chains[key] = chain
        return state.chains[key]

    async def named_chain(request: Request) -> PermissionChain | None:
        key = request.query_params.get("chain")
        if key is None:
            return None
        chain = await published(key)
        if chain is None:
            raise Refused(404, "chain_not_found", f"no chain {clip(key, SHOWN)} is published")
        return chain

    def logging_on(request: Request) -> bool:
        """Whether the decision is to be logged: with a store, unless ``log`` says otherwise."""
        given = request.query_params.get("log")
        if given is None:
            return state.config.store is not None
        word = given.strip().lower()
        if word not in TRUE_WORDS + FALSE_WORDS:
            raise RequestFileError(
                "log", "$", f"expected a boolean ({', '.join(TRUE_WORDS + FALSE_WORDS)})"
            )
        return state.config.store is not None and word in TRUE_WORDS

    async def log(records: list[str]) -> LogEntry:
        """Appends records; returns the last one's entry once stored. Records from requests
        arriving together are written in one transaction (see GroupLog)."""
        started = time.perf_counter()
        if state.group is None:
            state.group = GroupLog(state)
        entry = await state.group.append(records)
        state.metrics.appended(time.perf_counter() - started)
        return entry

    async def decided(decision: Decision, logging: bool) -> Response:
        record = decision.record_text()
        headers = {}
        if logging:
            # Answered only once stored: the headers say where.
            entry = await log([record])
            headers = {"x-log-sequence": str(entry.sequence), "x-content-hash": entry.content_hash}
        live = decision.live
        state.metrics.decided(
            live.permission if live is not None else decision.judgment.permission_str
        )
        return Response(record, media_type="application/json", headers=headers)

    async def decide(request: Request) -> Response:
        if state.config.decide_needs_token:
            authorize(request)
        content(request, JSON_TYPES)
        logging = logging_on(request)
        data = await body(request, state.config.max_body)
        chain = await named_chain(request)
        decision = decision_of(data, "request", chain, moment(request), state.config.inline_chains)
        return await decided(decision, logging)

    async def decide_batch(request: Request) -> Response:
        if state.config.decide_needs_token:
            authorize(request)
        content(request, LINES_TYPES)
        logging = logging_on(request)
        data = await body(request, state.config.max_batch_body)
        lines = data.split(b"\n")
        if lines and not lines[-1].strip():
            lines.pop()
        if len(lines) > state.config.max_batch_lines:
            raise Refused(
                413, "batch_too_long", f"expected at most {state.config.max_batch_lines:,} lines"
            )
        chain = await named_chain(request)
        at = moment(request)

        async def answers() -> AsyncIterator[bytes]:
            # Each window of lines is decided and its answer made to the last byte before any
            # of its decisions is logged, and sent once they are: whatever happens to a later
            # line, every logged decision has been answered.
            window: list[str] = []
            out: list[str] = []
            for number, line in enumerate(lines, 1):
                try:
                    decision = decision_of(
                        line.rstrip(b"\r"), f"line {number}", chain, at, state.config.inline_chains
                    )
                    record = decision.record_text()
                    window.append(record)
                    out.append(record)
                except InputError as error:
                    out.append(error_line(number, error))
                if len(out) >= GROUP_LIMIT or number == len(lines):
                    chunk = ("\n".join(out) + "\n").encode()
                    if logging and window:
                        await log(window)
                    yield chunk
                    window, out = [], []

        return StreamingResponse(answers(), media_type="application/x-ndjson")

    async def compose(request: Request) -> Response:
        if state.config.decide_needs_token:
            authorize(request)
        content(request, JSON_TYPES)
        logging = logging_on(request)
        pair = _object(await body(request, state.config.max_body), ("first", "second"))
        chain = await named_chain(request)
        requests = []
        for name in ("first", "second"):
            text = json.dumps(pair[name])
            requests.append(
                loads_request(text, f"$.{name}", chain, inline_chain=state.config.inline_chains)
            )
        in_force = chain or requests[0].chain or PermissionChain.default_chain()
        at = moment(request)
        at = unix_seconds(time.time()) if at is None else at
        composed = judged(
            "$", "$", compose_at, requests[0].context, requests[1].context, at, in_force
        )
        judgment = judged("$", "$", compile_static_at, composed, at, in_force)
        decision = Decision(
            ["first", "second"], requests, in_force, chain is not None, judgment, composed=True
        )
        return await decided(decision, logging)

    async def audit_record(request: Request) -> Response:
        content(request, JSON_TYPES)
        record = _object(await body(request, state.config.max_body), ("chain_hash",))
        key = record.get("chain_hash")
        default = PermissionChain.default_chain()
        registry = InMemoryChainRegistry()
        if key == default.chain_hash().to_hex():
            registry.publish(default)
        elif isinstance(key, str) and state.config.store is not None:
            chain = await published(key)
            if chain is not None:
                registry.publish(chain)
        if len(registry) == 0:
            # A record's own chain is read only once it is known: names read stay interned.
            raise Refused(
                422,
                "audit_failed",
                f"chain hash {clip(str(key), SHOWN)} is not published",
                "chain_hash",
            )
        recorded = read_record(record, "record")
        judgment = audit(recorded, registry)
        return JSONResponse(
            {
                "audit": "passed",
                "chain_hash": judgment.chain_hash.to_hex(),
                "permission": judgment.permission_str,
            }
        )

    async def publish(request: Request) -> Response:
        authorize(request)
        content(request, JSON_TYPES)
        chain = loads_chain(await body(request, state.config.max_body), "body")
        store = state.opened()
        key = await anyio.to_thread.run_sync(store.publish, chain)
        return JSONResponse({"hash": key}, status_code=201)

    async def list_chains(request: Request) -> Response:
        store = state.opened()
        chains = await anyio.to_thread.run_sync(store.chains)
        return JSONResponse({"chains": [{"hash": key, "published_at": at} for key, at in chains]})

    async def get_chain(request: Request) -> Response:
        key = request.path_params["key"]
        store = state.opened()
        chain = await anyio.to_thread.run_sync(store.chain, key)
        if chain is None:
            raise Refused(404, "chain_not_found", f"no chain {clip(key, SHOWN)} is published")
        return JSONResponse(chain_document(chain))

    async def get_decision(request: Request) -> Response:
        authorize(request)
        key = request.path_params["key"]
        store = state.opened()
        entry = await anyio.to_thread.run_sync(store.find, key)
        if entry is None:
            raise Refused(404, "decision_not_found", f"no decision {clip(key, SHOWN)} is logged")
        return Response(
            entry.record,
            media_type="application/json",
            headers={"x-log-sequence": str(entry.sequence)},
        )

    async def verify_log(request: Request) -> Response:
        authorize(request)
        store = state.opened()
        fault = await anyio.to_thread.run_sync(store.verify)
        if fault is not None:
            return JSONResponse({"ok": False, "sequence": fault.sequence, "reason": fault.reason})
        count, head = await anyio.to_thread.run_sync(store.head)
        return JSONResponse({"ok": True, "entries": count, "head": head})

    async def healthz(request: Request) -> Response:
        return JSONResponse({"ok": True})

    async def readyz(request: Request) -> Response:
        if state.config.store is None:
            return JSONResponse({"ready": True, "store": None})
        try:
            await anyio.to_thread.run_sync(state.opened().head)
        except (StoreError, Refused):
            state.forget_store()
            return JSONResponse({"ready": False, "store": "unreachable"}, status_code=503)
        return JSONResponse({"ready": True, "store": "reachable"})

    async def metrics(request: Request) -> Response:
        return Response(state.metrics.text(), media_type="text/plain; version=0.0.4")

    async def openapi(request: Request) -> Response:
        return JSONResponse(OPENAPI)

    def answered(
        route: str, handler: Callable[[Request], Awaitable[Response]]
    ) -> Callable[[Request], Awaitable[Response]]:
        async def run(request: Request) -> Response:
            started = time.perf_counter()
            try:
                return await handler(request)
            except Refused as refused:
                return _answer(state, refused)
            except (InputError, QuorvaneError, StoreError, AuditFailed) as error:
                answer = refusal(error)
                if answer.status == 503:
                    state.forget_store()
                return _answer(state, answer)
            except Exception:  # a fault of the service's own: said to the operator, not the caller
                LOGGER.exception("%s %s failed", request.method, route)
                return _answer(state, Refused(500, "internal_error", "the service failed"))
            finally:
                state.metrics.took(route, time.perf_counter() - started)

        return run

    routes = [
        Route("/v1/decide", answered("decide", decide), methods=["POST"]),
        Route("/v1/decide/batch", answered("decide_batch", decide_batch), methods=["POST"]),
        Route("/v1/compose", answered("compose", compose), methods=["POST"]),
        Route("/v1/audit", answered("audit", audit_record), methods=["POST"]),
        Route("/v1/chains", answered("publish", publish), methods=["PUT"]),
        Route("/v1/chains", answered("chains", list_chains), methods=["GET"]),
        Route("/v1/chains/{key}", answered("chain", get_chain), methods=["GET"]),
        Route("/v1/decisions/{key}", answered("decision", get_decision), methods=["GET"]),
        Route("/v1/log/verify", answered("verify", verify_log), methods=["GET"]),
        Route("/v1/openapi.json", answered("openapi", openapi), methods=["GET"]),
        Route("/healthz", answered("healthz", healthz), methods=["GET"]),
        Route("/readyz", answered("readyz", readyz), methods=["GET"]),
        Route("/metrics", answered("metrics", metrics), methods=["GET"]),
    ]

    async def not_found(request: Request, exc: Exception) -> Response:
        status = exc.status_code if isinstance(exc, HTTPException) else 500
        code = {404: "not_found", 405: "method_not_allowed"}.get(status, "error")
        return _answer(
            state,
            Refused(
                status,
                code,
                f"{request.method} {clip(request.url.path, SHOWN)}: {code.replace('_', ' ')}",
            ),
        )

    app = Starlette(routes=routes, exception_handlers={HTTPException: not_found})
    # A path with a slash too many is not found, rather than redirected (a redirected POST loses
    # its body with many clients).
    app.router.redirect_slashes = False
    app.state.service = state
    return app


def app_from_environment() -> Starlette:
    """The application configured from the environment: what each server worker builds."""
    return create_app(ServiceConfig.from_environment())


def _answer(state: _State, refused: Refused) -> Response:
    state.metrics.failed(refused.code)
    body: dict[str, Any] = {"error": refused.code, "message": clip(str(refused), 1000)}
    if refused.path is not None:
        body["path"] = clip(refused.path, SHOWN)
    headers = {"www-authenticate": "Bearer"} if refused.status == 401 else None
    return Response(
        utf8_json(body), status_code=refused.status, headers=headers, media_type=JSON_TYPES[0]
    )


def _object(data: bytes, required: tuple[str, ...]) -> dict[str, Any]:
    """A JSON object body, checked by the request reader's rules, with ``required`` fields."""
    value = loads_json(data, "body")
    if not isinstance(value, dict):
        raise RequestFileError("body", "$", "expected an object")
    for name in required:
        if name not in value:
            raise RequestFileError("body", f"$.{name}", "missing required field")
    return value


def _number_or_text(value: str) -> float | str:
    try:
        return float(value)
    except ValueError:
        return value
