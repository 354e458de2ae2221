"""What every route reads from a request the same way: its media type, its body (bounded in
size and time), its moment, its chain and whether to log, each refused with the documented
error."""

from __future__ import annotations

import asyncio
from typing import Any

from _ostrel_quorvane import PermissionChain
from starlette.requests import Request

from ostrel_quorvane.asof import unix_seconds
from ostrel_quorvane.batch import utf8_json
from ostrel_quorvane.files import RequestFileError, clip
from ostrel_quorvane.request import loads_json, parse_time_text
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.state import ServiceState

__all__ = [
    "JSON_TYPES",
    "LINES_TYPES",
    "SHOWN",
    "body",
    "content",
    "json_object",
    "logging_on",
    "moment",
    "named_chain",
    "paged",
    "whole_number",
]

JSON_TYPES = ("application/json",)
LINES_TYPES = ("application/x-ndjson", "application/jsonl", "application/json-lines")
# How much of a caller's value an error message echoes.
SHOWN = 200
# The largest sequence number a store holds.
LARGEST = 2**63 - 1
# The spellings of a boolean query parameter, either case.
TRUE_WORDS = ("true", "1", "yes", "on")
FALSE_WORDS = ("false", "0", "no", "off")


def content(request: Request, types: tuple[str, ...]) -> None:
    kind = request.headers.get("content-type", "").partition(";")[0].strip().lower()
    if kind not in types:
        raise Refused(
            415, "unsupported_media_type", f"expected a body of type {' or '.join(types)}"
        )


async def body(state: ServiceState, request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise Refused(413, "too_large", f"expected a body of at most {limit:,} bytes")
    chunks, size = [], 0
    try:
        async with asyncio.timeout(state.config.body_seconds):
            async for chunk in request.stream():
                size += len(chunk)
                if size > limit:
                    raise Refused(413, "too_large", f"expected a body of at most {limit:,} bytes")
                chunks.append(chunk)
    except TimeoutError:
        raise Refused(408, "too_slow", "the body did not arrive in time") from None
    return b"".join(chunks)


def moment(request: Request) -> float | None:
    """The ``at`` parameter, in whole seconds, or None."""
    at = request.query_params.get("at")
    return None if at is None else unix_seconds(parse_time_text(at, "at"))


async def named_chain(state: ServiceState, request: Request) -> PermissionChain | None:
    """The published chain the ``chain`` parameter names, or None."""
    key = request.query_params.get("chain")
    if key is None:
        return None
    chain = await state.published(key)
    if chain is None:
        raise Refused(404, "chain_not_found", f"no chain {clip(key, SHOWN)} is published")
    return chain


def flag(request: Request, name: str) -> bool | None:
    """A boolean query parameter in any usual spelling, or None when it is not given."""
    given = request.query_params.get(name)
    if given is None:
        return None
    word = given.strip().lower()
    if word not in TRUE_WORDS + FALSE_WORDS:
        raise RequestFileError(
            name, "$", f"expected a boolean ({', '.join(TRUE_WORDS + FALSE_WORDS)})"
        )
    return word in TRUE_WORDS


def logging_on(state: ServiceState, request: Request) -> bool:
    """Whether the decision is to be logged: with a store, unless ``log`` says otherwise."""
    wanted = flag(request, "log")
    return state.config.store is not None and wanted is not False


def json_object(data: bytes, required: tuple[str, ...]) -> dict[str, Any]:
    """A JSON object body, checked by the request reader's rules, with ``required`` fields."""
    value = loads_json(data, "body")
    if not isinstance(value, dict):
        raise RequestFileError("body", "$", "expected an object")
    for name in required:
        if name not in value:
            raise RequestFileError("body", f"$.{name}", "missing required field")
    return value


def paged(request: Request) -> dict[str, Any]:
    """The listing parameters: times, filters, a cursor and a page size, checked."""
    query = request.query_params
    known = {"since", "until", "permission", "claim_id", "candidate_id", "context_id", "after",
             "before", "limit"}  # fmt: skip
    for name in query:
        if name not in known:
            raise RequestFileError(
                name, "$", f"unknown parameter; expected one of {', '.join(sorted(known))}"
            )
    chosen: dict[str, Any] = {}
    for name in ("since", "until"):
        if name in query:
            chosen[name] = parse_time_text(query[name], name)
    for name in ("permission", "claim_id", "candidate_id", "context_id"):
        if name in query:
            chosen[name] = query[name]
    for name, low, high in (("after", 0, LARGEST), ("before", 1, LARGEST), ("limit", 1, 1000)):
        if name in query:
            number = whole_number(query[name], low, high)
            if number is None:
                raise RequestFileError(name, "$", f"expected a whole number from {low} to {high}")
            chosen[name] = number
    return chosen


def whole_number(text: str, low: int, high: int) -> int | None:
    """``text`` as a number of ASCII digits from ``low`` to ``high``, or None."""
    if not (text.isascii() and text.isdigit()) or len(text) > len(str(high)):
        return None
    number = int(text)
    return number if low <= number <= high else None


def error_body(code: str, message: str, path: str | None) -> str:
    fields: dict[str, Any] = {"error": code, "message": clip(message, 1000)}
    if path is not None:
        fields["path"] = clip(path, SHOWN)
    return utf8_json(fields)
