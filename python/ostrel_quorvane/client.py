"""A client of the decision service, for Python callers who want one.

    >>> client = Client("http://127.0.0.1:8181", token="...")   # doctest: +SKIP
    >>> client.decide(open("request.json", "rb").read())["permission"]   # doctest: +SKIP
    'ALR'

Every method returns the service's JSON answer, parsed; an error answer raises
:class:`ServiceError` with its status, stable code, message and JSON path.
"""

from __future__ import annotations

import json
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

__all__ = ["Client", "ServiceError"]

Body = bytes | str | Mapping[str, Any]


class ServiceError(Exception):
    """An error answer: ``status code: message`` (at ``path``, for a request's value)."""

    def __init__(self, status: int, code: str, message: str, path: str | None = None) -> None:
        super().__init__(f"{status} {code}: {message}" + (f" (at {path})" if path else ""))
        self.status, self.code, self.message, self.path = status, code, message, path


class Client:
    """Calls one service; ``token`` is sent as a bearer token on every call."""

    def __init__(
        self,
        base_url: str = "http://127.0.0.1:8181",
        token: str | None = None,
        timeout: float = 30.0,
    ) -> None:
        self.base_url = base_url.rstrip("/")
        self.token = token
        self.timeout = timeout

    def _call(
        self,
        method: str,
        path: str,
        body: bytes | None = None,
        kind: str = "application/json",
        query: Mapping[str, Any] | None = None,
    ) -> bytes:
        given = {k: v for k, v in (query or {}).items() if v is not None}
        url = self.base_url + path + (f"?{urllib.parse.urlencode(given)}" if given else "")
        headers = {"content-type": kind} if body is not None else {}
        if self.token:
            headers["authorization"] = f"Bearer {self.token}"
        request = urllib.request.Request(url, data=body, method=method, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as answer:
                data: bytes = answer.read()
                return data
        except urllib.error.HTTPError as error:
            raw = error.read()
            try:
                fields = json.loads(raw)
            except ValueError:
                fields = {"error": "error", "message": raw.decode(errors="replace")}
            raise ServiceError(
                error.code,
                fields.get("error", "error"),
                fields.get("message", ""),
                fields.get("path"),
            ) from None

    def _json(self, *args: Any, **kwargs: Any) -> Any:
        return json.loads(self._call(*args, **kwargs))

    def decide(
        self,
        request: Body,
        *,
        at: float | str | None = None,
        chain: str | None = None,
        log: bool = True,
    ) -> dict[str, Any]:
        """The decision record of one request (a request file's document)."""
        query = {"at": at, "chain": chain, "log": None if log else "false"}
        record: dict[str, Any] = self._json("POST", "/v1/decide", _bytes(request), query=query)
        return record

    def decide_batch(
        self,
        requests: Iterable[Body],
        *,
        at: float | str | None = None,
        chain: str | None = None,
        log: bool = True,
    ) -> Iterator[dict[str, Any]]:
        """One decision record, or error record, per request, in order."""
        lines = b"\n".join(_bytes(r, one_line=True) for r in requests) + b"\n"
        query = {"at": at, "chain": chain, "log": None if log else "false"}
        answer = self._call("POST", "/v1/decide/batch", lines, "application/x-ndjson", query)
        for line in answer.splitlines():
            if line.strip():
                yield json.loads(line)

    def compose(
        self,
        first: Body,
        second: Body,
        *,
        at: float | str | None = None,
        chain: str | None = None,
        log: bool = True,
    ) -> dict[str, Any]:
        """The decision record of the two requests' composition."""
        pair = b'{"first":' + _bytes(first) + b',"second":' + _bytes(second) + b"}"
        query = {"at": at, "chain": chain, "log": None if log else "false"}
        record: dict[str, Any] = self._json("POST", "/v1/compose", pair, query=query)
        return record

    def audit(self, record: Body) -> dict[str, Any]:
        """The audit verdict on a decision record; ServiceError "audit_failed" when it fails."""
        verdict: dict[str, Any] = self._json("POST", "/v1/audit", _bytes(record))
        return verdict

    def publish(self, chain: Body) -> str:
        """Publishes a chain (a chain file's document); returns its hash."""
        key: str = self._json("PUT", "/v1/chains", _bytes(chain))["hash"]
        return key

    def chains(self) -> list[dict[str, Any]]:
        listed: list[dict[str, Any]] = self._json("GET", "/v1/chains")["chains"]
        return listed

    def chain(self, key: str) -> dict[str, Any]:
        document: dict[str, Any] = self._json("GET", f"/v1/chains/{urllib.parse.quote(key)}")
        return document

    def decision(self, content_hash: str) -> dict[str, Any]:
        """A logged decision record, by its content hash."""
        path = f"/v1/decisions/{urllib.parse.quote(content_hash)}"
        record: dict[str, Any] = self._json("GET", path)
        return record

    def verify_log(self) -> dict[str, Any]:
        verdict: dict[str, Any] = self._json("GET", "/v1/log/verify")
        return verdict

    def ready(self) -> bool:
        try:
            self._call("GET", "/readyz")
        except ServiceError:
            return False
        return True


def _bytes(value: Body, one_line: bool = False) -> bytes:
    if isinstance(value, Mapping):
        return json.dumps(value).encode()
    data = value.encode() if isinstance(value, str) else value
    return json.dumps(json.loads(data)).encode() if one_line and b"\n" in data else data
