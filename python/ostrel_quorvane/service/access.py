"""What wraps every request: its id (the caller's ``x-request-id`` when it is one, else a new
one), echoed on the answer; its latency to the answer's last byte; and one line of JSON in the
access log when the answer is done."""

from __future__ import annotations

import itertools
import json
import re
import sys
import time
import uuid
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any, TextIO

from ostrel_quorvane.service.metrics import Metrics

__all__ = ["AccessLog", "request_state"]

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

# A caller's request id is taken as it is when it is short and plain; any other is replaced.
REQUEST_ID = re.compile(r"[A-Za-z0-9._:-]{1,128}")


def request_state(scope: Scope) -> dict[str, Any]:
    """What the routes note about a request for the access log: its ``route`` name, the
    ``permission`` answered and the ``log_sequence`` of its entry, beside its ``request_id``."""
    state: dict[str, Any] = scope.setdefault("state", {})
    return state


class AccessLog:
    """ASGI middleware: request ids, latency by route, and the access log (to ``stream``, or
    nowhere when it is None)."""

    def __init__(self, app: ASGIApp, metrics: Metrics, stream: TextIO | None = sys.stderr) -> None:
        self.app = app
        self.metrics = metrics
        self.stream = stream
        # A new request's id: this worker's random prefix and a count, unique without asking
        # the system for randomness on every request.
        self._prefix = uuid.uuid4().hex[:16]
        self._count = itertools.count(1)

    def _new_id(self) -> str:
        return f"{self._prefix}{next(self._count):016x}"

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        state = request_state(scope)
        given = _header(scope, b"x-request-id")
        state["request_id"] = given if given and REQUEST_ID.fullmatch(given) else self._new_id()
        status = 500

        async def sending(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                headers = list(message.get("headers", []))
                headers.append((b"x-request-id", state["request_id"].encode()))
                message["headers"] = headers
            await send(message)

        try:
            await self.app(scope, receive, sending)
        finally:
            took = time.perf_counter() - started
            route = state.get("route", "unmatched")
            self.metrics.took(route, took)
            if self.stream is not None:
                self._write(scope, state, route, status, took)

    def _write(
        self, scope: Scope, state: dict[str, Any], route: str, status: int, took: float
    ) -> None:
        line: dict[str, Any] = {
            "time": round(time.time(), 3),
            "request_id": state["request_id"],
            "method": scope.get("method"),
            "route": route,
            "path": scope.get("path"),
            "status": status,
            "duration_ms": round(took * 1000, 3),
        }
        for name in ("permission", "log_sequence", "decisions"):
            if name in state:
                line[name] = state[name]
        try:
            self.stream.write(json.dumps(line) + "\n")  # type: ignore[union-attr]
            self.stream.flush()  # type: ignore[union-attr]
        except (OSError, ValueError):
            pass  # an access log that cannot be written costs no answer


def _header(scope: Scope, name: bytes) -> str | None:
    for key, value in scope.get("headers", []):
        if key == name:
            text: str = value.decode("latin-1")
            return text
    return None
