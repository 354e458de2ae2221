"""A client of the decision service, for Python callers who want one.

    >>> client = Client("http://127.0.0.1:8181", token="...")   # doctest: +SKIP
    >>> client.decide(open("request.json", "rb").read())["permission"]   # doctest: +SKIP
    'ALR'

Every method returns the service's JSON answer, parsed; a decision record comes as a
:class:`Decided`, a dict that also says where the log keeps it (and, when asked for, its
receipt). An error answer, or a service that cannot be reached, raises :class:`ServiceError`
with its status (0 when nothing answered), stable code, message and JSON path.

:func:`verify_receipt` checks a receipt with no service at all: against the log's verifier key,
it shows that a record is, byte for byte, the entry the receipt places in the log.
"""

from __future__ import annotations

import base64
import json
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

from ostrel_quorvane.receipts import Checkpoint, ProofInvalid, Receipt, verify_receipt

__all__ = [
    "Checkpoint",
    "Client",
    "Decided",
    "ProofInvalid",
    "Receipt",
    "ServiceError",
    "verify_receipt",
]

Body = bytes | str | Mapping[str, Any]


class ServiceError(Exception):
    """An error answer: ``status code: message`` (at ``path``, for a request's value)."""

    def __init__(self, status: int, code: str, message: str, path: str | None = None) -> None:
        super().__init__(f"{status} {code}: {message}" + (f" (at {path})" if path else ""))
        self.status, self.code, self.message, self.path = status, code, message, path


class Decided(dict[str, Any]):
    """A decision record, with where the service's log keeps it (None when it was not logged)
    and the id of the request that made it."""

    log_sequence: int | None = None
    content_hash: str | None = None
    request_id: str | None = None
    # The receipt of the logged record, when one was asked for, and the record's bytes as
    # answered (what the receipt proves).
    receipt: dict[str, Any] | None = None
    body: bytes = b""

    def verify(self, log_keys: list[str]) -> Checkpoint:
        """Checks this record's receipt offline against the log's verifier keys (ProofInvalid
        when it does not hold); returns the checkpoint it is proven in."""
        if self.receipt is None:
            raise ProofInvalid("the decision came without a receipt (decide with receipt=True)")
        return verify_receipt(self.body, self.receipt, log_keys)


def _decided(data: bytes, headers: Mapping[str, str]) -> Decided:
    record = Decided(json.loads(data))
    sequence = headers.get("x-log-sequence")
    record.log_sequence = int(sequence) if sequence is not None else None
    record.content_hash = headers.get("x-content-hash")
    record.request_id = headers.get("x-request-id")
    record.body = data
    receipt = headers.get("x-receipt")
    if receipt is not None:
        record.receipt = json.loads(base64.b64decode(receipt))
    return record


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

    def _call(self, *args: Any, **kwargs: Any) -> bytes:
        """The answer's body alone (see _exchange)."""
        return self._exchange(*args, **kwargs)[0]

    def _exchange(
        self,
        method: str,
        path: str,
        body: bytes | None = None,
        kind: str = "application/json",
        query: Mapping[str, Any] | None = None,
        request_id: str | None = None,
    ) -> tuple[bytes, Mapping[str, str]]:
        given = {k: v for k, v in (query or {}).items() if v is not None}
        url = self.base_url + path + (f"?{urllib.parse.urlencode(given)}" if given else "")
        headers = {"content-type": kind} if body is not None else {}
        if self.token:
            headers["authorization"] = f"Bearer {self.token}"
        if request_id:
            headers["x-request-id"] = request_id
        request = urllib.request.Request(url, data=body, method=method, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as answer:
                data: bytes = answer.read()
                return data, {k.lower(): v for k, v in answer.headers.items()}
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
        except (urllib.error.URLError, OSError) as error:  # nothing answered
            reason = getattr(error, "reason", error)
            raise ServiceError(0, "unreachable", f"{self.base_url}: {reason}") from None

    def _json(self, *args: Any, **kwargs: Any) -> Any:
        return json.loads(self._call(*args, **kwargs))

    def decide(
        self,
        request: Body,
        *,
        at: float | str | None = None,
        chain: str | None = None,
        log: bool = True,
        request_id: str | None = None,
        receipt: bool = False,
    ) -> Decided:
        """The decision record of one request (a request file's document), with where the log
        keeps it, and with ``receipt`` its receipt."""
        query = {"at": at, "chain": chain, "log": None if log else "false",
                 "receipt": "true" if receipt else None}  # fmt: skip
        data, headers = self._exchange(
            "POST", "/v1/decide", _bytes(request), query=query, request_id=request_id
        )
        return _decided(data, headers)

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
        receipt: bool = False,
    ) -> Decided:
        """The decision record of the two requests' composition, with where the log keeps it,
        and with ``receipt`` its receipt."""
        pair = b'{"first":' + _bytes(first) + b',"second":' + _bytes(second) + b"}"
        query = {"at": at, "chain": chain, "log": None if log else "false",
                 "receipt": "true" if receipt else None}  # fmt: skip
        return _decided(*self._exchange("POST", "/v1/compose", pair, query=query))

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

    def decision(self, content_hash: str) -> Decided:
        """A logged decision record, by its content hash."""
        path = f"/v1/decisions/{urllib.parse.quote(content_hash)}"
        return _decided(*self._exchange("GET", path))

    def decision_at(self, sequence: int) -> Decided:
        """The logged decision record with sequence number ``sequence``."""
        return _decided(*self._exchange("GET", f"/v1/decisions/by-sequence/{int(sequence)}"))

    def decisions(self, **filters: Any) -> Iterator[dict[str, Any]]:
        """Every logged entry that matches ``filters`` (since, until, permission, claim_id,
        candidate_id, context_id; after or before to start from, limit for the page size),
        following the pages: each entry's sequence, time, hashes, request id and record."""
        query = dict(filters)
        while True:
            page = self._json("GET", "/v1/decisions", query=query)
            yield from page["decisions"]
            if page["next"] is None:
                return
            query.update(page["next"])

    def verify_log(self) -> dict[str, Any]:
        verdict: dict[str, Any] = self._json("GET", "/v1/log/verify")
        return verdict

    def checkpoint(self) -> str:
        """The log's newest signed checkpoint (a signed note); check it with
        :func:`ostrel_quorvane.receipts.open_checkpoint` and keep it."""
        return self._call("GET", "/v1/log/checkpoint").decode()

    def inclusion_proof(self, content_hash: str, size: int | None = None) -> dict[str, Any]:
        """The inclusion proof of a logged record in the log's first ``size`` entries; without
        ``size``, a whole receipt against the newest checkpoint that holds it."""
        proof: dict[str, Any] = self._json(
            "GET", "/v1/log/proof/inclusion", query={"hash": content_hash, "size": size}
        )
        return proof

    def consistency_proof(self, old_size: int, size: int | None = None) -> dict[str, Any]:
        """The consistency proof from the log of ``old_size`` entries to that of ``size``; by
        default to the newest checkpoint, which the answer carries as "checkpoint". Check it
        with :func:`ostrel_quorvane.receipts.verify_extension`, against the checkpoint of the
        size it was made for."""
        proof: dict[str, Any] = self._json(
            "GET", "/v1/log/proof/consistency", query={"from": old_size, "to": size}
        )
        return proof

    def ready(self) -> bool:
        """Whether the service answers and reaches its store; never raises."""
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
