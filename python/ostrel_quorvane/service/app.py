"""The service as an ASGI application: its routes, each answering every error with the
documented JSON object; its lifespan, which opens the store and its log writer off the event
loop at start and, at shutdown, answers what is in flight, drains the writer and closes the
store; and what wraps every request (its id, its latency, the access log)."""

from __future__ import annotations

import ctypes
import logging
import os
import signal
import sys
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager

from _ostrel_quorvane import QuorvaneError
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from ostrel_quorvane.files import InputError, clip
from ostrel_quorvane.record import AuditFailed
from ostrel_quorvane.service.access import AccessLog, request_state
from ostrel_quorvane.service.answers import Refused, refusal
from ostrel_quorvane.service.auth import TokenFile
from ostrel_quorvane.service.config import ServiceConfig
from ostrel_quorvane.service.deciding import Deciding
from ostrel_quorvane.service.proving import Proving
from ostrel_quorvane.service.reading import Reading
from ostrel_quorvane.service.requests import JSON_TYPES, SHOWN, error_body
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.store import StoreError

__all__ = ["ServiceConfig", "app_from_environment", "create_app"]

LOGGER = logging.getLogger("ostrel_quorvane.service")
Handler = Callable[[Request], Awaitable[Response]]


def create_app(config: ServiceConfig | None = None) -> Starlette:
    """The service as an ASGI application."""
    config = config or ServiceConfig()
    state = ServiceState(config, TokenFile(config.token_file, config.tokens))
    proving = Proving(state)
    deciding, reading = Deciding(state, proving), Reading(state)

    def answered(route: str, handler: Handler) -> Handler:
        async def run(request: Request) -> Response:
            request_state(request.scope)["route"] = route
            try:
                try:
                    return await handler(request)
                except Refused as refused:
                    return _answer(state, refused)
                except (InputError, QuorvaneError, StoreError, AuditFailed) as error:
                    answer = refusal(error)
                    if answer.status == 503:
                        await state.forget_store()
                    return _answer(state, answer)
            except Exception:  # a fault of the service's own: said to the operator, not the caller
                LOGGER.exception("%s %s failed", request.method, route)
                return _answer(state, Refused(500, "internal_error", "the service failed"))

        return run

    table: list[tuple[str, str, str, Handler]] = [
        ("/v1/decide", "POST", "decide", deciding.decide),
        ("/v1/decide/batch", "POST", "decide_batch", deciding.decide_batch),
        ("/v1/compose", "POST", "compose", deciding.compose),
        ("/v1/audit", "POST", "audit", deciding.audit_record),
        ("/v1/chains", "PUT", "publish", reading.publish),
        ("/v1/chains", "GET", "chains", reading.list_chains),
        ("/v1/chains/{key}", "GET", "chain", reading.get_chain),
        ("/v1/decisions", "GET", "decisions", reading.list_decisions),
        ("/v1/decisions/by-sequence/{sequence}", "GET", "by_sequence", reading.get_sequence),
        ("/v1/decisions/{key}", "GET", "decision", reading.get_decision),
        ("/v1/log/verify", "GET", "verify", reading.verify_log),
        ("/v1/log/checkpoint", "GET", "checkpoint", proving.checkpoint),
        ("/v1/log/proof/inclusion", "GET", "inclusion_proof", proving.inclusion),
        ("/v1/log/proof/consistency", "GET", "consistency_proof", proving.consistency),
        ("/v1/openapi.json", "GET", "openapi", reading.openapi),
        ("/healthz", "GET", "healthz", reading.healthz),
        ("/readyz", "GET", "readyz", reading.readyz),
        ("/metrics", "GET", "metrics", reading.metrics),
    ]  # fmt: skip
    routes = [
        Route(path, answered(name, run), methods=[method]) for path, method, name, run in table
    ]
    if config.store is not None:  # the decision log's pages read the store
        from ostrel_quorvane.service.ui import Pages

        routes += Pages(state).routes()

    async def not_found(request: Request, exc: Exception) -> Response:
        status = exc.status_code if isinstance(exc, HTTPException) else 500
        code = {404: "not_found", 405: "method_not_allowed"}.get(status, "error")
        shown = f"{request.method} {clip(request.url.path, SHOWN)}: {code.replace('_', ' ')}"
        return _answer(state, Refused(status, code, shown))

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        if config.store is not None:
            try:
                await state.store()  # opened off the event loop, its writer with it
            except (StoreError, Refused) as error:
                LOGGER.warning("the store cannot be opened yet: %s", error)
        yield
        # Requests in flight have been answered; what they handed the writer is stored now.
        await state.close()

    app = Starlette(routes=routes, exception_handlers={HTTPException: not_found}, lifespan=lifespan)
    # A path with a slash too many is not found, rather than redirected (a redirected POST loses
    # its body with many clients).
    app.router.redirect_slashes = False
    app.state.service = state
    app.add_middleware(AccessLog, metrics=state.metrics,
                       stream=sys.stderr if config.access_log else None)  # fmt: skip
    return app


def app_from_environment() -> Starlette:
    """The application configured from the environment: what each server worker builds. A
    worker ends with the process that started it, even one killed outright."""
    _end_with_parent()
    return create_app(ServiceConfig.from_environment())


def _end_with_parent() -> None:
    parent = os.environ.get("OQ_SERVE_PID")
    if parent is None or sys.platform != "linux":
        return
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: SIGTERM when the parent ends
    except (OSError, AttributeError):
        return
    if os.getppid() != int(parent):  # it ended before the request above was made
        os.kill(os.getpid(), signal.SIGTERM)


def _answer(state: ServiceState, refused: Refused) -> Response:
    state.metrics.failed(refused.code)
    headers = {"www-authenticate": "Bearer"} if refused.status == 401 else None
    text = error_body(refused.code, str(refused), refused.path)
    return Response(text, status_code=refused.status, headers=headers, media_type=JSON_TYPES[0])
