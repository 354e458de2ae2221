"""Request and chain files: JSON documents that map one to one onto the engine's constructors.

A request file describes one :class:`~ostrel_quorvane.ProofContext` (its constructor arguments,
with gaps, profiles and tokens as nested objects), optionally the chain to judge it under and the
moment of use to evaluate it at. A chain file holds a chain's ``levels`` and ``roles``. The JSON
Schema of both ships beside this module as ``request.schema.json``.

Documents are read by the engine itself, from their bytes straight into its records. Reading is
strict: a document that is not strict JSON (a syntax error, a duplicated key, NaN or Infinity, a
number no double holds, a lone surrogate escape, bytes that are not UTF-8, arrays and objects
nested more than 500 deep) raises :class:`RequestFileError` before anything else is said about
it. So does an unknown field or a value of the wrong JSON type, naming the file, the JSON path of
the bad value and what was expected there. Values that are well typed but that the engine
refuses (an unknown gap status, a chain that breaks its ordering rules) raise
:class:`EngineRefusal` with the engine's own message and the path of the value it came from.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, NoReturn

from _ostrel_quorvane import (
    ChainRole,
    NegativeControlStatus,
    PermissionChain,
    ProofContext,
    RuntimeContext,
    _check_json,
    _read_chain,
    _read_members,
    _read_request,
    _read_time,
)

from ostrel_quorvane.files import (
    EngineRefusal,
    InputError,
    RequestFileError,
    read_document,
    read_padded,
)

__all__ = [
    "EngineRefusal",
    "InlineChainRefused",
    "InputError",
    "Request",
    "RequestFileError",
    "Runtime",
    "chain_document",
    "load_chain",
    "load_json",
    "loads_json",
    "load_request",
    "loads_chain",
    "loads_request",
    "parse_time",
    "parse_time_text",
    "read_chain",
    "read_members",
    "read_request",
    "schema_path",
]

JSON = Any

ROLE_NAMES: tuple[str, ...] = (
    "Bottom",
    "ExpiryFloor",
    "Refused",
    "Unsatisfied",
    "DisallowedUsesCeiling",
    "BlockerThreshold",
    "Top",
)
MEMBERSHIPS: tuple[str, ...] = (
    "InClass",
    "OutOfClassExact",
    "OutOfClassAuthorizedDeterministicWrite",
    "OutOfClassNoConsequentialUse",
)
NC_STATUSES: tuple[str, ...] = ("Live", "Stale", "Failed", "Missing")
# Bytes the native reader may read past a document's end; a file read with this much room after
# it is read in place.
_PADDING = 64


@dataclass(frozen=True)
class Runtime:
    """The moment of use a request may carry; absent fields are filled in when evaluating."""

    now: float | None = None
    context_fingerprint: str | None = None
    negative_control_states: Mapping[str, NegativeControlStatus] | None = None
    strict_mode: bool = True

    def filled(self, fingerprint: str, now: float) -> Runtime:
        """This moment of use with ``fingerprint`` and ``now`` standing in for absent fields."""
        return replace(
            self,
            now=self.now if self.now is not None else now,
            context_fingerprint=fingerprint
            if self.context_fingerprint is None
            else self.context_fingerprint,
        )

    def runtime_context(self) -> RuntimeContext:
        """The engine's runtime context; the fields must be filled."""
        assert self.now is not None and self.context_fingerprint is not None
        return RuntimeContext(
            self.now,
            self.context_fingerprint,
            dict(self.negative_control_states or {}),
            self.strict_mode,
        )


class InlineChainRefused(RequestFileError):
    """A request carrying a chain of its own, read where such chains are refused."""


class Request:
    """One request file, read: the context, the chain it named and its moment of use.

    ``document``, the file as parsed JSON, is built only when it is first read."""

    __slots__ = (
        "_data",
        "_document",
        "_moment",
        "_runtime",
        "_size",
        "chain",
        "context",
        "fingerprint",
        "source",
    )

    def __init__(
        self,
        source: str,
        context: ProofContext,
        chain: PermissionChain | None,
        moment: tuple[Any, ...] | None,
        fingerprint: str,
        data: bytes | bytearray | str,
        size: int | None = None,
    ) -> None:
        self.source = source
        self.context = context
        self.chain = chain
        # The fingerprint the context is used under: its own, or else its context id.
        self.fingerprint = fingerprint
        self._moment = moment
        self._runtime: Runtime | None = None
        self._data = data
        self._size = size
        self._document: Mapping[str, JSON] | None = None

    @property
    def runtime(self) -> Runtime | None:
        """The moment of use the request carries, if any."""
        if self._runtime is None and self._moment is not None:
            now, fingerprint, states, strict = self._moment
            self._runtime = Runtime(
                now=now,
                context_fingerprint=fingerprint,
                negative_control_states=None
                if states is None
                else {token: getattr(NegativeControlStatus, name) for token, name in states},
                strict_mode=strict,
            )
        return self._runtime

    @property
    def document(self) -> Mapping[str, JSON]:
        """The request file as parsed JSON."""
        if self._document is None:
            text = self.json_text()
            self._document = json.loads(text.tobytes() if isinstance(text, memoryview) else text)
            self._data = b""
        return self._document

    def json_text(self) -> bytes | bytearray | str | memoryview:
        """The request's JSON text: as it was read, or ``document`` written again."""
        if self._document is not None:
            return json.dumps(self._document, ensure_ascii=False)
        data = self._data
        if self._size is not None and self._size != len(data):
            return memoryview(data)[: self._size]  # type: ignore[arg-type]
        return data

    def __repr__(self) -> str:
        return f"Request(source={self.source!r}, context={self.context!r})"


def schema_path() -> Path:
    """The JSON Schema of request and chain files."""
    return Path(__file__).with_name("request.schema.json")


def load_json(path: str | Path) -> JSON:
    """Parses a JSON file (``-`` for standard input) strictly, by the rules request files are
    read by, at most MAX_DOCUMENT_BYTES."""
    return loads_json(read_document(path), str(path))


def loads_json(data: bytes | str, source: str = "<string>") -> JSON:
    """Parses JSON text strictly, by the rules request files are read by."""
    fault = _check_json(data)
    if fault is not None:
        _raise(source, *fault)
    return json.loads(data)


def loads_request(
    data: bytes | bytearray | memoryview | str,
    source: str = "<string>",
    chain: PermissionChain | None = None,
    *,
    inline_chain: bool = True,
) -> Request:
    """Reads a request from its JSON text; level names resolve in ``chain``, else the
    document's own, else the default chain. With ``inline_chain`` false a request that carries
    a chain of its own is refused without reading it (every level name a process reads stays
    interned for its life)."""
    return _request(source, data, chain, "$", None, inline_chain)


def read_members(
    data: bytes | bytearray | memoryview | str, names: tuple[str, ...], source: str = "body"
) -> list[bytes]:
    """The JSON texts of the members ``names`` of the object ``data``, in that order, read
    without parsing them (they are read when decided); RequestFileError for a document that is
    not strict JSON, not an object, or lacks one of them or holds another."""
    ok, read = _read_members(data, list(names))
    if not ok:
        _raise(source, *read)
    texts: list[bytes] = read
    return texts


def load_request(path: str | Path, chain: PermissionChain | None = None) -> Request:
    """Reads a request file (``-`` for standard input); level names resolve in ``chain``, else
    the file's own, else the default chain."""
    source = str(path)
    data, size = read_padded(source, _PADDING)
    return _request(source, data, chain, "$", size)


def load_chain(path: str | Path) -> PermissionChain:
    """Reads a chain file: an object with ``levels`` and ``roles``."""
    source = str(path)
    data, size = read_padded(path, _PADDING)
    return _chain(source, data, "$", size)


def loads_chain(
    data: bytes | bytearray | memoryview | str, source: str = "<string>"
) -> PermissionChain:
    """Reads a chain from its JSON text."""
    return _chain(source, data, "$", None)


def read_request(
    document: JSON,
    source: str = "<request>",
    chain: PermissionChain | None = None,
    path: str = "$",
) -> Request:
    """Builds a request from a parsed JSON document found at ``path`` in ``source``."""
    request = _request(source, _dumped(document, source, path), chain, path, None)
    request._document, request._data, request._size = document, b"", None
    return request


def read_chain(document: JSON, source: str = "<chain>", path: str = "$") -> PermissionChain:
    """Builds a chain from a parsed JSON document found at ``path`` in ``source``."""
    return _chain(source, _dumped(document, source, path), path, None)


def chain_document(chain: PermissionChain) -> dict[str, JSON]:
    """The chain file form of ``chain``: its level names bottom first, and each role's rank."""
    roles = {name: chain.rank(chain.role(getattr(ChainRole, name))) for name in ROLE_NAMES}
    return {"levels": [level.as_str() for level in chain.ascending()], "roles": roles}


def parse_time(value: JSON, source: str = "<value>", path: str = "$") -> float:
    """Unix seconds (a JSON number) or RFC 3339 text with a UTC offset, as Unix seconds."""
    if isinstance(value, float) and not math.isfinite(value):
        raise RequestFileError(source, path, f"expected a finite number, got {value!r}")
    ok, read = _read_time(_dumped(value, source, path), path)
    if not ok:
        _raise(source, *read)
    seconds: float = read
    return seconds


def parse_time_text(text: str, source: str = "<value>", path: str = "$") -> float:
    """A time given as text (an option, a query parameter): Unix seconds or RFC 3339 text."""
    try:
        given: float | str = float(text)
    except ValueError:
        given = text
    return parse_time(given, source, path)


def _request(
    source: str,
    data: bytes | bytearray | memoryview | str,
    chain: PermissionChain | None,
    root: str,
    size: int | None,
    inline_chain: bool = True,
) -> Request:
    ok, read = _read_request(data, chain, root, size, inline_chain)
    if not ok:
        _raise(source, *read)
    context, own, moment, fingerprint = read
    if isinstance(data, memoryview):
        data = data.tobytes()
    return Request(source, context, own, moment, fingerprint, data, size)


def _chain(
    source: str, data: bytes | bytearray | memoryview | str, root: str, size: int | None
) -> PermissionChain:
    ok, read = _read_chain(data, root, size)
    if not ok:
        _raise(source, *read)
    chain: PermissionChain = read
    return chain


def _raise(source: str, kind: str, path: str, detail: str) -> NoReturn:
    if kind == "engine":
        raise EngineRefusal(source, path, detail)
    if kind == "inline":
        raise InlineChainRefused(source, path, detail)
    raise RequestFileError(source, path, detail)


def _dumped(value: JSON, source: str, path: str) -> str:
    """A parsed value as JSON text again, for the native reader; lone surrogates are escaped,
    so that the reader names where they are."""
    try:
        return json.dumps(value, allow_nan=False)
    except ValueError:
        raise RequestFileError(source, path, "expected finite numbers") from None
    except (TypeError, RecursionError):
        raise RequestFileError(source, path, "expected JSON values") from None
